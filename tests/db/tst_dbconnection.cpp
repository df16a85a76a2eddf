#include "dbconnection.h"
#include "dbtestsupport.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString connectionName = QStringLiteral("Administrator_setting");
}

class TestDBConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void opensTheFileGivenToTheConstructor();
    void closeRemovesTheRegistrationOnce();
    void destructorRemovesAnOpenRegistration();
    void eachDatabaseCallRegistersAfresh();
    void neverCreatesOrModifiesTheFile();
    void unknownDriverWritesBothLines();
    void knownDriverWritesNoDriverLine();
    void metaCastAnswersClassAndInterface();

private:
    QTemporaryDir dir;
    QString databasePath;
};

void TestDBConnection::init()
{
    QVERIFY(dir.isValid());
    databasePath = dir.filePath(QStringLiteral("Administrator_setting.db"));
    QFile::remove(databasePath);
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'secret')")},
                              &error),
             qPrintable(error));
    QVERIFY(!QSqlDatabase::contains(connectionName));
}

void TestDBConnection::opensTheFileGivenToTheConstructor()
{
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
    {
        QSqlDatabase database = connection.database();
        QVERIFY(database.isOpen());
        QCOMPARE(database.connectionName(), connectionName);
        QCOMPARE(database.driverName(), QStringLiteral("QSQLITE"));
        QVERIFY(database.userName().isEmpty());
        QVERIFY(database.hostName().isEmpty());
        QVERIFY(database.password().isEmpty());

        QSqlQuery query(database);
        QVERIFY(query.exec(QStringLiteral("select value from user where id = 3")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("secret"));
    }
    connection.close();
}

void TestDBConnection::closeRemovesTheRegistrationOnce()
{
    MessageRecorder messages;
    {
        DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
        QVERIFY(connection.database().isOpen());
        QVERIFY(QSqlDatabase::contains(connectionName));

        connection.close();
        QVERIFY(!QSqlDatabase::contains(connectionName));
        connection.close();
        QVERIFY(!QSqlDatabase::contains(connectionName));
    }
    QVERIFY(!QSqlDatabase::contains(connectionName));
    QVERIFY2(messages.all().isEmpty(), qPrintable(messages.all().join(QLatin1Char('\n'))));
}

void TestDBConnection::destructorRemovesAnOpenRegistration()
{
    MessageRecorder messages;
    {
        DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
        QVERIFY(connection.database().isOpen());
    }
    QVERIFY(!QSqlDatabase::contains(connectionName));
    QVERIFY2(messages.all().isEmpty(), qPrintable(messages.all().join(QLatin1Char('\n'))));
}

void TestDBConnection::eachDatabaseCallRegistersAfresh()
{
    MessageRecorder messages;
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
    QVERIFY(connection.database().isOpen());

    // The second call replaces the first registration; the file is read
    // again, so a change made in between is seen.
    QString error;
    QVERIFY2(createSqliteFile(databasePath, {QStringLiteral("update user set value = 'changed' where id = 3")}, &error),
             qPrintable(error));
    {
        QSqlDatabase database = connection.database();
        QVERIFY(database.isOpen());
        QSqlQuery query(database);
        QVERIFY(query.exec(QStringLiteral("select value from user where id = 3")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("changed"));
    }
    QCOMPARE(QSqlDatabase::connectionNames().count(connectionName), 1);
    connection.close();
    QVERIFY(!QSqlDatabase::contains(connectionName));
    QVERIFY2(!messages.mentions(QStringLiteral("duplicate connection name")), qPrintable(messages.all().join('\n')));
    QVERIFY2(!messages.mentions(QStringLiteral("still in use")), qPrintable(messages.all().join('\n')));
}

void TestDBConnection::neverCreatesOrModifiesTheFile()
{
    // A missing file stays missing.
    const QString missingPath = dir.filePath(QStringLiteral("missing.db"));
    {
        DBConnection connection(nullptr, QStringLiteral("QSQLITE"), missingPath);
        QVERIFY(!connection.database().isOpen());
        connection.close();
    }
    QVERIFY(!QFileInfo::exists(missingPath));
    QVERIFY(!QSqlDatabase::contains(connectionName));

    // An existing one cannot be written through the connection.
    const QByteArray before = fileBytes(databasePath);
    {
        DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
        {
            QSqlDatabase database = connection.database();
            QVERIFY(database.isOpen());
            QSqlQuery query(database);
            QVERIFY(!query.exec(QStringLiteral("update user set value = 'x' where id = 3")));
            QVERIFY(!query.exec(QStringLiteral("create table other (a)")));
        }
        connection.close();
    }
    QCOMPARE(fileBytes(databasePath), before);
}

void TestDBConnection::unknownDriverWritesBothLines()
{
    MessageRecorder messages;
    {
        DBConnection connection(nullptr, QStringLiteral("QNOSUCHDRIVER"), databasePath);
        QVERIFY2(messages.contains(QStringLiteral("\"DB Driver fehlt: QNOSUCHDRIVER\"")),
                 qPrintable(messages.all().join('\n')));
        QVERIFY(!messages.mentions(QStringLiteral("Failed to open Db Connection")));

        {
            QSqlDatabase database = connection.database();
            QVERIFY2(messages.contains(QStringLiteral("Failed to open Db Connection. Driver:  \"QNOSUCHDRIVER\"")),
                     qPrintable(messages.all().join('\n')));
            QVERIFY(!database.isOpen());
            QSqlQuery query(database);
            QVERIFY(!query.exec(QStringLiteral("select 1")));
        }
        connection.close();
        QVERIFY(!QSqlDatabase::contains(connectionName));
    }
    QVERIFY(!QSqlDatabase::contains(connectionName));
    QVERIFY(!messages.mentions(QStringLiteral("still in use")));
}

void TestDBConnection::knownDriverWritesNoDriverLine()
{
    MessageRecorder messages;
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
    QVERIFY(!messages.mentions(QStringLiteral("DB Driver fehlt")));
}

void TestDBConnection::metaCastAnswersClassAndInterface()
{
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
    IDBConnection* interface = &connection;
    QCOMPARE(connection.qt_metacast("DBConnection"), static_cast<void*>(&connection));
    QCOMPARE(connection.qt_metacast("IDBConnection"), static_cast<void*>(interface));
    QCOMPARE(connection.qt_metacast("QObject"), static_cast<void*>(&connection));
    QCOMPARE(connection.qt_metacast("IMenuItemRepository"), static_cast<void*>(nullptr));
    QCOMPARE(qobject_cast<DBConnection*>(static_cast<QObject*>(&connection)), &connection);
    QCOMPARE(QString::fromLatin1(connection.metaObject()->className()), QStringLiteral("DBConnection"));
}

QTEST_GUILESS_MAIN(TestDBConnection)
#include "tst_dbconnection.moc"
