#ifndef USERITEMMAPPER_H
#define USERITEMMAPPER_H

#include <QSqlDatabase>

class UserItem;

// Fills a UserItem from its row in the settings database.
class UserItemMapper
{
public:
    explicit UserItemMapper(QSqlDatabase database);
    virtual ~UserItemMapper();

    // True when a row with the item's id was found; its "value" column (empty
    // when missing or NULL) is then stored in the item. error, when given, is
    // set to true when the database itself could not be read (not opened, not
    // a database, locked, I/O error), to false when it was read, even if it
    // simply holds no such table or row.
    bool load(UserItem& item, bool* error = nullptr);

private:
    QSqlDatabase database;
};

#endif  // USERITEMMAPPER_H
