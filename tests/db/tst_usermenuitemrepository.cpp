#include "dbconnection.h"
#include "dbtestsupport.h"
#include "useritem.h"
#include "useritemmapper.h"
#include "usermenuitemrepository.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString connectionName = QStringLiteral("Administrator_setting");
const QString errorLine = QStringLiteral("Error LOAD DB: UserItem NOT loaded. Id:  3");

// Counts what the repository asks of its connection; the file behind it is real.
class CountingConnection : public IDBConnection
{
public:
    explicit CountingConnection(const QString& path)
        : inner(nullptr, QStringLiteral("QSQLITE"), path)
    {
    }
    QSqlDatabase database() override
    {
        ++databaseCalls;
        return inner.database();
    }
    void close() override
    {
        ++closeCalls;
        inner.close();
    }

    DBConnection inner;
    int databaseCalls = 0;
    int closeCalls = 0;
};

} // namespace

class TestUserMenuItemRepository : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void fullTableNameJoinsBaseAndSuffix();
    void mapperReadsTableWithSuffix();

    void loadValue_data();
    void loadValue();

    void hostileFile_data();
    void hostileFile();
    void lockedDatabaseFailsAndRecovers();
    void rollsBackWhatTheApplicationLeftBehind();
    void readsPathsWithUriCharacters();

    void closesTheConnectionAfterEveryRead();
    void metaCastAnswersInterfaceAndId();

private:
    QVariant load(const QString& path, MessageRecorder& messages);
    void verifyCleanBookkeeping(const MessageRecorder& messages);

    QTemporaryDir dir;
    QString databasePath;
    bool registeredAfterLoad = false;
    bool readFailedAfterLoad = false;
};

void TestUserMenuItemRepository::init()
{
    QVERIFY(dir.isValid());
    databasePath = dir.filePath(QStringLiteral("Administrator_setting.db"));
    registeredAfterLoad = false;
    QFileInfo info(databasePath);
    if (info.isDir())
        QVERIFY(QDir(databasePath).removeRecursively());
    else if (info.exists())
        QVERIFY(QFile::remove(databasePath));
}

QVariant TestUserMenuItemRepository::load(const QString& path, MessageRecorder& messages)
{
    messages.clear();
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), path);
    UserMenuItemRepository repository(nullptr, &connection);
    const QVariant value = repository.loadValue(3);
    readFailedAfterLoad = repository.lastReadFailed();
    // Noted before the connection object goes: loadValue itself must leave
    // nothing registered, not the destructor.
    registeredAfterLoad = QSqlDatabase::contains(connectionName);
    return value;
}

void TestUserMenuItemRepository::verifyCleanBookkeeping(const MessageRecorder& messages)
{
    QVERIFY(!registeredAfterLoad);
    QVERIFY(!QSqlDatabase::contains(connectionName));
    QVERIFY2(!messages.mentions(QStringLiteral("still in use")), qPrintable(messages.all().join('\n')));
    QVERIFY2(!messages.mentions(QStringLiteral("duplicate connection name")), qPrintable(messages.all().join('\n')));
}

void TestUserMenuItemRepository::fullTableNameJoinsBaseAndSuffix()
{
    const UserItem plain(3, QString(), QStringLiteral("Administrator"), QStringLiteral("user"), QString());
    QCOMPARE(plain.fullTableName(), QStringLiteral("user"));
    const UserItem suffixed(3, QString(), QStringLiteral("Administrator"), QStringLiteral("user"), QStringLiteral("2"));
    QCOMPARE(suffixed.fullTableName(), QStringLiteral("user_2"));
}

void TestUserMenuItemRepository::mapperReadsTableWithSuffix()
{
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'plain')"),
                               QStringLiteral("create table user_backup (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user_backup values (3, 'suffixed')")},
                              &error),
             qPrintable(error));

    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
    {
        UserItemMapper mapper(connection.database());
        UserItem item(3, QString(), QStringLiteral("Administrator"), QStringLiteral("user"), QStringLiteral("backup"));
        QVERIFY(mapper.load(item));
        QCOMPARE(item.value(), QStringLiteral("suffixed"));

        UserItem missing(3, QStringLiteral("untouched"), QStringLiteral("Administrator"), QStringLiteral("user"),
                         QStringLiteral("none"));
        QVERIFY(!mapper.load(missing));
        QCOMPARE(missing.value(), QStringLiteral("untouched"));
    }
    connection.close();
}

