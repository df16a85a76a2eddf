#include "peversion.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QVector>
#include <QtEndian>

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

struct ResourceDirectory
{
    static constexpr quint32 size = 16;
    static constexpr quint32 numberOfNamedEntries = 12;
    static constexpr quint32 numberOfIdEntries = 14;
    static constexpr quint32 entrySize = 8;  // name or id, offset
    static constexpr quint32 subdirectoryBit = 0x80000000u;
};

struct ResourceDataEntry
{
    static constexpr quint32 size = 16;
    static constexpr quint32 offsetToData = 0;  // an RVA
    static constexpr quint32 dataSize = 4;
};

const quint32 typeVersion = 16;     // RT_VERSION
const quint32 nameVersionInfo = 1;  // VS_VERSION_INFO
const quint32 nodeHeaderSize = 6;   // wLength, wValueLength, wType

quint16 word(const char* data)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(data));
}

quint32 dword(const char* data)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(data));
}

quint64 align4(quint64 offset)
{
    return (offset + 3) & ~quint64(3);
}

struct Section
{
    quint32 virtualAddress;
    quint32 rawSize;
    quint32 rawPointer;
};

// Reads pieces of a PE image from a device, each one checked against the
// size of the device before it is read.
class ImageReader
{
public:
    explicit ImageReader(QIODevice* device)
        : device(device)
        , size(device->size())
    {
    }

    bool readAt(quint64 offset, quint64 length, QByteArray* out)
    {
        if (offset > quint64(size) || length > quint64(size) - offset)
            return false;
        if (!device->seek(qint64(offset)))
            return false;
        *out = device->read(qint64(length));
        return quint64(out->size()) == length;
    }

    // File offset of [rva, rva + length), which must lie in the raw data of
    // one section; sectionEnd receives the end of that section as an RVA.
    bool mapRva(quint32 rva, quint64 length, quint64* offset, quint64* sectionEnd = nullptr) const
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

    QIODevice* device;
    qint64 size;
    QVector<Section> sections;
};

// The resource directory tree: every offset in it is relative to its root
// and must stay inside the section that holds the root.
class ResourceTree
{
public:
    ResourceTree(ImageReader* image, quint64 rootOffset, quint64 length)
        : image(image)
        , rootOffset(rootOffset)
        , length(length)
    {
    }

    bool read(quint64 offset, quint64 count, QByteArray* out)
    {
        if (offset > length || count > length - offset)
            return false;
        return image->readAt(rootOffset + offset, count, out);
    }

    // The entries of the directory at offset: (name or id, offset to data).
    bool entries(quint32 offset, QVector<QPair<quint32, quint32>>* list)
    {
        QByteArray header;
        if (!read(offset, ResourceDirectory::size, &header))
            return false;
        const quint64 count = quint64(word(header.constData() + ResourceDirectory::numberOfNamedEntries))
            + word(header.constData() + ResourceDirectory::numberOfIdEntries);
        QByteArray table;
        if (!read(quint64(offset) + ResourceDirectory::size, count * ResourceDirectory::entrySize, &table))
            return false;
        list->clear();
        for (quint64 i = 0; i < count; ++i) {
            const char* entry = table.constData() + i * ResourceDirectory::entrySize;
            list->append(qMakePair(dword(entry), dword(entry + 4)));
        }
        return true;
    }

    ImageReader* image;
    quint64 rootOffset;
    quint64 length;
};

// One node of a VS_VERSIONINFO tree, located inside a block.
struct Node
{
    quint64 start = 0;
    quint64 end = 0;          // start + wLength, never past the parent's end
    quint16 valueLength = 0;  // characters for text, bytes for binary
    quint16 type = 0;
    QString key;
    quint64 valueStart = 0;
    quint64 valueEnd = 0;  // clipped to the node for text values
    quint64 childrenStart = 0;
};

