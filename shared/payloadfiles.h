#ifndef PAYLOADFILES_H
#define PAYLOADFILES_H

#include "payloadcheck.h"

#include <QByteArray>
#include <QString>

// Reading the files of a payload from the flash disk, which is not trusted:
// no link is followed, no open blocks, a device, FIFO or socket is never
// opened, and no size is believed.
namespace PayloadFiles {

enum class ReadResult { Read, Absent, NotRegular, TooLarge, Failed };

// Reads the whole regular file name of the folder open as dirFd, at most
// limit bytes, to its end whatever its size claims. Absent and Failed come
// with the errno value in error.
ReadResult readSmallFile(int dirFd, const char* name, qint64 limit, QByteArray* bytes, int* error);

// What went wrong, for a log line after the file's name.
QString readProblem(ReadResult result, int error, qint64 limit);

// What PayloadCheck::digestFile answers with.
bool digestFile(int dirFd, const char* name, PayloadCheck::Digest* digest, PayloadCheck::Identity* identity,
                int* error);

}  // namespace PayloadFiles

#endif  // PAYLOADFILES_H
