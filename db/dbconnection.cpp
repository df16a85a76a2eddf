#include "dbconnection.h"

#include "settingsfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSqlQuery>

#include <utility>

namespace {

const QString connectionName = QStringLiteral("Administrator_setting");

// A writer of the application holding its lock is waited for a few seconds,
// not forever.
const QString connectOptions = QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000");

// The settings database belongs to the terminal application and must never be
// created by us: "mode=rw" opens an existing file only. It is not opened
// read-only because a read-only connection cannot roll back a transaction the
// application left behind (power loss while it wrote), and then fails to read
// the password at all; read-write, SQLite restores the last committed state
// first, as the application itself would on its next start.
QString sqliteUri(const QString& path)
{
    QString uriPath = QDir::fromNativeSeparators(path);
    uriPath.replace(QLatin1Char('%'), QLatin1String("%25"));
    uriPath.replace(QLatin1Char('?'), QLatin1String("%3F"));
    uriPath.replace(QLatin1Char('#'), QLatin1String("%23"));
    QString prefix = QStringLiteral("file:");
    if (QDir::isAbsolutePath(path))
        prefix += uriPath.startsWith(QLatin1Char('/')) ? QStringLiteral("//") : QStringLiteral("///");
    return prefix + uriPath + QStringLiteral("?mode=rw");
}

}  // namespace

DBConnection::DBConnection(QObject* parent, QString driverName, QString databasePath)
    : QObject(parent)
    , databasePath(std::move(databasePath))
{
    if (!QSqlDatabase::isDriverAvailable(driverName))
        qDebug() << QStringLiteral("DB Driver fehlt: %1").arg(driverName);
    this->driverName = std::move(driverName);
}

DBConnection::~DBConnection()
{
    close();
}

QSqlDatabase DBConnection::database()
{
    open();
    return QSqlDatabase::database(connectionName);
}

void DBConnection::close()
{
    if (!QSqlDatabase::contains(connectionName))
        return;
    {
        // The handle has to be gone before removeDatabase(), or Qt reports
        // the connection as still in use.
        QSqlDatabase handle = QSqlDatabase::database(connectionName, false);
        if (handle.isOpen())
            handle.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}

bool DBConnection::open()
{
    // A registration left over from an earlier database() without close() is
    // replaced; removing it first spares the "duplicate connection name"
    // warning of addDatabase().
    close();

    // SQLite opens the database and its side files blindly: a FIFO there
    // hangs it, a link makes it read or roll back a file elsewhere. Such a
    // database counts as unreadable, and no connection is registered, so
    // database() cannot open one behind our back. Links of the folders on the
    // way are the device's own and are followed.
    if (driverName == QLatin1String("QSQLITE") && !SettingsFile::firstNotRegular(databasePath).isEmpty())
        return false;

    QSqlDatabase handle = QSqlDatabase::addDatabase(driverName, connectionName);
    if (!handle.isValid()) {
        qDebug() << "Failed to open Db Connection. Driver: " << driverName;
        return false;
    }

    const bool sqlite = driverName == QLatin1String("QSQLITE");
    handle.setDatabaseName(sqlite ? sqliteUri(databasePath) : databasePath);
    handle.setUserName(QString());
    handle.setHostName(QString());
    handle.setPassword(QString());
    if (!sqlite)
        return handle.open();

    handle.setConnectOptions(connectOptions);
    if (!handle.open())
        return false;
    // No statement run on this connection can change the file.
    QSqlQuery(handle).exec(QStringLiteral("PRAGMA query_only = ON"));
    return true;
}
