#ifndef VSVERSIONINFO_H
#define VSVERSIONINFO_H

#include <QByteArray>
#include <QString>

// The nodes of a VS_VERSIONINFO tree (a version block): each one a header,
// a zero-terminated UTF-16 key, a value and its children, every part
// aligned to four bytes and checked against the node that holds it.
namespace VsVersionInfo {

const quint32 nodeHeaderSize = 6;  // wLength, wValueLength, wType

// One node of the tree, located inside a block.
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
bool parseNode(const QByteArray& block, quint64 start, quint64 limit, Node* node);

// Finds the child of parent whose key is key, compared case-insensitively.
bool findChild(const QByteArray& block, const Node& parent, const QString& key, Node* child);

}  // namespace VsVersionInfo

#endif  // VSVERSIONINFO_H
