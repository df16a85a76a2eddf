#include "useritem.h"

#include <utility>

UserItem::UserItem(int id, QString value, QString userName, QString tableName, QString tableSuffix)
    : fields {id, std::move(value), std::move(userName), std::move(tableName), std::move(tableSuffix)}
{
}

UserItem::~UserItem() = default;

int UserItem::id() const
{
    return fields.id;
}

QString UserItem::value() const
{
    return fields.value;
}

void UserItem::setValue(QString value)
{
    fields.value = std::move(value);
}

QString UserItem::userName() const
{
    return fields.userName;
}

QString UserItem::tableName() const
{
    return fields.tableName;
}

QString UserItem::tableSuffix() const
{
    return fields.tableSuffix;
}

QString UserItem::fullTableName() const
{
    if (fields.tableSuffix.isEmpty())
        return fields.tableName;
    return QStringLiteral("%1_%2").arg(fields.tableName, fields.tableSuffix);
}
