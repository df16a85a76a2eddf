#include "singleinstance.h"

#include "devicepath.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QWidget>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// False when the path does not fit a socket address.
bool socketAddress(const QString& path, sockaddr_un* address)
{
    const QByteArray encoded = QFile::encodeName(path);
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (encoded.size() >= int(sizeof(address->sun_path)))
        return false;
    std::memcpy(address->sun_path, encoded.constData(), size_t(encoded.size()));
    return true;
}

QString runtimeDirectory()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty() || !QDir(dir).exists())
        dir = QDir::tempPath();
    return dir;
}

} // namespace

SingleInstance::SingleInstance(const QString& key, QObject* parent)
    : QObject(parent)
    , lockPath(runtimeDirectory() + QLatin1Char('/') + key + QLatin1String(".lock"))
    , socketPath(QFileInfo(lockPath).path() + QLatin1Char('/') + key + QLatin1String(".socket"))
    , lockFile(lockPath)
{
}

SingleInstance::~SingleInstance()
{
    delete serverNotifier;
    if (serverSocket >= 0) {
        ::close(serverSocket);
        ::unlink(QFile::encodeName(socketPath).constData());
    }
    lockFile.close();
}

QString SingleInstance::deviceKey()
{
    const QString root = QDir::cleanPath(QFileInfo(DevicePath::map("/")).absoluteFilePath());
    const QByteArray hash = QCryptographicHash::hash(root.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QLatin1String("zentavo-installer-") + QString::fromLatin1(hash);
}

bool SingleInstance::claim()
{
    // The kernel holds the lock for the open file and drops it when the owner
    // ends, however it ends, so a killed instance leaves no stale lock behind.
    // Nothing is written or synced: the file's content means nothing.
    if (lockFile.open(QIODevice::ReadWrite)) {
        if (::flock(lockFile.handle(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                return false;
            qWarning("Single-instance lock not available: %s", std::strerror(errno));
        }
    } else {
        // Refusing to start would leave the device without its updater.
        qWarning("Single-instance lock not available: %s", qPrintable(lockFile.errorString()));
    }
    listen();
    return true;
}

void SingleInstance::listen()
{
    sockaddr_un address;
    if (!socketAddress(socketPath, &address)) {
        qWarning("Single-instance socket path too long: %s", qPrintable(socketPath));
        return;
    }
    // We hold the lock, so a leftover socket belongs to a killed instance.
    ::unlink(address.sun_path);
    serverSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (serverSocket < 0
        || ::bind(serverSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(serverSocket, 4) != 0) {
        qWarning("Single-instance socket not available: %s", std::strerror(errno));
        if (serverSocket >= 0)
            ::close(serverSocket);
        serverSocket = -1;
        return;
    }
    serverNotifier = new QSocketNotifier(serverSocket, QSocketNotifier::Read);
    connect(serverNotifier, &QSocketNotifier::activated, this, &SingleInstance::onNewConnection);
}

bool SingleInstance::activateRunningInstance(int timeoutMilliseconds)
{
    sockaddr_un address;
    if (!socketAddress(socketPath, &address))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool delivered = false;
    int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (result != 0 && (errno == EAGAIN || errno == EINPROGRESS)) {
        // A full backlog: wait a little for the running instance to accept.
        pollfd waiting = { fd, POLLOUT, 0 };
        if (::poll(&waiting, 1, timeoutMilliseconds) == 1 && (waiting.revents & POLLOUT)) {
            int error = 0;
            socklen_t length = sizeof(error);
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            result = error == 0 ? 0 : -1;
        }
    }
    if (result == 0) {
        static const char request[] = "activate\n";
        delivered = ::send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) == ssize_t(sizeof(request) - 1);
    }
    ::close(fd);
    return delivered;
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
    // Any connection is a request to come to the front; its content does not matter.
    int connection;
    while ((connection = ::accept4(serverSocket, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
        ::close(connection);
        emit notifyActivationRequested();
    }
}
