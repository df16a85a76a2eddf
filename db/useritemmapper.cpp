#include "useritemmapper.h"

#include "settingslayout.h"
#include "useritem.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <utility>

namespace {

// SQLite's generic error: a missing table or column, that is, a database that
// was read and has no such item. Every other code (SQLITE_BUSY, SQLITE_NOTADB,
// SQLITE_IOERR, ...) means the stored data could not be read at all.
bool isReadFailure(const QSqlError& error)
{
    if (!error.isValid())
        return false;
    bool numeric = false;
    const int code = error.nativeErrorCode().toInt(&numeric);
    return !numeric || (code & 0xff) != 1;
}

bool notLoaded(bool unreadable, bool* error)
{
    if (error)
        *error = unreadable;
    return false;
}

}  // namespace

UserItemMapper::UserItemMapper(QSqlDatabase database)
    : database(std::move(database))
{
}

UserItemMapper::~UserItemMapper() = default;

bool UserItemMapper::load(UserItem& item, bool* error)
{
    if (error)
        *error = false;
    // A connection that could not be opened fails the same way a failed
    // statement does, without QSqlQuery's "database not open" warning.
    if (!database.isOpen())
        return notLoaded(true, error);

    // The table name is a constant of the code and the id an integer, so
    // nothing from the database or the user ever becomes part of the SQL.
    // The placeholders are filled in one pass, so one inside the table name
    // could not be replaced by the id.
    const QString statement =
        QStringLiteral("select * from %1 where %2 = %3")
            .arg(item.fullTableName(), SettingsLayout::idColumn, QString::number(item.id()));

    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(statement) || !query.next())
        return notLoaded(isReadFailure(query.lastError()), error);

    const QSqlRecord record = query.record();
    // A table without the column counts as found with an empty value.
    const QString& valueColumn = SettingsLayout::valueColumn;
    item.setValue(record.contains(valueColumn) ? record.value(valueColumn).toString() : QString());
    return true;
}
