// Feeds arbitrary bytes to the SHA256SUMS parser. What it takes must come
// back the same when written out again as sha256sum writes it, and every
// path it takes must be one the check can walk to.
#include "payloadcheck.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), int(size));
    std::map<QByteArray, PayloadCheck::Digest> entries;
    QString error;
    if (!PayloadCheck::parse(text, &entries, &error)) {
        if (!error.startsWith(QLatin1String("line ")) && error != QLatin1String("empty file"))
            __builtin_trap();
        return 0;
    }
    QByteArray written;
    for (const auto& entry : entries) {
        const QByteArray& path = entry.first;
        if (path.isEmpty() || path.startsWith('/') || path.contains("//") || path.contains('\\')
            || path.contains('\r') || path.contains('\0') || ("/" + path + "/").contains("/../")
            || ("/" + path + "/").contains("/./"))
            __builtin_trap();
        written += QByteArray(reinterpret_cast<const char*>(entry.second.data()), 32).toHex() + "  " + path + '\n';
    }
    std::map<QByteArray, PayloadCheck::Digest> again;
    if (!PayloadCheck::parse(written, &again, &error) || again != entries)
        __builtin_trap();
    return 0;
}
