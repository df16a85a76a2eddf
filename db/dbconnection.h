#ifndef DBCONNECTION_H
#define DBCONNECTION_H

#include "idbconnection.h"

#include <QObject>
#include <QString>

// The named connection "Administrator_setting" to the terminal application's
// settings database. Registered afresh by each database() and removed again by
// close(), so the file is open only for the duration of one read.
class DBConnection : public QObject, public IDBConnection
{
    Q_OBJECT
    Q_DISABLE_COPY(DBConnection)

public:
    DBConnection(QObject* parent, QString driverName, QString databasePath);
    ~DBConnection() override;

    QSqlDatabase database() override;
    void close() override;

private:
    bool open();

    QString driverName;
    QString databasePath;
};

#endif  // DBCONNECTION_H
