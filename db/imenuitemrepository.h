#ifndef IMENUITEMREPOSITORY_H
#define IMENUITEMREPOSITORY_H

#include <QObject>
#include <QVariant>

// Read access to single user items of the settings database.
class IMenuItemRepository
{
public:
    virtual ~IMenuItemRepository() { }
    virtual QVariant loadValue(int id) = 0;
};

#define IMenuItemRepository_iid "IMenuItemRepository/1.0"
Q_DECLARE_INTERFACE(IMenuItemRepository, IMenuItemRepository_iid)

#endif  // IMENUITEMREPOSITORY_H
