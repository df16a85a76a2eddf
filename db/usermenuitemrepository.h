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

private:
    IDBConnection* connection;
};

#endif // USERMENUITEMREPOSITORY_H
