#include "messagehandler.h"

#include "devicepath.h"

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

// The log file in the stick's installer directory, or -1. The stick is
// untrusted: neither the directory nor the file may be a link (a link would
// let a stick make us append to any file of the device), and the open must
// never block (a FIFO named log.txt would hang the updater before its first
// screen). Anything but a plain regular file is refused like a missing stick.
int openLog(bool* created)
{
    const QByteArray stick = QFile::encodeName(DevicePath::map("/USB HD"));
    const int stickFd = ::open(stick.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (stickFd < 0)
        return -1;
    const int dirFd = ::openat(stickFd, "Zentavo_Installer", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(stickFd);
    if (dirFd < 0)
        return -1;

    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    *created = false;
    struct stat st;
    int fd = -1;
    // Looked at before the open too: opening a device node can have effects
    // of its own, even when it is closed again at once.
    if (::fstatat(dirFd, "log.txt", &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(st.st_mode))
            fd = ::openat(dirFd, "log.txt", flags);
    } else if (errno == ENOENT) {
        fd = ::openat(dirFd, "log.txt", flags | O_CREAT | O_EXCL, 0644);
        *created = fd >= 0;
        if (*created)
            ::fchmod(fd, 0644);
    }
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
        // A hard link would reach a file elsewhere on the stick's file system.
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        ::close(dirFd);
        return -1;
    }
    // A new name must survive a pull as well as the lines written to it.
    if (*created)
        ::fsync(dirFd);
    ::close(dirFd);
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
    bool created = false;
    const int fd = openLog(&created);
    if (fd >= 0) {
        QByteArray line = message.toUtf8();
        line.append('\n');
        if (writeAll(fd, line))
            ::fdatasync(fd);
        ::close(fd);
    }

    writing = false;
}
