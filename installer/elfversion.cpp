#include "elfversion.h"

#include <QFile>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QVector>
#include <QtEndian>

namespace {

const char elfMagic[] =
    "\x7f"
    "ELF";
const quint32 identClass = 4;          // EI_CLASS: 1 ELF32, 2 ELF64
const quint32 identData = 5;           // EI_DATA: 1 little-endian, 2 big-endian
const quint32 programNote = 4;         // PT_NOTE
const quint32 sectionNote = 7;         // SHT_NOTE
const quint32 extendedCount = 0xffff;  // PN_XNUM: the real count is in section 0

const quint32 packageNoteType = 0xcafe1a7e;
const QByteArray packageNoteOwner("FDO\0", 4);
const quint32 noteHeaderSize = 12;  // namesz, descsz, type

// A program's notes take a few hundred bytes, its metadata far less: larger
// ones are not read, so a hostile file cannot make us allocate much.
const quint64 maxNoteArea = 1 << 20;
const int maxMetadata = 64 * 1024;
// Header tables of real programs hold a few dozen entries.
const quint64 maxTableSize = 16 << 20;

// Where the fields read here lie in the structures of ELF32 and ELF64.
struct Layout
{
    quint32 headerSize;
    quint32 programTableOffset;  // e_phoff
    quint32 sectionTableOffset;  // e_shoff
    quint32 programEntrySize;    // e_phentsize, then e_phnum
    quint32 sectionEntrySize;    // e_shentsize, then e_shnum
    quint32 programEntry;        // the smallest program header
    quint32 programOffset;       // p_offset
    quint32 programSize;         // p_filesz
    quint32 programAlign;        // p_align
    quint32 sectionEntry;        // the smallest section header
    quint32 sectionOffset;       // sh_offset, followed by sh_size
    quint32 sectionAlign;        // sh_addralign
    quint32 sectionInfo;         // sh_info
    quint32 addressSize;
};

const Layout elf32 = {52, 28, 32, 42, 46, 32, 4, 16, 28, 40, 16, 32, 28, 4};
const Layout elf64 = {64, 32, 40, 54, 58, 56, 8, 32, 48, 64, 24, 48, 44, 8};

// A stretch of the file that holds notes, and the alignment of its notes.
struct NoteArea
{
    quint64 offset;
    quint64 size;
    quint64 align;
};

// Reads pieces of an ELF file, each checked against the size of the device
// first, and decodes its fields in the file's byte order.
class ElfImage
{
public:
    explicit ElfImage(QIODevice* device)
        : device(device)
        , size(quint64(qMax<qint64>(device->size(), 0)))
    {
    }

    bool readAt(quint64 offset, quint64 length, QByteArray* out) const
    {
        if (offset > size || length > size - offset)
            return false;
        if (!device->seek(qint64(offset)))
            return false;
        *out = device->read(qint64(length));
        return quint64(out->size()) == length;
    }

    quint16 half(const QByteArray& data, quint32 at) const
    {
        const auto* p = reinterpret_cast<const uchar*>(data.constData() + at);
        return bigEndian ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    }

    quint32 word(const QByteArray& data, quint32 at) const
    {
        const auto* p = reinterpret_cast<const uchar*>(data.constData() + at);
        return bigEndian ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
    }

    // An address, offset or size: a word in ELF32, a double word in ELF64.
    quint64 address(const QByteArray& data, quint32 at) const
    {
        if (layout->addressSize == 4)
            return word(data, at);
        const auto* p = reinterpret_cast<const uchar*>(data.constData() + at);
        return bigEndian ? qFromBigEndian<quint64>(p) : qFromLittleEndian<quint64>(p);
    }

