#include "contentcopy.h"

#include "copyfailures.h"
#include "stopsignals.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace ContentCopy {

namespace {

const int sourceChanged = CopyFailure::SourceChanged;
const int stopRequested = CopyFailure::StopRequested;

const size_t compareBlock = 1024 * 1024;

ssize_t copyRange(int in, int out, off_t* offset, size_t length, bool* kernelCopy, std::vector<char>* buffer)
{
    // Bounded steps, so that a stop request is seen within one of them.
    length = std::min<size_t>(length, 64 * 1024 * 1024);
    if (*kernelCopy) {
        off_t inOffset = *offset;
        off_t outOffset = *offset;
        const ssize_t n = copy_file_range(in, &inOffset, out, &outOffset, length, 0);
        if (n >= 0) {
            *offset += n;
            return n;
        }
        // Across file systems, on old kernels or on file systems that refuse
        // it, the copy goes through user space instead.
        const int error = errno;
        if (error != EXDEV && error != ENOSYS && error != EINVAL && error != EOPNOTSUPP && error != EPERM
            && error != ETXTBSY)
            return -1;
        *kernelCopy = false;
    }
    if (buffer->empty())
        buffer->resize(1024 * 1024);
    const ssize_t n = pread(in, buffer->data(), std::min(length, buffer->size()), *offset);
    if (n <= 0)
        return n;
    ssize_t written = 0;
    while (written < n) {
        const ssize_t w = pwrite(out, buffer->data() + written, size_t(n - written), *offset + written);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        written += w;
    }
    *offset += n;
    return n;
}

}  // namespace

// O_NONBLOCK: should the entry be a fifo by now, the open must not hang.
UniqueFd openForReading(int dirFd, const QByteArray& name)
{
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = openat(dirFd, name.constData(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = openat(dirFd, name.constData(), flags);
    return UniqueFd(fd);
}

// Both files are read from the start; the first difference ends the
// comparison. buffer holds two blocks; it is allocated once per copy, since
// fresh memory for every file costs more than the reads.
Comparison compare(int a, int b, off_t size, std::vector<char>* buffer, int* error)
{
    if (buffer->size() < 2 * compareBlock)
        buffer->resize(2 * compareBlock);
    char* left = buffer->data();
    char* right = left + compareBlock;
    // Only a hint for the read-ahead: a file system without it reads all the same.
    (void)posix_fadvise(a, 0, 0, POSIX_FADV_SEQUENTIAL);
    (void)posix_fadvise(b, 0, 0, POSIX_FADV_SEQUENTIAL);
    off_t offset = 0;
    // Files that differ mostly differ at once: the first reads are small, so
    // that a changed file costs little more than its copy.
    size_t step = 64 * 1024;
    while (offset < size) {
        if (StopSignals::pending()) {
            *error = stopRequested;
            return Comparison::Failed;
        }
        const size_t want = size_t(std::min<off_t>(off_t(step), size - offset));
        step = std::min(step * 4, compareBlock);
        const ssize_t n = pread(a, left, want, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n < 0 ? errno : sourceChanged;
            return Comparison::Failed;
        }
        size_t got = 0;
        while (got < size_t(n)) {
            const ssize_t m = pread(b, right + got, size_t(n) - got, offset + off_t(got));
            if (m < 0 && errno == EINTR)
                continue;
            if (m <= 0)
                return Comparison::Different;  // the installed file is shorter or unreadable
            got += size_t(m);
        }
        if (memcmp(left, right, size_t(n)) != 0)
            return Comparison::Different;
        offset += n;
    }
    return Comparison::Same;
}

bool copyData(int in, int out, off_t size, std::vector<char>* buffer, int* error)
{
    bool kernelCopy = true;
    off_t offset = 0;
    while (offset < size) {
        off_t dataStart = lseek(in, offset, SEEK_DATA);
        if (dataStart < 0) {
            if (errno == ENXIO)
                break;           // only a hole remains
            dataStart = offset;  // no hole support: copy everything
        }
        off_t dataEnd = lseek(in, dataStart, SEEK_HOLE);
        if (dataEnd < 0 || dataEnd > size)
            dataEnd = size;
        offset = dataStart;
        while (offset < dataEnd) {
            if (StopSignals::pending()) {
                *error = stopRequested;
                return false;
            }
            const ssize_t n = copyRange(in, out, &offset, size_t(dataEnd - offset), &kernelCopy, buffer);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                *error = errno;
                return false;
            }
            if (n == 0) {
                // Some file systems end copy_file_range early; only a read
                // that ends early tells that the file really got shorter.
                if (kernelCopy) {
                    kernelCopy = false;
                    continue;
                }
                *error = sourceChanged;
                return false;
            }
        }
    }
    if (ftruncate(out, size) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

}  // namespace ContentCopy
