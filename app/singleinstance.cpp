#include "singleinstance.h"

#include "devicepath.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

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
    // Only a dead owner makes a lock stale, never its age: an updater may
    // legitimately run for hours waiting for the stick to be pulled.
    lockFile.setStaleLockTime(0);
    connect(&server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

SingleInstance::~SingleInstance()
{
    server.close();
}

QString SingleInstance::deviceKey()
{
    const QString root = QDir::cleanPath(QFileInfo(DevicePath::map("/")).absoluteFilePath());
    const QByteArray hash = QCryptographicHash::hash(root.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QLatin1String("zentavo-installer-") + QString::fromLatin1(hash);
}

bool SingleInstance::claim()
{
    if (!lockFile.tryLock(0)) {
        // tryLock already clears the lock of a dead owner; this covers an owner
        // whose lock file lost its details.
        if (lockFile.error() != QLockFile::LockFailedError || !lockFile.removeStaleLockFile()
            || !lockFile.tryLock(0))
            return false;
    }
    // We hold the lock, so a leftover socket belongs to a killed instance.
    QLocalServer::removeServer(socketPath);
    server.setSocketOptions(QLocalServer::UserAccessOption);
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
