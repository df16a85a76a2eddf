// Feeds arbitrary bytes to the ELF version reader, as the updater and the
// version tool read a payload's program.
#include "elfversion.h"

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

    ElfVersion::isElf(&buffer);
    PeVersion::Error error = PeVersion::NoError;
    const QString version = ElfVersion::packageVersion(&buffer, &error);
    // A version and an error never come together.
    if (version.isNull() == (error == PeVersion::NoError))
        __builtin_trap();
    return 0;
}
