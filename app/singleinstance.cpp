#include "singleinstance.h"

#include "devicepath.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace {

const char* const lockFolders[] = {"run", "zentavo-installer"};

QString deviceRoot()
{
    return DevicePath::map("/");
}

// Root and the owner of the device root are the only ones who may make the
// device's lock: everyone else could use it to keep the updater from running.
bool trustedOwner(uid_t owner, uid_t rootOwner)
{
    return owner == 0 || owner == rootOwner;
}

bool writableByOthers(const struct stat& st)
{
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The socket's address: its full path, or, where that is too long for a
// socket address, the same name reached through our descriptor of its folder.
bool socketAddress(int directoryFd, const QString& directory, const QString& name, sockaddr_un* address)
{
    QByteArray path = QFile::encodeName(directory + QLatin1Char('/') + name);
    if (path.size() >= int(sizeof(address->sun_path)))
        path = "/proc/self/fd/" + QByteArray::number(directoryFd) + '/' + QFile::encodeName(name);
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (path.size() >= int(sizeof(address->sun_path)))
        return false;
    std::memcpy(address->sun_path, path.constData(), size_t(path.size()));
    return true;
}

// "path: what the system said".
QString systemError(const QString& path, int code)
{
    return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(code)));
}

// A failed step: the reason goes to the caller of claim(), if it asks for it.
UniqueFd openFailed(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return UniqueFd();
}

SingleInstance::Claim unavailable(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return SingleInstance::Unavailable;
}

// The device root, opened, and its owner. A root that group or others may
// write to is refused: they could put folders of theirs in the lock's way.
UniqueFd openDeviceRoot(const QByteArray& root, uid_t* rootOwner, QString* error)
{
    UniqueFd fd(::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0) {
        const int code = errno;
        return openFailed(error, systemError(QFile::decodeName(root), code));
    }
    *rootOwner = st.st_uid;
    if (writableByOthers(st))
        return openFailed(error, QStringLiteral("%1 is writable by others").arg(QFile::decodeName(root)));
    return fd;
}

// The folder of the lock, made where missing. Walked with descriptors and
// without following links, so that no folder on the way can be swapped for
// one somebody else controls.
UniqueFd openLockFolder(uid_t* rootOwner, QString* error)
{
    const QByteArray root = QFile::encodeName(deviceRoot());
    UniqueFd fd = openDeviceRoot(root, rootOwner, error);
    if (!fd.isValid())
        return fd;
    QString walked = QFile::decodeName(root);
    for (const char* name : lockFolders) {
        walked = QDir::cleanPath(walked + QLatin1Char('/') + QLatin1String(name));
        int next = ::openat(fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && (::mkdirat(fd.get(), name, 0755) == 0 || errno == EEXIST))
            next = ::openat(fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int code = errno;
        fd.reset(next);
        if (!fd.isValid())
            return openFailed(error, systemError(walked, code));
        struct stat st;
        if (::fstat(fd.get(), &st) != 0 || !trustedOwner(st.st_uid, *rootOwner) || writableByOthers(st))
            return openFailed(
                error, QStringLiteral("%1 is not a folder of root or of the device's owner").arg(walked));
    }
    return fd;
}

}  // namespace

SingleInstance::SingleInstance(const QString& key, QObject* parent)
    : QObject(parent)
    , directory(lockDirectory())
    , lockName(key + QLatin1String(".lock"))
    , socketName(key + QLatin1String(".socket"))
{
}

SingleInstance::~SingleInstance()
{
    delete serverNotifier;
    if (serverSocket.isValid()) {
        serverSocket.reset();
        // Only the holder removes it: a refused start must leave it alone.
        // Should it stay, the next holder removes it before it listens.
        (void)::unlinkat(directoryFd.get(), QFile::encodeName(socketName).constData(), 0);
    }
}

QString SingleInstance::lockKey()
{
    return QStringLiteral("zentavo-installer");
}

QString SingleInstance::lockDirectory()
{
    return DevicePath::map("/run/zentavo-installer");
}

