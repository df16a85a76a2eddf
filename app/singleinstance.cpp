#include "singleinstance.h"

#include "devicepath.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

#include <cerrno>
#include <cstring>
#include <sys/file.h>

namespace {

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
    connect(&server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

SingleInstance::~SingleInstance()
{
    server.close();
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
    // We hold the lock, so a leftover socket belongs to a killed instance.
    QLocalServer::removeServer(socketPath);
    server.listen(socketPath);
    return true;
}

bool SingleInstance::activateRunningInstance(int timeoutMilliseconds)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMilliseconds))
        return false;
    socket.write("activate\n");
    const bool written = socket.waitForBytesWritten(timeoutMilliseconds);
    socket.disconnectFromServer();
    return written;
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
    while (QLocalSocket* socket = server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        emit notifyActivationRequested();
    }
}
