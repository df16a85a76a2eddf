#include "dbconnection.h"

#include <QDebug>

#include <utility>

namespace {

const QString connectionName = QStringLiteral("Administrator_setting");

// The settings database belongs to the terminal application: opened read-only
// it is never modified, and a missing file is never created. A writer of the
// application holding its lock is waited for a few seconds, not forever.
const QString connectOptions = QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000");

} // namespace

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

    QSqlDatabase handle = QSqlDatabase::addDatabase(driverName, connectionName);
    if (!handle.isValid()) {
        qDebug() << "Failed to open Db Connection. Driver: " << driverName;
        return false;
    }

    handle.setDatabaseName(databasePath);
    handle.setUserName(QString());
    handle.setHostName(QString());
    handle.setPassword(QString());
    if (driverName == QLatin1String("QSQLITE"))
        handle.setConnectOptions(connectOptions);
    return handle.open();
}