void TestUserMenuItemRepository::loadValue_data()
{
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("value");

    const QString userTable = QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)");
    QTest::newRow("stored value") << QStringList{userTable, QStringLiteral("insert into user values (3, 'c2VjcmV0')")}
                                  << true << QStringLiteral("c2VjcmV0");
    QTest::newRow("other rows around it")
        << QStringList{userTable, QStringLiteral("insert into user values (2, 'two')"),
                       QStringLiteral("insert into user values (3, 'three')"),
                       QStringLiteral("insert into user values (4, 'four')")}
        << true << QStringLiteral("three");
    QTest::newRow("empty value") << QStringList{userTable, QStringLiteral("insert into user values (3, '')")} << true
                                 << QString();
    QTest::newRow("NULL value") << QStringList{userTable, QStringLiteral("insert into user values (3, NULL)")} << true
                                << QString();
    QTest::newRow("value read by name, not position")
        << QStringList{QStringLiteral("create table user (id INTEGER PRIMARY KEY, name TEXT, value TEXT, extra TEXT)"),
                       QStringLiteral("insert into user values (3, 'Administrator', 'by-name', 'extra')")}
        << true << QStringLiteral("by-name");
    QTest::newRow("table without value column")
        << QStringList{QStringLiteral("create table user (id INTEGER PRIMARY KEY, name TEXT)"),
                       QStringLiteral("insert into user values (3, 'Administrator')")}
        << true << QString();
    QTest::newRow("two rows with id 3")
        << QStringList{QStringLiteral("create table user (id INTEGER, value TEXT)"),
                       QStringLiteral("insert into user values (3, 'first')"),
                       QStringLiteral("insert into user values (3, 'second')")}
        << true << QStringLiteral("first");
    QTest::newRow("integer value") << QStringList{QStringLiteral("create table user (id INTEGER PRIMARY KEY, value)"),
                                                  QStringLiteral("insert into user values (3, 42)")}
                                   << true << QStringLiteral("42");
    QTest::newRow("quotes and SQL in the value")
        << QStringList{userTable, QStringLiteral("insert into user values (3, ''' ; drop table user; --')")} << true
        << QStringLiteral("' ; drop table user; --");
    QTest::newRow("several megabytes")
        << QStringList{userTable, QStringLiteral("insert into user values (3, hex(zeroblob(4 * 1024 * 1024)))")}
        << true << QString(8 * 1024 * 1024, QLatin1Char('0'));
    QTest::newRow("table missing") << QStringList{QStringLiteral("create table settings (id INTEGER PRIMARY KEY, value TEXT)"),
                                                  QStringLiteral("insert into settings values (3, 'wrong table')")}
                                   << false << QString();
    QTest::newRow("row missing") << QStringList{userTable, QStringLiteral("insert into user values (1, 'one')"),
                                                QStringLiteral("insert into user values (4, 'four')")}
                                 << false << QString();
    QTest::newRow("empty database") << QStringList{QStringLiteral("pragma user_version = 1")} << false << QString();
    QTest::newRow("write-ahead log database")
        << QStringList{QStringLiteral("pragma journal_mode = wal"), userTable,
                       QStringLiteral("insert into user values (3, 'wal')")}
        << true << QStringLiteral("wal");
}

void TestUserMenuItemRepository::loadValue()
{
    QFETCH(QStringList, statements);
    QFETCH(bool, found);
    QFETCH(QString, value);

    QString error;
    QVERIFY2(createSqliteFile(databasePath, statements, &error), qPrintable(error));
    const QByteArray before = fileBytes(databasePath);

    MessageRecorder messages;
    const QVariant result = load(databasePath, messages);

    QCOMPARE(result.isValid(), found);
    if (found) {
        QCOMPARE(result.userType(), int(QMetaType::QString));
        QCOMPARE(result.toString().size(), value.size());
        QCOMPARE(result.toString(), value);
        QVERIFY2(!messages.mentions(QStringLiteral("Error LOAD DB")), qPrintable(messages.all().join('\n')));
    } else {
        QVERIFY(result.toString().isEmpty());
        QVERIFY2(messages.contains(errorLine), qPrintable(messages.all().join('\n')));
    }
    // A readable database without the item is "no item", not a read failure.
    QVERIFY(!readFailedAfterLoad);
    verifyCleanBookkeeping(messages);
    QCOMPARE(fileBytes(databasePath), before);
}

