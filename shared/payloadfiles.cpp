#include "payloadfiles.h"

#include "payloadtext.h"
#include "uniquefd.h"

#include <openssl/evp.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PayloadFiles {

namespace {

const size_t hashBlockBytes = 1024 * 1024;
const int readFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// O_NOATIME only on one's own files (or with CAP_FOWNER); elsewhere it is
// refused and the file is opened without it.
int openForReading(int dirFd, const char* name)
{
    const int fd = ::openat(dirFd, name, readFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM)
        return fd;
    return ::openat(dirFd, name, readFlags);
}

enum class Opening { Opened, Absent, NotRegular, Failed };

// Opens the regular file name of the folder open as dirFd into fd. The entry
// is looked at first (entry), so that nothing else is ever opened, and the
// open file again (opened). Absent and Failed come with the errno value in
// error.
Opening openRegular(int dirFd, const char* name, UniqueFd* fd, struct stat* entry, struct stat* opened,
                    int* error)
{
    if (::fstatat(dirFd, name, entry, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno;
        return *error == ENOENT ? Opening::Absent : Opening::Failed;
    }
    if (!S_ISREG(entry->st_mode))
        return Opening::NotRegular;
    UniqueFd file(openForReading(dirFd, name));
    if (!file.isValid()) {
        *error = errno;
        // A link put in place since the entry was looked at.
        return *error == ELOOP ? Opening::NotRegular : Opening::Failed;
    }
    if (::fstat(file.get(), opened) != 0 || !S_ISREG(opened->st_mode))
        return Opening::NotRegular;
    *fd = std::move(file);
    return Opening::Opened;
}

bool sameIdentity(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// SHA-256 of what fd holds from its start: exactly size bytes, or ESTALE.
bool hashDescriptor(int fd, off_t size, PayloadCheck::Digest* digest, int* error)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        *error = ENOMEM;
        return false;
    }
    const std::unique_ptr<char[]> block(new char[hashBlockBytes]);
    off_t total = 0;
    for (;;) {
        const ssize_t got = ::read(fd, block.get(), hashBlockBytes);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = errno;
            return false;
        }
        if (got == 0)
            break;
        total += got;
        // A file that grows while it is read is not read to its new end.
        if (total > size)
            break;
        // Hashing memory with an initialised context does not fail; the
        // final call's result is checked all the same.
        (void)EVP_DigestUpdate(context.get(), block.get(), size_t(got));
    }
    unsigned int length = 0;
    if (total != size || EVP_DigestFinal_ex(context.get(), digest->data(), &length) != 1) {
        *error = ESTALE;
        return false;
    }
    return true;
}

}  // namespace

ReadResult readSmallFile(int dirFd, const char* name, qint64 limit, QByteArray* bytes, int* error)
{
    UniqueFd fd;
    struct stat entry;
    struct stat opened;
    switch (openRegular(dirFd, name, &fd, &entry, &opened, error)) {
    case Opening::Opened:
        break;
    case Opening::Absent:
        return ReadResult::Absent;
    case Opening::NotRegular:
        return ReadResult::NotRegular;
    case Opening::Failed:
        return ReadResult::Failed;
    }
    bytes->clear();
    std::vector<char> block(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(fd.get(), block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = errno;
            return ReadResult::Failed;
        }
        if (got == 0)
            return ReadResult::Read;
        if (bytes->size() + got > limit)
            return ReadResult::TooLarge;
        bytes->append(block.data(), int(got));
    }
}

QString readProblem(ReadResult result, int error, qint64 limit)
{
    switch (result) {
    case ReadResult::Absent:
        return QStringLiteral("missing");
    case ReadResult::NotRegular:
        return QStringLiteral("not a regular file");
    case ReadResult::TooLarge:
        return QStringLiteral("larger than %1 bytes").arg(limit);
    default:
        return QStringLiteral("cannot read (%1)").arg(PayloadText::errorText(error));
    }
}

bool digestFile(int dirFd, const char* name, PayloadCheck::Digest* digest, PayloadCheck::Identity* identity,
                int* error)
{
    UniqueFd fd;
    struct stat before;
    struct stat opened;
    const Opening opening = openRegular(dirFd, name, &fd, &before, &opened, error);
    if (opening == Opening::Absent || opening == Opening::Failed)
        return false;
    if (opening == Opening::NotRegular || opened.st_ino != before.st_ino || opened.st_dev != before.st_dev) {
        *error = ESTALE;
        return false;
    }
    if (!hashDescriptor(fd.get(), opened.st_size, digest, error))
        return false;
    struct stat after;
    if (::fstat(fd.get(), &after) != 0 || !sameIdentity(opened, after)) {
        *error = ESTALE;
        return false;
    }
    identity->device = after.st_dev;
    identity->inode = after.st_ino;
    identity->size = after.st_size;
    identity->modified = after.st_mtim;
    identity->changed = after.st_ctim;
    return true;
}

}  // namespace PayloadFiles
