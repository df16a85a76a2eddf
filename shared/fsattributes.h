#ifndef FSATTRIBUTES_H
#define FSATTRIBUTES_H

#include "installershared_global.h"

#include <cstdint>

#include <sys/stat.h>

// What decides whether an entry can be replaced by a rename: where it is
// mounted and the inode flags that forbid changing it. statx gives both in one
// call; where it does not, the older ways are asked.
namespace FsAttributes {

struct INSTALLERSHARED_EXPORT Entry
{
    dev_t device = 0;
    ino_t inode = 0;
    mode_t type = 0;  // S_IFMT bits
    bool mountRoot = false;
    bool immutable = false;     // or append-only: neither can be renamed over or away
    std::uint64_t mountId = 0;  // 0: not known
};

// Looks at name in the folder open as dirFd without following a link, or at
// dirFd itself when name is empty. False with the errno value in error.
INSTALLERSHARED_EXPORT bool look(int dirFd, const char* name, Entry* entry, int* error);

// The mount a folder open as fd belongs to: 0 when the kernel cannot tell.
INSTALLERSHARED_EXPORT std::uint64_t mountId(int fd);

// Whether an entry of folder is the root of another mount than folder's.
INSTALLERSHARED_EXPORT bool crossesMount(const Entry& folder, const Entry& entry);

}  // namespace FsAttributes

#endif  // FSATTRIBUTES_H