    QIODevice* device;
    quint64 size;
    const Layout* layout = &elf64;
    bool bigEndian = false;
};

// One table of the file (program or section headers), read whole.
struct HeaderTable
{
    quint64 offset = 0;
    quint64 entrySize = 0;
    quint64 count = 0;
    QByteArray data;
};

quint64 alignUp(quint64 value, quint64 align)
{
    return (value + align - 1) & ~(align - 1);
}

// Notes are 4-byte aligned, except in an area aligned to 8 (ELF64's
// .note.gnu.property): then each note is padded to 8.
quint64 noteAlignment(quint64 areaAlign)
{
    return areaAlign == 8 ? 8 : 4;
}

// The identification bytes: the class and byte order they give decide how
// everything after them is read.
PeVersion::Error readIdentification(ElfImage* image, QByteArray* header)
{
    QByteArray ident;
    if (!image->readAt(0, 16, &ident) || !ident.startsWith(elfMagic))
        return PeVersion::BadExeFormat;
    const char fileClass = ident.at(int(identClass));
    const char data = ident.at(int(identData));
    if ((fileClass != 1 && fileClass != 2) || (data != 1 && data != 2))
        return PeVersion::BadExeFormat;
    image->layout = fileClass == 1 ? &elf32 : &elf64;
    image->bigEndian = data == 2;
    if (!image->readAt(0, image->layout->headerSize, header))
        return PeVersion::BadExeFormat;
    return PeVersion::NoError;
}

// Reads the table described by offset, entrySize and count; an empty table
// (count or offset zero) is no error.
PeVersion::Error readTable(const ElfImage& image, quint64 minimumEntrySize, HeaderTable* table)
{
    if (table->count == 0 || table->offset == 0)
        return PeVersion::NoError;
    if (table->entrySize < minimumEntrySize || table->count > maxTableSize / table->entrySize
        || !image.readAt(table->offset, table->count * table->entrySize, &table->data))
        return PeVersion::BadExeFormat;
    return PeVersion::NoError;
}

// Section 0 carries the real counts of a file with too many sections or
// program headers for the 16-bit fields of its header.
PeVersion::Error readExtendedCounts(const ElfImage& image, HeaderTable* programs, HeaderTable* sections)
{
    const Layout& layout = *image.layout;
    if (sections->offset == 0 || (sections->count != 0 && programs->count != extendedCount))
        return PeVersion::NoError;
    QByteArray first;
    if (sections->entrySize < layout.sectionEntry
        || !image.readAt(sections->offset, layout.sectionEntry, &first))
        return PeVersion::BadExeFormat;
    if (sections->count == 0)
        sections->count = image.address(first, layout.sectionOffset + layout.addressSize);
    if (programs->count == extendedCount)
        programs->count = image.word(first, layout.sectionInfo);
    return PeVersion::NoError;
}

// The note areas the program headers name (PT_NOTE), then those the section
// headers name (SHT_NOTE). First error wins; what could be read is kept.
PeVersion::Error findNoteAreas(ElfImage* image, QVector<NoteArea>* areas)
{
    QByteArray header;
    PeVersion::Error error = readIdentification(image, &header);
    if (error != PeVersion::NoError)
        return error;
    const Layout& layout = *image->layout;
    HeaderTable programs;
    programs.offset = image->address(header, layout.programTableOffset);
    programs.entrySize = image->half(header, layout.programEntrySize);
    programs.count = image->half(header, layout.programEntrySize + 2);
    HeaderTable sections;
    sections.offset = image->address(header, layout.sectionTableOffset);
    sections.entrySize = image->half(header, layout.sectionEntrySize);
    sections.count = image->half(header, layout.sectionEntrySize + 2);
    error = readExtendedCounts(*image, &programs, &sections);

    const PeVersion::Error programError = readTable(*image, layout.programEntry, &programs);
    for (quint64 i = 0; i * programs.entrySize < quint64(programs.data.size()); ++i) {
        const QByteArray entry = programs.data.mid(int(i * programs.entrySize), int(layout.programEntry));
        if (image->word(entry, 0) == programNote)
            areas->append(NoteArea {image->address(entry, layout.programOffset),
                                    image->address(entry, layout.programSize),
                                    image->address(entry, layout.programAlign)});
    }
    const PeVersion::Error sectionError = readTable(*image, layout.sectionEntry, &sections);
    for (quint64 i = 0; i * sections.entrySize < quint64(sections.data.size()); ++i) {
        const QByteArray entry = sections.data.mid(int(i * sections.entrySize), int(layout.sectionEntry));
        if (image->word(entry, 4) == sectionNote)
            areas->append(NoteArea {image->address(entry, layout.sectionOffset),
                                    image->address(entry, layout.sectionOffset + layout.addressSize),
                                    image->address(entry, layout.sectionAlign)});
    }
    if (error == PeVersion::NoError)
        error = programError;
    if (error == PeVersion::NoError)
        error = sectionError;
    return error;
}

// Looks through the notes of one area for the package-metadata note; its
// description is returned in description.
PeVersion::Error findPackageNote(const ElfImage& image, const NoteArea& area, QByteArray* description)
{
    QByteArray notes;
    if (area.size > maxNoteArea)
        return PeVersion::InvalidData;
    if (!image.readAt(area.offset, area.size, &notes))
        return PeVersion::BadExeFormat;
    const quint64 align = noteAlignment(area.align);
    const quint64 size = area.size;
    quint64 position = 0;
    while (size - position >= noteHeaderSize) {
        const QByteArray header = notes.mid(int(position), int(noteHeaderSize));
        const quint64 nameSize = image.word(header, 0);
        const quint64 descriptionSize = image.word(header, 4);
        const quint64 nameStart = position + noteHeaderSize;
        if (nameSize > size - nameStart)
            return PeVersion::InvalidData;
        const quint64 descriptionStart = alignUp(nameStart + nameSize, align);
        if (descriptionStart > size || descriptionSize > size - descriptionStart)
            return PeVersion::InvalidData;
        if (image.word(header, 8) == packageNoteType && nameSize == quint64(packageNoteOwner.size())
            && notes.mid(int(nameStart), int(nameSize)) == packageNoteOwner) {
            *description = notes.mid(int(descriptionStart), int(descriptionSize));
            return PeVersion::NoError;
        }
        // Each note takes at least its header, so the walk always advances.
        position = alignUp(descriptionStart + descriptionSize, align);
    }
    return PeVersion::NotFound;
}

}  // namespace

