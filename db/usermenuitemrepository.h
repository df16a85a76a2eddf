#ifndef USERMENUITEMREPOSITORY_H
#define USERMENUITEMREPOSITORY_H

#include "imenuitemrepository.h"

#include <QObject>

class IDBConnection;

class UserMenuItemRepository : public QObject, public IMenuItemRepository
{
    Q_OBJECT
    Q_INTERFACES(IMenuItemRepository)
    Q_DISABLE_COPY(UserMenuItemRepository)

public:
    UserMenuItemRepository(QObject* parent, IDBConnection* connection);
    ~UserMenuItemRepository() override;

    QVariant loadValue(int id) override;

    // As loadValue(id). error, when given, is set to true when the database
    // could not be read (so a stored value may exist), to false when it was
    // read: an invalid result then means it holds no such item. A caller
    // guarding a password must not treat the first as "none".
    QVariant loadValue(int id, bool* error);

private:
    IDBConnection* connection;
};

#endif  // USERMENUITEMREPOSITORY_H
