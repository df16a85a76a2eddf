#include "vsversioninfo.h"

#include "pefields.h"
#include "peversion.h"

namespace VsVersionInfo {

namespace {

quint64 align4(quint64 offset)
{
    return (offset + 3) & ~quint64(3);
}

}  // namespace

bool parseNode(const QByteArray& block, quint64 start, quint64 limit, Node* node)
{
    using PeFields::word;
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

}  // namespace VsVersionInfo
