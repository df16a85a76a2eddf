#include "fsattributes.h"

#include "uniquefd.h"

#include <cerrno>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace FsAttributes {

namespace {

// Older kernels and some file systems do not report the flags through statx;
// the ioctl needs the entry open, which is safe only for files and folders.
bool immutableByIoctl(int dirFd, const char* name, mode_t type)
{
    if (type != S_IFREG && type != S_IFDIR)
        return false;
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const UniqueFd fd(*name ? ::openat(dirFd, name, flags) : ::openat(dirFd, ".", flags));
    int attributes = 0;
    if (!fd.isValid() || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &attributes) != 0)
        return false;
    return (attributes & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

}  // namespace

bool look(int dirFd, const char* name, Entry* entry, int* error)
{
    struct statx st;
    const int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
    if (::statx(dirFd, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID, &st) != 0) {
        *error = errno;
        return false;
    }
    entry->device = makedev(st.stx_dev_major, st.stx_dev_minor);
    entry->inode = st.stx_ino;
    entry->type = st.stx_mode & S_IFMT;
    entry->mountId = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0;
    entry->mountRoot =
        (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (st.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    const std::uint64_t protect = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    if ((st.stx_attributes_mask & protect) == protect)
        entry->immutable = (st.stx_attributes & protect) != 0;
    else
        entry->immutable = immutableByIoctl(dirFd, name, entry->type);
    return true;
}

std::uint64_t mountId(int fd)
{
    struct statx st;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) != 0 || !(st.stx_mask & STATX_MNT_ID))
        return 0;
    return st.stx_mnt_id;
}

bool crossesMount(const Entry& folder, const Entry& entry)
{
    if (entry.mountRoot || entry.device != folder.device)
        return true;
    // A bind mount from the same file system shows only in the mount id.
    return folder.mountId != 0 && entry.mountId != 0 && folder.mountId != entry.mountId;
}

}  // namespace FsAttributes
