// Feeds arbitrary bytes to the PE version reader and every query the
// updater and the version tool make on what it reads.
#include "peversion.h"

#include <QBuffer>
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char*>(data), int(size));
    buffer.open(QIODevice::ReadOnly);

    QByteArray block;
    PeVersion::Error error = PeVersion::NoError;
    if (!PeVersion::readVersionInfo(&buffer, &block, &error))
        return 0;

    static const char* const keys[] = {
        "\\",
        "\\StringFileInfo\\080704b0\\ProductName",
        "\\StringFileInfo\\080704b0\\ProductVersion",
        "\\StringFileInfo",
        "\\VarFileInfo\\Translation",
    };
    for (const char* key : keys) {
        QByteArray value;
        PeVersion::queryValue(block, QString::fromLatin1(key), &value);
        bool found = false;
        PeVersion::queryString(block, QString::fromLatin1(key), &found);
    }
    bool found = false;
    PeVersion::translations(block, &found);
    return 0;
}
