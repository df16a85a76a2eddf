#ifndef USERITEM_H
#define USERITEM_H

#include <QString>

// One row of a user table in the settings database: the id it is found by and
// the value read from it.
class UserItem
{
public:
    UserItem(int id, QString value, QString userName, QString tableName, QString tableSuffix);
    virtual ~UserItem();

    int id() const;
    QString value() const;
    void setValue(QString value);
    QString userName() const;
    QString tableName() const;
    QString tableSuffix() const;

    // The table as it is named in the database: the base name, or
    // "base_suffix" when a suffix is set.
    QString fullTableName() const;

private:
    // Held together so that the fields can carry the accessors' names.
    struct Fields
    {
        int id;
        QString value;
        QString userName;
        QString tableName;
        QString tableSuffix;
    } fields;
};

#endif  // USERITEM_H