// Parses the node at start, which must end by limit.
bool parseNode(const QByteArray& block, quint64 start, quint64 limit, Node* node)
{
    if (limit > quint64(block.size()) || start > limit || limit - start < nodeHeaderSize)
        return false;
    const char* data = block.constData();
    const quint16 length = word(data + start);
    if (length < nodeHeaderSize || length > limit - start)
        return false;
    node->start = start;
    node->end = start + length;
    node->valueLength = word(data + start + 2);
    node->type = word(data + start + 4);

    // The key is a zero-terminated UTF-16 string inside the node.
    node->key.clear();
    quint64 position = start + nodeHeaderSize;
    for (;;) {
        if (position + 2 > node->end)
            return false;
        const quint16 unit = word(data + position);
        position += 2;
        if (unit == 0)
            break;
        node->key.append(QChar(unit));
    }

    node->valueStart = qMin(align4(position), node->end);
    if (node->type == PeVersion::Text) {
        // Resource compilers disagree on whether the length counts
        // characters or bytes; the text ends at its zero or at the node.
        node->valueEnd = qMin(node->valueStart + quint64(node->valueLength) * 2, node->end);
    } else {
        node->valueEnd = node->valueStart + node->valueLength;
        if (node->valueEnd > node->end)
            return false;
    }
    node->childrenStart = qMin(align4(node->valueEnd), node->end);
    return true;
}

// Finds the child of parent whose key is key.
bool findChild(const QByteArray& block, const Node& parent, const QString& key, Node* child)
{
    quint64 position = parent.childrenStart;
    while (position + nodeHeaderSize <= parent.end) {
        Node candidate;
        if (!parseNode(block, position, parent.end, &candidate))
            return false;
        if (candidate.key.compare(key, Qt::CaseInsensitive) == 0) {
            *child = candidate;
            return true;
        }
        // Every node is at least a header long, so the walk always advances.
        position = align4(candidate.end);
    }
    return false;
}

PeVersion::Error fileError(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return info.absoluteDir().exists() ? PeVersion::FileNotFound : PeVersion::PathNotFound;
    if (!info.isFile())
        return PeVersion::AccessDenied;
    return PeVersion::NoError;
}

bool readFile(const QString& path, QByteArray* block, PeVersion::Error* error)
{
    QFile file;
    if (!PeVersion::openFile(path, &file, error))
        return false;
    return PeVersion::readVersionInfo(&file, block, error);
}

// What the headers tell about where the resources are.
struct ImageHeaders
{
    quint64 peOffset = 0;
    quint16 sectionCount = 0;
    quint16 optionalHeaderSize = 0;
    quint32 resourceRva = 0;
    quint32 resourceSize = 0;
};

// The DOS header, the PE signature and COFF header it points to, and the
// resource slot of the optional header's data directories.
PeVersion::Error readHeaders(ImageReader* image, ImageHeaders* headers)
{
    QByteArray dos;
    if (!image->readAt(0, DosHeader::size, &dos) || !dos.startsWith("MZ"))
        return PeVersion::BadExeFormat;
    headers->peOffset = dword(dos.constData() + DosHeader::peHeaderOffset);
    QByteArray pe;
    if (!image->readAt(headers->peOffset, PeHeader::size, &pe) || !pe.startsWith(QByteArray("PE\0\0", 4)))
        return PeVersion::BadExeFormat;
    headers->sectionCount = word(pe.constData() + PeHeader::numberOfSections);
    headers->optionalHeaderSize = word(pe.constData() + PeHeader::sizeOfOptionalHeader);
    if (headers->sectionCount > PeHeader::maxSections)
        return PeVersion::BadExeFormat;

    // Only the magic and the data directories matter here.
    QByteArray optional;
    if (headers->optionalHeaderSize < 2
        || !image->readAt(headers->peOffset + PeHeader::size, headers->optionalHeaderSize, &optional))
        return PeVersion::BadExeFormat;
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
    headers->resourceRva = dword(optional.constData() + slot);
    headers->resourceSize = dword(optional.constData() + slot + 4);
    if (headers->resourceRva == 0 || headers->resourceSize == 0)
        return PeVersion::ResourceDataNotFound;
    return PeVersion::NoError;
}

PeVersion::Error readSectionTable(ImageReader* image, const ImageHeaders& headers)
{
    QByteArray table;
    if (!image->readAt(headers.peOffset + PeHeader::size + headers.optionalHeaderSize,
                       quint64(headers.sectionCount) * SectionHeader::size, &table))
        return PeVersion::BadExeFormat;
    for (quint32 i = 0; i < headers.sectionCount; ++i) {
        const char* header = table.constData() + i * SectionHeader::size;
        image->sections.append(Section {dword(header + SectionHeader::virtualAddress),
                                        dword(header + SectionHeader::sizeOfRawData),
                                        dword(header + SectionHeader::pointerToRawData)});
    }
    return PeVersion::NoError;
}

