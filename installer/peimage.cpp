#include "peimage.h"

#include "pefields.h"

#include <QIODevice>

using PeFields::dword;
using PeFields::word;

namespace {

// The fields read here, as offsets into the structures of the PE/COFF format
// that hold them.
struct DosHeader
{
    static constexpr quint32 size = 64;
    static constexpr quint32 peHeaderOffset = 0x3c;  // e_lfanew
};

struct PeHeader  // the "PE\0\0" signature followed by the COFF file header
{
    static constexpr quint32 size = 24;
    static constexpr quint32 numberOfSections = 6;
    static constexpr quint32 sizeOfOptionalHeader = 20;
    static constexpr quint32 maxSections = 96;  // the Windows loader's own limit
};

struct OptionalHeader
{
    static constexpr quint16 pe32Magic = 0x10b;
    static constexpr quint16 pe32PlusMagic = 0x20b;
    // NumberOfRvaAndSizes, followed by the data directories.
    static constexpr quint32 directoryCountPe32 = 92;
    static constexpr quint32 directoryCountPe32Plus = 108;
    static constexpr quint32 directorySize = 8;  // VirtualAddress, Size
    static constexpr quint32 resourceDirectory = 2;
};

struct SectionHeader
{
    static constexpr quint32 size = 40;
    static constexpr quint32 virtualAddress = 12;
    static constexpr quint32 sizeOfRawData = 16;
    static constexpr quint32 pointerToRawData = 20;
};

}  // namespace

PeImage::PeImage(QIODevice* device)
    : device(device)
    , size(device->size())
{
}

PeVersion::Error PeImage::readHeaders()
{
    const PeVersion::Error error = readFileHeaders();
    return error == PeVersion::NoError ? readSectionTable() : error;
}

bool PeImage::readAt(quint64 offset, quint64 length, QByteArray* out)
{
    if (offset > quint64(size) || length > quint64(size) - offset)
        return false;
    if (!device->seek(qint64(offset)))
        return false;
    *out = device->read(qint64(length));
    return quint64(out->size()) == length;
}

bool PeImage::mapRva(quint32 rva, quint64 length, quint64* offset, quint64* sectionEnd) const
{
    for (const Section& section : sections) {
        const quint64 start = section.virtualAddress;
        const quint64 end = start + section.rawSize;
        if (rva < start || rva >= end || length > end - rva)
            continue;
        *offset = quint64(section.rawPointer) + (rva - start);
        if (sectionEnd)
            *sectionEnd = end;
        return true;
    }
    return false;
}

PeVersion::Error PeImage::readFileHeaders()
{
    QByteArray dos;
    if (!readAt(0, DosHeader::size, &dos) || !dos.startsWith("MZ"))
        return PeVersion::BadExeFormat;
    headers.peOffset = dword(dos.constData() + DosHeader::peHeaderOffset);
    QByteArray pe;
    if (!readAt(headers.peOffset, PeHeader::size, &pe) || !pe.startsWith(QByteArray("PE\0\0", 4)))
        return PeVersion::BadExeFormat;
    headers.sectionCount = word(pe.constData() + PeHeader::numberOfSections);
    headers.optionalHeaderSize = word(pe.constData() + PeHeader::sizeOfOptionalHeader);
    if (headers.sectionCount > PeHeader::maxSections)
        return PeVersion::BadExeFormat;

    // Only the magic and the data directories matter here.
    QByteArray optional;
    if (headers.optionalHeaderSize < 2
        || !readAt(headers.peOffset + PeHeader::size, headers.optionalHeaderSize, &optional))
        return PeVersion::BadExeFormat;
    return readResourceSlot(optional);
}

// The resource slot of the optional header's data directories.
PeVersion::Error PeImage::readResourceSlot(const QByteArray& optional)
{
    quint32 countOffset = 0;
    const quint16 magic = word(optional.constData());
    if (magic == OptionalHeader::pe32Magic)
        countOffset = OptionalHeader::directoryCountPe32;
    else if (magic == OptionalHeader::pe32PlusMagic)
        countOffset = OptionalHeader::directoryCountPe32Plus;
    else
        return PeVersion::BadExeFormat;
    if (quint32(optional.size()) < countOffset + 4)
        return PeVersion::BadExeFormat;
    const quint32 directoryCount = dword(optional.constData() + countOffset);
    const quint64 slot =
        quint64(countOffset) + 4 + quint64(OptionalHeader::resourceDirectory) * OptionalHeader::directorySize;
    if (directoryCount <= OptionalHeader::resourceDirectory
        || slot + OptionalHeader::directorySize > quint64(optional.size()))
        return PeVersion::ResourceDataNotFound;
    headers.resourceRva = dword(optional.constData() + slot);
    headers.resourceSize = dword(optional.constData() + slot + 4);
    if (headers.resourceRva == 0 || headers.resourceSize == 0)
        return PeVersion::ResourceDataNotFound;
    return PeVersion::NoError;
}

PeVersion::Error PeImage::readSectionTable()
{
    QByteArray table;
    if (!readAt(headers.peOffset + PeHeader::size + headers.optionalHeaderSize,
                quint64(headers.sectionCount) * SectionHeader::size, &table))
        return PeVersion::BadExeFormat;
    for (quint32 i = 0; i < headers.sectionCount; ++i) {
        const char* header = table.constData() + i * SectionHeader::size;
        sections.append(Section {dword(header + SectionHeader::virtualAddress),
                                 dword(header + SectionHeader::sizeOfRawData),
                                 dword(header + SectionHeader::pointerToRawData)});
    }
    return PeVersion::NoError;
}
