#include "passwordwriter.h"

#include "settingsfile.h"
#include "settingslayout.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <utility>

namespace {

const QString connectionName = QStringLiteral("zentavo-passwd");

// Long enough to ride out a short write of the terminal application, short
// enough that a database held locked makes the tool fail instead of hang.
const QString connectOptions = QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000");

// SQLite's own words ("database is locked", "file is not a database") say
// what went wrong; Qt's driver text only names the step that failed.
QString sqlError(const QSqlError& error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

bool fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return false;
}

// The password row, created or updated; the caller commits or rolls back.
bool storeRow(QSqlQuery& query, const QString& storedValue)
{
    using namespace SettingsLayout;
    const int id = administratorPasswordId;
    bool ok = query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2 INTEGER PRIMARY KEY, %3 TEXT)")
                             .arg(userTable, idColumn, valueColumn));
    // Update first, so that further columns the application keeps in the row
    // survive; insert only when there is no such row yet.
    if (ok) {
        ok = query.prepare(
            QStringLiteral("UPDATE %1 SET %2 = ? WHERE %3 = ?").arg(userTable, valueColumn, idColumn));
        query.addBindValue(storedValue);
        query.addBindValue(id);
        ok = ok && query.exec();
    }
    if (ok && query.numRowsAffected() == 0) {
        ok = query.prepare(
            QStringLiteral("INSERT INTO %1 (%2, %3) VALUES (?, ?)").arg(userTable, idColumn, valueColumn));
        query.addBindValue(id);
        query.addBindValue(storedValue);
        ok = ok && query.exec();
    }
    return ok;
}

}  // namespace

PasswordWriter::PasswordWriter(QString databasePath)
    : databasePath(std::move(databasePath))
{
}

bool PasswordWriter::write(const QString& storedValue, QString* error)
{
    if (error)
        error->clear();
    const QFileInfo target(databasePath);
    if (target.isDir())
        return fail(error, QStringLiteral("%1 is a directory").arg(databasePath));
    const QFileInfo directory(target.absolutePath());
    if (directory.exists() && !directory.isDir())
        return fail(error, QStringLiteral("%1 is not a directory").arg(target.absolutePath()));
    if (!directory.exists())
        return fail(error, QStringLiteral("directory %1 does not exist").arg(target.absolutePath()));

    // SQLite would open a FIFO among these and hang, or write through a link.
    // The folders on the way may be links, as the updater reads through them.
    const QString irregular = SettingsFile::firstNotRegular(databasePath);
    if (!irregular.isEmpty())
        return fail(error, QStringLiteral("%1 is not a regular file").arg(irregular));

    const bool existedBefore = target.exists();
    const bool written = writeInTransaction(storedValue, error);
    QSqlDatabase::removeDatabase(connectionName);

    // SQLite creates a new file as soon as it opens it; a failed run must not
    // leave that behind.
    if (!written && !existedBefore && QFileInfo(databasePath).isFile())
        QFile::remove(databasePath);
    return written;
}

bool PasswordWriter::writeInTransaction(const QString& storedValue, QString* error)
{
    QSqlDatabase database = QSqlDatabase::addDatabase(SettingsLayout::driver, connectionName);
    if (!database.isValid())
        return fail(error, QStringLiteral("the Qt SQLite driver QSQLITE is not available"));
    database.setDatabaseName(databasePath);
    database.setConnectOptions(connectOptions);
    if (!database.open())
        return fail(error,
                    QStringLiteral("cannot open %1: %2").arg(databasePath, sqlError(database.lastError())));

    bool ok = false;
    QString message;
    {
        QSqlQuery query(database);
        // IMMEDIATE takes the write lock up front: a locked database or a file
        // that is no database fails here, before anything is changed.
        if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            message = sqlError(query.lastError());
        } else {
            ok = storeRow(query, storedValue) && query.exec(QStringLiteral("COMMIT"));
            if (!ok) {
                message = sqlError(query.lastError());
                QSqlQuery rollback(database);
                rollback.exec(QStringLiteral("ROLLBACK"));
            }
        }
    }
    database.close();

    if (!ok)
        return fail(error, QStringLiteral("cannot write %1: %2").arg(databasePath, message));
    return true;
}