// The offset stored with the entry whose id is wanted, or with the first
// entry when fallbackToFirst; false when there is none.
bool findEntry(const QVector<QPair<quint32, quint32>>& entries, quint32 wanted, bool fallbackToFirst,
               quint32* offset)
{
    for (const auto& entry : entries) {
        if (entry.first == wanted) {
            *offset = entry.second;
            return true;
        }
    }
    if (!fallbackToFirst || entries.isEmpty())
        return false;
    *offset = entries.first().second;
    return true;
}

// Walks the resource tree's three levels (type, name, language) to the data
// entry of the version resource. The depth is fixed and each level must have
// the kind of entry it expects, so an entry pointing back up the tree ends
// the search instead of looping.
PeVersion::Error findVersionData(ImageReader* image, const ImageHeaders& headers, quint32* dataRva,
                                 quint32* dataSize)
{
    // The root and everything it points to lie in one section.
    quint64 rootOffset = 0;
    quint64 sectionEnd = 0;
    QByteArray rootHeader;
    if (!image->mapRva(headers.resourceRva, ResourceDirectory::size, &rootOffset, &sectionEnd)
        || !image->readAt(rootOffset, ResourceDirectory::size, &rootHeader))
        return PeVersion::BadExeFormat;
    ResourceTree tree(image, rootOffset, sectionEnd - headers.resourceRva);
    const quint32 subdirectory = ResourceDirectory::subdirectoryBit;

    QVector<QPair<quint32, quint32>> entries;
    if (!tree.entries(0, &entries))
        return PeVersion::InvalidData;
    quint32 names = 0;
    if (!findEntry(entries, typeVersion, false, &names))
        return PeVersion::ResourceTypeNotFound;
    if (!(names & subdirectory) || !tree.entries(names & ~subdirectory, &entries))
        return PeVersion::InvalidData;
    quint32 languages = 0;
    if (!findEntry(entries, nameVersionInfo, true, &languages))
        return PeVersion::ResourceNameNotFound;
    if (!(languages & subdirectory) || !tree.entries(languages & ~subdirectory, &entries))
        return PeVersion::InvalidData;
    if (entries.isEmpty())
        return PeVersion::ResourceLangNotFound;
    const quint32 dataEntryOffset = entries.first().second;
    QByteArray dataEntry;
    if ((dataEntryOffset & subdirectory) || !tree.read(dataEntryOffset, ResourceDataEntry::size, &dataEntry))
        return PeVersion::InvalidData;
    *dataRva = dword(dataEntry.constData() + ResourceDataEntry::offsetToData);
    *dataSize = dword(dataEntry.constData() + ResourceDataEntry::dataSize);
    return PeVersion::NoError;
}

// The version block itself: all of its stated size must be in the file, and
// the VS_VERSIONINFO root must fit inside it.
PeVersion::Error readVersionBlock(ImageReader* image, quint32 dataRva, quint32 dataSize, QByteArray* block)
{
    quint64 dataOffset = 0;
    QByteArray header;
    if (dataSize < nodeHeaderSize || !image->mapRva(dataRva, dataSize, &dataOffset)
        || !image->readAt(dataOffset, nodeHeaderSize, &header))
        return PeVersion::InvalidData;
    const quint16 rootLength = word(header.constData());
    QByteArray data;
    Node root;
    if (rootLength > dataSize || !image->readAt(dataOffset, rootLength, &data)
        || !parseNode(data, 0, quint64(data.size()), &root) || root.key != QLatin1String("VS_VERSION_INFO"))
        return PeVersion::InvalidData;
    *block = data;
    return PeVersion::NoError;
}

}  // namespace

QString PeVersion::errorString(Error error)
{
    switch (error) {
    case NoError:
        return QStringLiteral("no error");
    case FileNotFound:
        return QStringLiteral("file not found");
    case PathNotFound:
        return QStringLiteral("path not found");
    case AccessDenied:
        return QStringLiteral("access denied or not a regular file");
    case InvalidData:
        return QStringLiteral("malformed resource data");
    case ReadFault:
        return QStringLiteral("read error");
    case InvalidParameter:
        return QStringLiteral("invalid parameter");
    case BadExeFormat:
        return QStringLiteral("not a valid PE or ELF file");
    case NotFound:
        return QStringLiteral("no package-metadata note with a version");
    case ResourceDataNotFound:
        return QStringLiteral("no resources");
    case ResourceTypeNotFound:
        return QStringLiteral("no version resource");
    case ResourceNameNotFound:
        return QStringLiteral("version resource without name");
    case ResourceLangNotFound:
        return QStringLiteral("version resource without language");
    }
    return QStringLiteral("unknown error %1").arg(int(error));
}

