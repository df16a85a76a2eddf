#include "peresources.h"

#include "pefields.h"
#include "peimage.h"
#include "vsversioninfo.h"

#include <QPair>
#include <QVector>

using PeFields::dword;
using PeFields::word;

namespace {

// The fields read here, as offsets into the structures that hold them.
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

using Entries = QVector<QPair<quint32, quint32>>;  // (name or id, offset to data)

// The resource directory tree: every offset in it is relative to its root
// and must stay inside the section that holds the root.
class ResourceTree
{
public:
    ResourceTree(PeImage* image, quint64 rootOffset, quint64 length)
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

    // The entries of the directory at offset.
    bool entries(quint32 offset, Entries* list)
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

private:
    PeImage* image;
    quint64 rootOffset;
    quint64 length;
};

// The offset stored with the entry whose id is wanted, or with the first
// entry when fallbackToFirst; false when there is none.
bool findEntry(const Entries& entries, quint32 wanted, bool fallbackToFirst, quint32* offset)
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
PeVersion::Error findVersionData(PeImage* image, quint32* dataRva, quint32* dataSize)
{
    // The root and everything it points to lie in one section.
    quint64 rootOffset = 0;
    quint64 sectionEnd = 0;
    QByteArray rootHeader;
    if (!image->mapRva(image->resourceRva(), ResourceDirectory::size, &rootOffset, &sectionEnd)
        || !image->readAt(rootOffset, ResourceDirectory::size, &rootHeader))
        return PeVersion::BadExeFormat;
    ResourceTree tree(image, rootOffset, sectionEnd - image->resourceRva());
    const quint32 subdirectory = ResourceDirectory::subdirectoryBit;

    Entries entries;
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

}  // namespace

namespace PeResources {

PeVersion::Error readVersionBlock(PeImage* image, QByteArray* block)
{
    using VsVersionInfo::nodeHeaderSize;
    quint32 dataRva = 0;
    quint32 dataSize = 0;
    const PeVersion::Error error = findVersionData(image, &dataRva, &dataSize);
    if (error != PeVersion::NoError)
        return error;
    quint64 dataOffset = 0;
    QByteArray header;
    if (dataSize < nodeHeaderSize || !image->mapRva(dataRva, dataSize, &dataOffset)
        || !image->readAt(dataOffset, nodeHeaderSize, &header))
        return PeVersion::InvalidData;
    const quint16 rootLength = word(header.constData());
    QByteArray data;
    VsVersionInfo::Node root;
    if (rootLength > dataSize || !image->readAt(dataOffset, rootLength, &data)
        || !VsVersionInfo::parseNode(data, 0, quint64(data.size()), &root)
        || root.key != QLatin1String("VS_VERSION_INFO"))
        return PeVersion::InvalidData;
    *block = data;
    return PeVersion::NoError;
}

}  // namespace PeResources
