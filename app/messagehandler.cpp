#include "messagehandler.h"

#include "devicepath.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const QByteArray& data)
{
    const char* next = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        left -= written;
    }
    return true;
}

// The stick's installer directory, itself no link (see openLog()), or an
// invalid descriptor.
UniqueFd openInstallerDirectory()
{
    const QByteArray stick = QFile::encodeName(DevicePath::map("/USB HD"));
    const UniqueFd stickFd(::open(stick.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!stickFd.isValid())
        return UniqueFd();
    return UniqueFd(
        ::openat(stickFd.get(), "Zentavo_Installer", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The log file in the stick's installer directory, or an invalid descriptor.
// The stick is untrusted: neither the directory nor the file may be a link (a
// link would let a stick make us append to any file of the device), and the
// open must never block (a FIFO named log.txt would hang the updater before
// its first screen). Anything but a plain regular file is refused like a
// missing stick.
UniqueFd openLog(bool* created)
{
    const UniqueFd dirFd = openInstallerDirectory();
    if (!dirFd.isValid())
        return UniqueFd();

    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    *created = false;
    struct stat st;
    UniqueFd fd;
    // Looked at before the open too: opening a device node can have effects
    // of its own, even when it is closed again at once.
    if (::fstatat(dirFd.get(), "log.txt", &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(st.st_mode))
            fd.reset(::openat(dirFd.get(), "log.txt", flags));
    } else if (errno == ENOENT) {
        fd.reset(::openat(dirFd.get(), "log.txt", flags | O_CREAT | O_EXCL, 0644));
        *created = fd.isValid();
        // The umask may have narrowed the mode; should widening it fail, the
        // file is still ours to append to.
        if (*created)
            (void)::fchmod(fd.get(), 0644);
    }
    // A hard link would reach a file elsewhere on the stick's file system.
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return UniqueFd();
    // A new name must survive a pull as well as the lines written to it;
    // should the sync fail, the line is still worth writing.
    if (*created)
        (void)::fsync(dirFd.get());
    return fd;
}

}  // namespace

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    Q_UNUSED(type)
    Q_UNUSED(context)

    // Should anything below ever report through the message system itself,
    // that message is dropped rather than recursing.
    static thread_local bool writing = false;
    if (writing)
        return;
    writing = true;

    // Opened and closed per message, and synced before we return, so every
    // line is on the stick whenever the technician pulls it. The installer
    // directory is never created: without it the message is simply lost.
    {
        bool created = false;
        const UniqueFd fd = openLog(&created);
        if (fd.isValid()) {
            QByteArray line = message.toUtf8();
            line.append('\n');
            // A failed sync has nobody to be told to: this is where messages go.
            if (writeAll(fd.get(), line))
                (void)::fdatasync(fd.get());
        }
    }

    writing = false;
}
