#include "peversion.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QVector>
#include <QtEndian>

namespace {

// Layout constants of the PE/COFF format.
const quint32 dosHeaderSize = 64;
const quint32 lfanewOffset = 0x3c;
const quint32 coffHeaderSize = 24;      // "PE\0\0" plus the COFF file header
const quint32 sectionHeaderSize = 40;
const quint32 maxSections = 96;         // the Windows loader's own limit
const quint16 pe32Magic = 0x10b;
const quint16 pe32PlusMagic = 0x20b;
const quint32 resourceDirectoryIndex = 2;
const quint32 resourceDirectorySize = 16;
const quint32 resourceEntrySize = 8;
const quint32 resourceDataEntrySize = 16;
const quint32 typeVersion = 16;         // RT_VERSION
const quint32 nameVersionInfo = 1;      // VS_VERSION_INFO
const quint32 highBit = 0x80000000u;
const quint32 nodeHeaderSize = 6;       // wLength, wValueLength, wType

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
        : device(device), size(device->size())
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
        : image(image), rootOffset(rootOffset), length(length)
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
        if (!read(offset, resourceDirectorySize, &header))
            return false;
        const quint64 count = quint64(word(header.constData() + 12)) + word(header.constData() + 14);
        QByteArray table;
        if (!read(quint64(offset) + resourceDirectorySize, count * resourceEntrySize, &table))
            return false;
        list->clear();
        for (quint64 i = 0; i < count; ++i) {
            const char* entry = table.constData() + i * resourceEntrySize;
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
    quint64 valueEnd = 0;     // clipped to the node for text values
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
    if (path.isEmpty()) {
        *error = PeVersion::InvalidParameter;
        return false;
    }
    // Only regular files: a FIFO or a device would block or never end.
    *error = fileError(path);
    if (*error != PeVersion::NoError)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = PeVersion::AccessDenied;
        return false;
    }
    return PeVersion::readVersionInfo(&file, block, error);
}

} // namespace

