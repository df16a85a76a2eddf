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

    // After loadValue gave an invalid result: true when the database could
    // not be read (so a stored value may exist), false when it holds no such
    // item. A caller guarding a password must not treat the first as "none".
    bool lastReadFailed() const;

private:
    IDBConnection* connection;
    bool readFailed = false;
};

#endif // USERMENUITEMREPOSITORY_H