bool PeVersion::openFile(const QString& path, QFile* file, Error* error)
{
    if (path.isEmpty()) {
        *error = InvalidParameter;
        return false;
    }
    *error = fileError(path);
    if (*error != NoError)
        return false;
    file->setFileName(path);
    if (!file->open(QIODevice::ReadOnly)) {
        *error = AccessDenied;
        return false;
    }
    return true;
}

QString PeVersion::moduleFileName(Error* error)
{
    // On Linux our own executable is reached through procfs.
    const QString path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    *error = path.isEmpty() ? FileNotFound : NoError;
    return path;
}

quint32 PeVersion::fileVersionInfoSize(const QString& path, Error* error)
{
    QByteArray block;
    if (!readFile(path, &block, error))
        return 0;
    return quint32(block.size());
}

bool PeVersion::fileVersionInfo(const QString& path, quint32 size, QByteArray* block, Error* error)
{
    if (size == 0) {
        *error = InvalidParameter;
        return false;
    }
    if (!readFile(path, block, error))
        return false;
    if (quint32(block->size()) > size)
        block->truncate(int(size));
    return true;
}

bool PeVersion::readVersionInfo(QIODevice* device, QByteArray* block, Error* error)
{
    block->clear();
    if (!device->isReadable() || device->isSequential()) {
        *error = ReadFault;
        return false;
    }
    ImageReader image(device);
    ImageHeaders headers;
    quint32 dataRva = 0;
    quint32 dataSize = 0;
    *error = readHeaders(&image, &headers);
    if (*error == NoError)
        *error = readSectionTable(&image, headers);
    if (*error == NoError)
        *error = findVersionData(&image, headers, &dataRva, &dataSize);
    if (*error == NoError)
        *error = readVersionBlock(&image, dataRva, dataSize, block);
    return *error == NoError;
}

bool PeVersion::queryValue(const QByteArray& block, const QString& subBlock, QByteArray* value,
                           ValueType* type)
{
    Node node;
    if (!parseNode(block, 0, quint64(block.size()), &node))
        return false;
    const QStringList keys = subBlock.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString& key : keys) {
        Node child;
        if (!findChild(block, node, key, &child))
            return false;
        node = child;
    }

    QByteArray bytes = block.mid(int(node.valueStart), int(node.valueEnd - node.valueStart));
    if (node.type == Text) {
        for (int i = 0; i + 1 < bytes.size(); i += 2) {
            if (word(bytes.constData() + i) == 0) {
                bytes.truncate(i);
                break;
            }
        }
        bytes.truncate(bytes.size() & ~1);
    }
    *value = bytes;
    if (type)
        *type = node.type == Text ? Text : Binary;
    return true;
}

QString PeVersion::queryString(const QByteArray& block, const QString& subBlock, bool* found)
{
    QByteArray bytes;
    ValueType type = Binary;
    *found = queryValue(block, subBlock, &bytes, &type);
    if (!*found)
        return QString();
    QString text(QLatin1String(""));
    for (int i = 0; i + 1 < bytes.size(); i += 2) {
        const quint16 unit = word(bytes.constData() + i);
        if (unit == 0)
            break;
        text.append(QChar(unit));
    }
    return text;
}

QStringList PeVersion::translations(const QByteArray& block, bool* found)
{
    QByteArray bytes;
    *found = queryValue(block, QStringLiteral("\\VarFileInfo\\Translation"), &bytes);
    QStringList pairs;
    for (int i = 0; *found && i + 4 <= bytes.size(); i += 4) {
        pairs.append(QStringLiteral("%1%2")
                         .arg(word(bytes.constData() + i), 4, 16, QLatin1Char('0'))
                         .arg(word(bytes.constData() + i + 2), 4, 16, QLatin1Char('0')));
    }
    return pairs;
}