QString PeVersion::errorString(Error error)
{
    switch (error) {
    case NoError: return QStringLiteral("no error");
    case FileNotFound: return QStringLiteral("file not found");
    case PathNotFound: return QStringLiteral("path not found");
    case AccessDenied: return QStringLiteral("access denied or not a regular file");
    case InvalidData: return QStringLiteral("malformed resource data");
    case ReadFault: return QStringLiteral("read error");
    case InvalidParameter: return QStringLiteral("invalid parameter");
    case BadExeFormat: return QStringLiteral("not a valid PE file");
    case ResourceDataNotFound: return QStringLiteral("no resources");
    case ResourceTypeNotFound: return QStringLiteral("no version resource");
    case ResourceNameNotFound: return QStringLiteral("version resource without name");
    case ResourceLangNotFound: return QStringLiteral("version resource without language");
    }
    return QStringLiteral("unknown error %1").arg(int(error));
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

    // DOS header, then the PE signature and COFF header it points to.
    QByteArray dos;
    if (!image.readAt(0, dosHeaderSize, &dos) || !dos.startsWith("MZ")) {
        *error = BadExeFormat;
        return false;
    }
    const quint64 peOffset = dword(dos.constData() + lfanewOffset);
    QByteArray coff;
    if (!image.readAt(peOffset, coffHeaderSize, &coff) || !coff.startsWith(QByteArray("PE\0\0", 4))) {
        *error = BadExeFormat;
        return false;
    }
    const quint16 sectionCount = word(coff.constData() + 6);
    const quint16 optionalHeaderSize = word(coff.constData() + 20);
    if (sectionCount > maxSections) {
        *error = BadExeFormat;
        return false;
    }

    // Optional header: only the magic and the data directories matter here.
    QByteArray optional;
    if (optionalHeaderSize < 2 || !image.readAt(peOffset + coffHeaderSize, optionalHeaderSize, &optional)) {
        *error = BadExeFormat;
        return false;
    }
    quint32 countOffset = 0;
    const quint16 magic = word(optional.constData());
    if (magic == pe32Magic) {
        countOffset = 92;
    } else if (magic == pe32PlusMagic) {
        countOffset = 108;
    } else {
        *error = BadExeFormat;
        return false;
    }
    if (quint32(optional.size()) < countOffset + 4) {
        *error = BadExeFormat;
        return false;
    }
    const quint32 directoryCount = dword(optional.constData() + countOffset);
    const quint64 resourceEntry = quint64(countOffset) + 4 + quint64(resourceDirectoryIndex) * 8;
    if (directoryCount <= resourceDirectoryIndex || resourceEntry + 8 > quint64(optional.size())) {
        *error = ResourceDataNotFound;
        return false;
    }
    const quint32 resourceRva = dword(optional.constData() + resourceEntry);
    const quint32 resourceSize = dword(optional.constData() + resourceEntry + 4);
    if (resourceRva == 0 || resourceSize == 0) {
        *error = ResourceDataNotFound;
        return false;
    }

    QByteArray table;
    if (!image.readAt(peOffset + coffHeaderSize + optionalHeaderSize,
                      quint64(sectionCount) * sectionHeaderSize, &table)) {
        *error = BadExeFormat;
        return false;
    }
    for (quint32 i = 0; i < sectionCount; ++i) {
        const char* header = table.constData() + i * sectionHeaderSize;
        image.sections.append(Section{dword(header + 12), dword(header + 16), dword(header + 20)});
    }

    // The resource tree: its root and everything it points to lie in one section.
    quint64 rootOffset = 0;
    quint64 sectionEnd = 0;
    QByteArray rootHeader;
    if (!image.mapRva(resourceRva, resourceDirectorySize, &rootOffset, &sectionEnd)
        || !image.readAt(rootOffset, resourceDirectorySize, &rootHeader)) {
        *error = BadExeFormat;
        return false;
    }
    ResourceTree tree(&image, rootOffset, sectionEnd - resourceRva);

    // Three levels: type, name, language. The depth is fixed and each level
    // must have the kind of entry it expects, so an entry pointing back up
    // the tree ends the search instead of looping.
    QVector<QPair<quint32, quint32>> entries;
    if (!tree.entries(0, &entries)) {
        *error = InvalidData;
        return false;
    }
    quint32 nameDirectory = 0;
    bool haveType = false;
    for (const auto& entry : entries) {
        if (entry.first == typeVersion) {
            nameDirectory = entry.second;
            haveType = true;
            break;
        }
    }
    if (!haveType) {
        *error = ResourceTypeNotFound;
        return false;
    }
    if (!(nameDirectory & highBit) || !tree.entries(nameDirectory & ~highBit, &entries)) {
        *error = InvalidData;
        return false;
    }
    if (entries.isEmpty()) {
        *error = ResourceNameNotFound;
        return false;
    }
    quint32 languageDirectory = entries.first().second;
    for (const auto& entry : entries) {
        if (entry.first == nameVersionInfo) {
            languageDirectory = entry.second;
            break;
        }
    }
    if (!(languageDirectory & highBit) || !tree.entries(languageDirectory & ~highBit, &entries)) {
        *error = InvalidData;
        return false;
    }
    if (entries.isEmpty()) {
        *error = ResourceLangNotFound;
        return false;
    }
    const quint32 dataEntryOffset = entries.first().second;
    QByteArray dataEntry;
    if ((dataEntryOffset & highBit) || !tree.read(dataEntryOffset, resourceDataEntrySize, &dataEntry)) {
        *error = InvalidData;
        return false;
    }

    // The version block itself: all of its stated size must be in the file,
    // and the VS_VERSIONINFO root must fit inside it.
    const quint32 dataRva = dword(dataEntry.constData());
    const quint32 dataSize = dword(dataEntry.constData() + 4);
    quint64 dataOffset = 0;
    QByteArray header;
    if (dataSize < nodeHeaderSize || !image.mapRva(dataRva, dataSize, &dataOffset)
        || !image.readAt(dataOffset, nodeHeaderSize, &header)) {
        *error = InvalidData;
        return false;
    }
    const quint16 rootLength = word(header.constData());
    QByteArray data;
    Node root;
    if (rootLength > dataSize || !image.readAt(dataOffset, rootLength, &data)
        || !parseNode(data, 0, quint64(data.size()), &root) || root.key != QLatin1String("VS_VERSION_INFO")) {
        *error = InvalidData;
        return false;
    }

    *block = data;
    *error = NoError;
    return true;
}

bool PeVersion::queryValue(const QByteArray& block, const QString& subBlock,
                           QByteArray* value, ValueType* type)
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
