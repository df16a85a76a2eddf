#ifndef IDBCONNECTION_H
#define IDBCONNECTION_H

#include <QSqlDatabase>

// What a reader of the settings database needs of its connection.
class IDBConnection
{
public:
    virtual ~IDBConnection() { }
    virtual QSqlDatabase database() = 0;
    virtual void close() = 0;
};

#endif  // IDBCONNECTION_H