SingleInstance::Claim SingleInstance::claim(QString* error)
{
    if (error)
        error->clear();
    if (lockFd.isValid())
        return Claimed;
    uid_t rootOwner = 0;
    UniqueFd folder = openLockFolder(&rootOwner, error);
    if (!folder.isValid())
        return Unavailable;
    directoryFd = std::move(folder);
    return takeLock(rootOwner, error);
}

// Private to its owner: nobody else can open it, so nobody else can hold it.
// Nothing is written or synced: the file's content means nothing.
SingleInstance::Claim SingleInstance::takeLock(uid_t rootOwner, QString* error)
{
    const QByteArray lockFile = QFile::encodeName(lockName);
    UniqueFd lock(::openat(directoryFd.get(), lockFile.constData(),
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!lock.isValid()) {
        const int code = errno;
        return unavailable(error, systemError(lockFilePath(), code));
    }
    struct stat st;
    // Whether the mode could be narrowed shows in the look that follows.
    if (::fstat(lock.get(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        (void)::fchmod(lock.get(), 0600);
    if (::fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode) || !trustedOwner(st.st_uid, rootOwner)
        || (st.st_mode & 077) != 0)
        return unavailable(
            error,
            QStringLiteral("%1 is not a private file of root or of the device's owner").arg(lockFilePath()));
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        if (code == EWOULDBLOCK)
            return Held;
        return unavailable(error, systemError(lockFilePath(), code));
    }
    lockFd = std::move(lock);
    listen();
    return Claimed;
}

void SingleInstance::listen()
{
    sockaddr_un address;
    if (!socketAddress(directoryFd.get(), directory, socketName, &address)) {
        qWarning("Single-instance socket path too long: %s", qPrintable(serverName()));
        return;
    }
    // We hold the lock, so a leftover socket belongs to a dead instance.
    // Usually there is none; one that will not go makes bind() fail below.
    const QByteArray name = QFile::encodeName(socketName);
    (void)::unlinkat(directoryFd.get(), name.constData(), 0);
    UniqueFd server(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!server.isValid()
        || ::bind(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(server.get(), 4) != 0) {
        const int code = errno;
        qWarning("Single-instance socket not available: %s", std::strerror(code));
        return;
    }
    serverSocket = std::move(server);
    // A start as another user may ask for the window too; the folder is ours,
    // so nobody can put anything of theirs in the socket's place. Without
    // this only such starts go unheard.
    (void)::fchmodat(directoryFd.get(), name.constData(), 0666, 0);
    serverNotifier = new QSocketNotifier(serverSocket.get(), QSocketNotifier::Read);
    connect(serverNotifier, &QSocketNotifier::activated, this, &SingleInstance::onNewConnection);
}

bool SingleInstance::activateRunningInstance(int timeoutMilliseconds)
{
    if (!directoryFd.isValid())
        return false;
    sockaddr_un address;
    if (!socketAddress(directoryFd.get(), directory, socketName, &address))
        return false;
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.isValid())
        return false;
    int result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (result != 0 && (errno == EAGAIN || errno == EINPROGRESS)) {
        // A full backlog: wait a little for the running instance to accept.
        pollfd waiting = {fd.get(), POLLOUT, 0};
        if (::poll(&waiting, 1, timeoutMilliseconds) == 1 && (waiting.revents & POLLOUT)) {
            // The socket became writable: the connection stands unless it
            // reports an error of its own.
            int error = 0;
            socklen_t length = sizeof(error);
            (void)::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
            result = error == 0 ? 0 : -1;
        }
    }
    if (result != 0)
        return false;
    // The running instance takes the connection itself as the request
    // and may close it before these bytes arrive.
    static const char request[] = "activate\n";
    (void)::send(fd.get(), request, sizeof(request) - 1, MSG_NOSIGNAL);
    return true;
}

void SingleInstance::activateVisibleWindow()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (window->isVisible() && window->windowType() == Qt::Window) {
            window->raise();
            window->activateWindow();
            return;
        }
    }
}

void SingleInstance::onNewConnection()
{
    // Any connection is a request to come to the front; its content does not
    // matter, so each one is closed again at once, before the window comes up.
    while (UniqueFd(::accept4(serverSocket.get(), nullptr, nullptr, SOCK_CLOEXEC)).isValid())
        emit notifyActivationRequested();
}
