#include "payloadmanifest.h"

#include "payloadtext.h"

#include <cstdint>

namespace PayloadManifest {

namespace {

const size_t maxEntries = 1000000;

using PayloadText::fail;

// Why path, as listed, cannot name a file of a payload tree; empty if it can.
QString pathProblem(const QByteArray& path)
{
    if (path.isEmpty())
        return QStringLiteral("no file name");
    if (path.startsWith('/'))
        return QStringLiteral("absolute path");
    if (path.endsWith('/'))
        return QStringLiteral("path ends with a slash");
    for (const QByteArray& component : path.split('/')) {
        if (component.isEmpty())
            return QStringLiteral("empty path component");
        if (component == "." || component == "..")
            return QStringLiteral("\".\" or \"..\" in the path");
    }
    return QString();
}

bool hexValue(char c, std::uint8_t* value)
{
    if (c >= '0' && c <= '9')
        *value = std::uint8_t(c - '0');
    else if (c >= 'a' && c <= 'f')
        *value = std::uint8_t(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *value = std::uint8_t(c - 'A' + 10);
    else
        return false;
    return true;
}

// Why line (without its LF) is not "<64 hex>  <path>" or "<64 hex> *<path>"
// with a path of a payload; empty when it is, with digest and path set.
QString lineProblem(const QByteArray& line, PayloadCheck::Digest* digest, QByteArray* path)
{
    if (line.isEmpty())
        return QStringLiteral("empty line");
    if (line.contains('\r'))
        return QStringLiteral("carriage return");
    if (line.contains('\0'))
        return QStringLiteral("NUL byte");
    if (!PayloadText::isUtf8(line))
        return QStringLiteral("not UTF-8");
    // sha256sum writes "\<digest>  <escaped name>" for names with a
    // backslash or a line feed; such names are not taken at all.
    if (line.contains('\\'))
        return QStringLiteral("backslash");
    for (int i = 0; i < 32; ++i) {
        std::uint8_t high = 0;
        std::uint8_t low = 0;
        if (line.size() < 64 || !hexValue(line[2 * i], &high) || !hexValue(line[2 * i + 1], &low))
            return QStringLiteral("not a SHA-256 digest in hex");
        (*digest)[size_t(i)] = std::uint8_t(high << 4 | low);
    }
    if (line.size() < 66 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
        return QStringLiteral("no \"  \" or \" *\" after the digest");
    *path = line.mid(66);
    return pathProblem(*path);
}

}  // namespace

bool parse(const QByteArray& text, std::map<QByteArray, PayloadCheck::Digest>* entries, QString* error)
{
    entries->clear();
    if (text.isEmpty())
        return fail(error, QStringLiteral("empty file"));
    const int maxLineBytes = PayloadCheck::maxLineBytes;
    int lineNumber = 0;
    for (qsizetype start = 0; start < text.size();) {
        ++lineNumber;
        const qsizetype newline = text.indexOf('\n', start);
        const qsizetype end = newline < 0 ? text.size() : newline;
        const QString prefix = QStringLiteral("line %1: ").arg(lineNumber);
        if (end - start > maxLineBytes)
            return fail(error, prefix + QStringLiteral("longer than %1 bytes").arg(maxLineBytes));
        PayloadCheck::Digest digest;
        QByteArray path;
        const QString problem = lineProblem(text.mid(start, end - start), &digest, &path);
        if (!problem.isEmpty())
            return fail(error, prefix + problem);
        // A text cut short ends without its line feed: not taken.
        if (newline < 0)
            return fail(error, prefix + QStringLiteral("no line feed at the end"));
        if (entries->size() >= maxEntries)
            return fail(error, prefix + QStringLiteral("more than %1 files").arg(maxEntries));
        if (!entries->emplace(path, digest).second)
            return fail(error, prefix + QStringLiteral("listed twice: ") + PayloadText::printable(path));
        start = newline + 1;
    }
    return true;
}

}  // namespace PayloadManifest
