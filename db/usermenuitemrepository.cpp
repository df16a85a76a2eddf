#include "usermenuitemrepository.h"

#include "idbconnection.h"
#include "settingslayout.h"
#include "useritem.h"
#include "useritemmapper.h"

#include <QDebug>

UserMenuItemRepository::UserMenuItemRepository(QObject* parent, IDBConnection* connection)
    : QObject(parent)
    , connection(connection)
{
}

UserMenuItemRepository::~UserMenuItemRepository() = default;

QVariant UserMenuItemRepository::loadValue(int id)
{
    return loadValue(id, nullptr);
}

QVariant UserMenuItemRepository::loadValue(int id, bool* error)
{
    QVariant result;
    UserItem item(id, QString(), QStringLiteral("Administrator"), SettingsLayout::userTable, QString());

    bool loaded = false;
    {
        // Every handle on the connection, and the query inside the mapper,
        // ends with this scope, so close() can remove the connection cleanly.
        UserItemMapper mapper(connection->database());
        loaded = mapper.load(item, error);
    }

    if (loaded)
        result = QVariant(item.value());
    else
        qDebug() << "Error LOAD DB: UserItem NOT loaded. Id: " << id;

    connection->close();
    return result;
}
