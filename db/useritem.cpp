#include "useritem.h"

#include <utility>

UserItem::UserItem(int id, QString value, QString userName, QString tableName, QString tableSuffix)
    : itemId(id)
    , itemValue(std::move(value))
    , itemUserName(std::move(userName))
    , itemTableName(std::move(tableName))
    , itemTableSuffix(std::move(tableSuffix))
{
}

UserItem::~UserItem() = default;

int UserItem::id() const
{
    return itemId;
}

QString UserItem::value() const
{
    return itemValue;
}

void UserItem::setValue(QString value)
{
    itemValue = std::move(value);
}

QString UserItem::userName() const
{
    return itemUserName;
}

QString UserItem::tableName() const
{
    return itemTableName;
}

QString UserItem::tableSuffix() const
{
    return itemTableSuffix;
}

QString UserItem::fullTableName() const
{
    if (itemTableSuffix.isEmpty())
        return itemTableName;
    return QStringLiteral("%1_%2").arg(itemTableName, itemTableSuffix);
}
