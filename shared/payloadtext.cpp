#include "payloadtext.h"

#include <cstring>

namespace PayloadText {

namespace {

// Length of the well-formed UTF-8 sequence at s (left bytes available), 0
// when there is none.
int utf8Length(const unsigned char* s, qsizetype left)
{
    const unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;
        high = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (left < length || s[1] < low || s[1] > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    }
    return length;
}

}  // namespace

bool isUtf8(const QByteArray& bytes)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int length = utf8Length(s + i, bytes.size() - i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

QString printable(const QByteArray& bytes)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    QByteArray out;
    for (qsizetype i = 0; i < bytes.size();) {
        const int length = utf8Length(s + i, bytes.size() - i);
        const bool control = length == 1 && (s[i] < 0x20 || s[i] == 0x7f || s[i] == '\\');
        const bool c1Control = length == 2 && s[i] == 0xc2 && s[i + 1] < 0xa0;
        if (length == 0 || control || c1Control) {
            out += "\\x" + QByteArray::number(s[i], 16).rightJustified(2, '0');
            ++i;
        } else {
            out.append(bytes.constData() + i, length);
            i += length;
        }
    }
    return QString::fromUtf8(out);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

}  // namespace PayloadText
