#ifndef CONTENTCOPY_H
#define CONTENTCOPY_H

#include "uniquefd.h"

#include <QByteArray>

#include <vector>

#include <sys/types.h>

// The bytes of a copy: reading, comparing and writing the data of open
// regular files. Errors are errno values or CopyFailure's own.
namespace ContentCopy {

// Opens a file to read: never through a link, never blocking, O_NOATIME
// where we may, since reading every installed file to compare it must not
// turn into a write of every inode on the flash.
UniqueFd openForReading(int dirFd, const QByteArray& name);

enum class Comparison { Same, Different, Failed };

// Whether a (size bytes, the payload's) and b hold the same bytes. Failed,
// with error set, when a cannot be read to size; an unreadable or shorter b
// is Different. buffer is reused from call to call.
Comparison compare(int a, int b, off_t size, std::vector<char>* buffer, int* error);

// Copies size bytes of in to out: only the data regions, so holes stay
// holes; the size is set at the end. False with error set.
bool copyData(int in, int out, off_t size, std::vector<char>* buffer, int* error);

}  // namespace ContentCopy

#endif  // CONTENTCOPY_H