bool ElfVersion::isElf(QIODevice* device)
{
    QByteArray magic;
    return ElfImage(device).readAt(0, 4, &magic) && magic == elfMagic;
}

bool ElfVersion::isElfFile(const QString& path)
{
    QFile file;
    PeVersion::Error error = PeVersion::NoError;
    return PeVersion::openFile(path, &file, &error) && isElf(&file);
}

bool ElfVersion::packageMetadata(QIODevice* device, QByteArray* json, PeVersion::Error* error)
{
    json->clear();
    if (!device->isReadable() || device->isSequential()) {
        *error = PeVersion::ReadFault;
        return false;
    }
    ElfImage image(device);
    QVector<NoteArea> areas;
    PeVersion::Error firstError = findNoteAreas(&image, &areas);
    for (const NoteArea& area : areas) {
        QByteArray description;
        const PeVersion::Error found = findPackageNote(image, area, &description);
        if (found == PeVersion::NoError) {
            // The text ends at its first zero; what pads it to the alignment follows.
            const int end = description.indexOf('\0');
            *json = end < 0 ? description : description.left(end);
            *error = json->size() > maxMetadata ? PeVersion::InvalidData : PeVersion::NoError;
            return *error == PeVersion::NoError;
        }
        if (found != PeVersion::NotFound && firstError == PeVersion::NoError)
            firstError = found;
    }
    *error = firstError == PeVersion::NoError ? PeVersion::NotFound : firstError;
    return false;
}

QString ElfVersion::packageVersion(QIODevice* device, PeVersion::Error* error)
{
    QByteArray json;
    if (!packageMetadata(device, &json, error))
        return QString();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = PeVersion::InvalidData;
        return QString();
    }
    const QJsonValue version = document.object().value(QLatin1String("version"));
    if (!version.isString() || version.toString().isEmpty()) {
        *error = PeVersion::NotFound;
        return QString();
    }
    *error = PeVersion::NoError;
    return version.toString();
}

QString ElfVersion::filePackageVersion(const QString& path, PeVersion::Error* error)
{
    QFile file;
    if (!PeVersion::openFile(path, &file, error))
        return QString();
    return packageVersion(&file, error);
}