void TestUserMenuItemRepository::hostileFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("readFailure");

    // A zero-length file is a valid empty SQLite database: read, no item.
    QTest::newRow("missing file") << QStringLiteral("missing") << true;
    QTest::newRow("zero-length file") << QStringLiteral("empty") << false;
    QTest::newRow("text file") << QStringLiteral("text") << true;
    QTest::newRow("random bytes") << QStringLiteral("random") << true;
    QTest::newRow("database header over garbage") << QStringLiteral("header") << true;
    QTest::newRow("truncated database") << QStringLiteral("truncated") << true;
    QTest::newRow("directory at the path") << QStringLiteral("directory") << true;
}

void TestUserMenuItemRepository::hostileFile()
{
    QFETCH(QString, kind);
    QFETCH(bool, readFailure);

    QByteArray content;
    if (kind == QLatin1String("text")) {
        content = QByteArray("this is a settings file, not a database\n").repeated(200);
    } else if (kind == QLatin1String("random") || kind == QLatin1String("header")) {
        QRandomGenerator generator(4711);
        content.resize(16 * 1024);
        for (char& byte : content)
            byte = char(generator.bounded(256));
        if (kind == QLatin1String("header"))
            content.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    } else if (kind == QLatin1String("truncated")) {
        QString error;
        QVERIFY2(createSqliteFile(databasePath,
                                  {QStringLiteral("create table filler (data TEXT)"),
                                   QStringLiteral("insert into filler values (hex(zeroblob(20000)))"),
                                   QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                                   QStringLiteral("insert into user values (3, 'lost')")},
                                  &error),
                 qPrintable(error));
        content = fileBytes(databasePath).left(4096);
    }

    if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(databasePath));
    else if (kind != QLatin1String("missing"))
        QVERIFY(writeBytes(databasePath, content));

    MessageRecorder messages;
    const QVariant result = load(databasePath, messages);

    QVERIFY(!result.isValid());
    QVERIFY2(messages.contains(errorLine), qPrintable(messages.all().join('\n')));
    QCOMPARE(readFailedAfterLoad, readFailure);
    verifyCleanBookkeeping(messages);

    if (kind == QLatin1String("missing")) {
        QVERIFY(!QFileInfo::exists(databasePath));
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QFileInfo(databasePath).isDir());
        QVERIFY(QDir(databasePath).isEmpty());
    } else {
        QCOMPARE(fileBytes(databasePath), content);
    }
}

void TestUserMenuItemRepository::lockedDatabaseFailsAndRecovers()
{
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'locked away')")},
                              &error),
             qPrintable(error));

    const QString holderName = QStringLiteral("lock-holder");
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holderName);
        holder.setDatabaseName(databasePath);
        QVERIFY(holder.open());
        QSqlQuery lock(holder);
        QVERIFY2(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")), qPrintable(lock.lastError().text()));

        MessageRecorder messages;
        const QVariant result = load(databasePath, messages);
        QVERIFY(!result.isValid());
        QVERIFY2(messages.contains(errorLine), qPrintable(messages.all().join('\n')));
        // The password is there, only locked away: never "no password".
        QVERIFY(readFailedAfterLoad);
        verifyCleanBookkeeping(messages);

        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        holder.close();
    }
    QSqlDatabase::removeDatabase(holderName);

    MessageRecorder messages;
    QCOMPARE(load(databasePath, messages), QVariant(QStringLiteral("locked away")));
    QVERIFY(!readFailedAfterLoad);
}

