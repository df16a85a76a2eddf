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
    // when missing or NULL) is then stored in the item.
    bool load(UserItem& item);

private:
    QSqlDatabase database;
};

#endif // USERITEMMAPPER_H