void TestUserMenuItemRepository::rollsBackWhatTheApplicationLeftBehind()
{
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'committed')"),
                               QStringLiteral("create table filler (data TEXT)"),
                               QStringLiteral("insert into filler select hex(zeroblob(500)) from "
                                              "(with recursive n(x) as (select 1 union all select x + 1 from n "
                                              "where x < 500) select x from n)")},
                              &error),
             qPrintable(error));
    const QByteArray committed = fileBytes(databasePath);

    // A writer whose changes spill into the file before it commits; a copy of
    // the file and its journal taken at that moment is what a power loss
    // leaves on the device.
    const QString crashedPath = dir.filePath(QStringLiteral("crashed.db"));
    QFile::remove(crashedPath);
    QFile::remove(crashedPath + QStringLiteral("-journal"));
    const QString writerName = QStringLiteral("writer");
    {
        QSqlDatabase writer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), writerName);
        writer.setDatabaseName(databasePath);
        QVERIFY(writer.open());
        QSqlQuery query(writer);
        QVERIFY(query.exec(QStringLiteral("pragma cache_size = 2")));
        QVERIFY(query.exec(QStringLiteral("BEGIN")));
        QVERIFY(query.exec(QStringLiteral("update user set value = 'uncommitted' where id = 3")));
        QVERIFY(query.exec(QStringLiteral("update filler set data = hex(zeroblob(600))")));
        QVERIFY(QFile::copy(databasePath, crashedPath));
        QVERIFY(QFile::copy(databasePath + QStringLiteral("-journal"), crashedPath + QStringLiteral("-journal")));
        QVERIFY(query.exec(QStringLiteral("ROLLBACK")));
        writer.close();
    }
    QSqlDatabase::removeDatabase(writerName);
    QVERIFY(fileBytes(crashedPath) != committed);

    MessageRecorder messages;
    QCOMPARE(load(crashedPath, messages), QVariant(QStringLiteral("committed")));
    verifyCleanBookkeeping(messages);
    QVERIFY(!QFileInfo::exists(crashedPath + QStringLiteral("-journal")));
    QCOMPARE(fileBytes(crashedPath), committed);
}

void TestUserMenuItemRepository::readsPathsWithUriCharacters()
{
    const QString odd = dir.filePath(QStringLiteral("we?ird #dir %41 name"));
    QVERIFY(QDir().mkpath(odd));
    const QString path = odd + QStringLiteral("/Administrator_setting.db");
    QString error;
    QVERIFY2(createSqliteFile(path,
                              {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'odd path')")},
                              &error),
             qPrintable(error));

    MessageRecorder messages;
    QCOMPARE(load(path, messages), QVariant(QStringLiteral("odd path")));
    verifyCleanBookkeeping(messages);
    QCOMPARE(QDir(odd).entryList(QDir::Files), QStringList{QStringLiteral("Administrator_setting.db")});
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).filter(QStringLiteral("we")).size(), 1);
}

void TestUserMenuItemRepository::closesTheConnectionAfterEveryRead()
{
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'three')")},
                              &error),
             qPrintable(error));

    MessageRecorder messages;
    CountingConnection connection(databasePath);
    {
        UserMenuItemRepository repository(nullptr, &connection);
        QCOMPARE(repository.loadValue(3), QVariant(QStringLiteral("three")));
        QCOMPARE(connection.closeCalls, 1);
        QVERIFY(!repository.loadValue(7).isValid());
        QVERIFY(messages.contains(QStringLiteral("Error LOAD DB: UserItem NOT loaded. Id:  7")));
        QCOMPARE(connection.closeCalls, 2);
        QCOMPARE(connection.databaseCalls, 2);
    }
    // The repository does not own its connection: it is still usable.
    UserMenuItemRepository again(nullptr, &connection);
    QCOMPARE(again.loadValue(3), QVariant(QStringLiteral("three")));
    verifyCleanBookkeeping(messages);
}

void TestUserMenuItemRepository::metaCastAnswersInterfaceAndId()
{
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
    UserMenuItemRepository repository(nullptr, &connection);
    IMenuItemRepository* interface = &repository;
    QObject* object = &repository;

    QCOMPARE(repository.qt_metacast("UserMenuItemRepository"), static_cast<void*>(&repository));
    QCOMPARE(repository.qt_metacast("IMenuItemRepository"), static_cast<void*>(interface));
    QCOMPARE(repository.qt_metacast("IMenuItemRepository/1.0"), static_cast<void*>(interface));
    QCOMPARE(repository.qt_metacast("IDBConnection"), static_cast<void*>(nullptr));
    QCOMPARE(qobject_cast<IMenuItemRepository*>(object), interface);
    QCOMPARE(qobject_cast<IMenuItemRepository*>(static_cast<QObject*>(&connection)),
             static_cast<IMenuItemRepository*>(nullptr));
    QCOMPARE(QString::fromLatin1(repository.metaObject()->className()), QStringLiteral("UserMenuItemRepository"));
}

QTEST_GUILESS_MAIN(TestUserMenuItemRepository)
#include "tst_usermenuitemrepository.moc"
