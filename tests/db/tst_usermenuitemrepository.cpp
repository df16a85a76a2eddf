// The settings store as the updater reads it: the connection, the mapper and
// the repository, always against real SQLite files.
#include "dbconnection.h"
#include "dbtestsupport.h"
#include "usermenuitemrepository.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString connectionName = QStringLiteral("Administrator_setting");
const QString errorLine = QStringLiteral("Error LOAD DB: UserItem NOT loaded. Id:  3");
const QString userTable = QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)");

struct Read
{
    QVariant value;
    bool failed = false;
    bool clean = false;  // nothing left registered, no warning about the connection
    QString log;
};

// Reads item 3 the way the updater does.
Read readItem(const QString& path)
{
    MessageRecorder recorder;
    Read read;
    bool registered = true;
    {
        DBConnection connection(nullptr, QStringLiteral("QSQLITE"), path);
        UserMenuItemRepository repository(nullptr, &connection);
        read.value = repository.loadValue(3);
        read.failed = repository.lastReadFailed();
        // Noted before the connection object goes: loadValue itself must
        // leave nothing registered, not the destructor.
        registered = QSqlDatabase::contains(connectionName);
    }
    read.log = recorder.text();
    read.clean = !registered && !QSqlDatabase::contains(connectionName) && !read.log.contains(QLatin1String("still in use"))
        && !read.log.contains(QLatin1String("duplicate connection name"));
    return read;
}

} // namespace

class TestUserMenuItemRepository : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void connectionRegistersAfreshAndCleansUp();
    void connectionCannotModifyTheFile();
    void unknownDriverWritesBothLines();

    void loadValue_data();
    void loadValue();
    void hostileFile_data();
    void hostileFile();
    void lockedDatabaseFailsAndRecovers();
    void rollsBackWhatTheApplicationLeftBehind();
    void readsPathsWithUriCharacters();

private:
    QString selectValue(DBConnection& connection);

    QTemporaryDir dir;
    QString databasePath;
};

void TestUserMenuItemRepository::init()
{
    QVERIFY(dir.isValid());
    databasePath = dir.filePath(QStringLiteral("Administrator_setting.db"));
    QVERIFY(QDir(databasePath).removeRecursively());
    QFile::remove(databasePath);
    QVERIFY(!QSqlDatabase::contains(connectionName));
}

QString TestUserMenuItemRepository::selectValue(DBConnection& connection)
{
    QSqlQuery query(connection.database());
    return query.exec(QStringLiteral("select value from user where id = 3")) && query.next() ? query.value(0).toString()
                                                                                           : QStringLiteral("<no row>");
}

void TestUserMenuItemRepository::connectionRegistersAfreshAndCleansUp()
{
    QCOMPARE(createSqliteFile(databasePath, {userTable, "insert into user values (3, 'secret')"}), QString());
    MessageRecorder log;
    {
        DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
        QCOMPARE(selectValue(connection), QStringLiteral("secret"));
        // The next call replaces the registration and reads the file again.
        QCOMPARE(createSqliteFile(databasePath, {"update user set value = 'changed' where id = 3"}), QString());
        QCOMPARE(selectValue(connection), QStringLiteral("changed"));
        QCOMPARE(QSqlDatabase::connectionNames().count(connectionName), 1);
        connection.close();
        QVERIFY(!QSqlDatabase::contains(connectionName));
        connection.close();
        QCOMPARE(selectValue(connection), QStringLiteral("changed"));
    }
    QVERIFY(!QSqlDatabase::contains(connectionName));
    // No missing-driver line, no duplicate connection name, no connection still in use.
    QVERIFY2(log.lines().isEmpty(), qPrintable(log.text()));
}

void TestUserMenuItemRepository::connectionCannotModifyTheFile()
{
    // That it never creates one, hostileFile(missing file) shows.
    QCOMPARE(createSqliteFile(databasePath, {userTable, "insert into user values (3, 'secret')"}), QString());
    const QByteArray before = fileBytes(databasePath);
    {
        DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
        QSqlDatabase database = connection.database();
        QVERIFY(database.isOpen());
        QSqlQuery query(database);
        QVERIFY(!query.exec(QStringLiteral("update user set value = 'x' where id = 3")));
        QVERIFY(!query.exec(QStringLiteral("create table other (a)")));
    }
    QCOMPARE(fileBytes(databasePath), before);
}

void TestUserMenuItemRepository::unknownDriverWritesBothLines()
{
    MessageRecorder log;
    {
        DBConnection connection(nullptr, QStringLiteral("QNOSUCHDRIVER"), databasePath);
        QCOMPARE(log.lines(), QStringList{"\"DB Driver fehlt: QNOSUCHDRIVER\""});
        QVERIFY(!connection.database().isOpen());
        QVERIFY2(log.lines().contains(QStringLiteral("Failed to open Db Connection. Driver:  \"QNOSUCHDRIVER\"")),
                 qPrintable(log.text()));
    }
    QVERIFY(!QSqlDatabase::contains(connectionName));
    QVERIFY(!log.mentions(QStringLiteral("still in use")));
}

void TestUserMenuItemRepository::loadValue_data()
{
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("value");

    QTest::newRow("stored value among others")
        << QStringList{userTable, "insert into user values (2, 'two')", "insert into user values (3, 'c2VjcmV0')",
                       "insert into user values (4, 'four')"}
        << true << QStringLiteral("c2VjcmV0");
    QTest::newRow("empty value") << QStringList{userTable, "insert into user values (3, '')"} << true << QString();
    QTest::newRow("NULL value") << QStringList{userTable, "insert into user values (3, NULL)"} << true << QString();
    QTest::newRow("value read by name, not position")
        << QStringList{"create table user (id INTEGER PRIMARY KEY, name TEXT, value TEXT, extra TEXT)",
                       "insert into user values (3, 'Administrator', 'by-name', 'extra')"}
        << true << QStringLiteral("by-name");
    QTest::newRow("table without value column")
        << QStringList{"create table user (id INTEGER PRIMARY KEY, name TEXT)", "insert into user values (3, 'Administrator')"}
        << true << QString();
    QTest::newRow("two rows with id 3")
        << QStringList{"create table user (id INTEGER, value TEXT)", "insert into user values (3, 'first')",
                       "insert into user values (3, 'second')"}
        << true << QStringLiteral("first");
    QTest::newRow("several megabytes")
        << QStringList{userTable, "insert into user values (3, hex(zeroblob(4 * 1024 * 1024)))"} << true
        << QString(8 * 1024 * 1024, QLatin1Char('0'));
    QTest::newRow("write-ahead log database")
        << QStringList{"pragma journal_mode = wal", userTable, "insert into user values (3, 'wal')"} << true
        << QStringLiteral("wal");
    QTest::newRow("table missing") << QStringList{"create table settings (id INTEGER PRIMARY KEY, value TEXT)",
                                                  "insert into settings values (3, 'wrong table')"}
                                   << false << QString();
    QTest::newRow("row missing") << QStringList{userTable, "insert into user values (1, 'one')"} << false << QString();
}

void TestUserMenuItemRepository::loadValue()
{
    QFETCH(QStringList, statements);
    QFETCH(bool, found);
    QFETCH(QString, value);
    QCOMPARE(createSqliteFile(databasePath, statements), QString());
    const QByteArray before = fileBytes(databasePath);

    const Read read = readItem(databasePath);

    QCOMPARE(read.value.isValid(), found);
    if (found)
        QCOMPARE(read.value.userType(), int(QMetaType::QString));
    QCOMPARE(read.value.toString(), value);
    QCOMPARE(read.log.contains(errorLine), !found);
    // A readable database without the item is "no item", not a read failure.
    QVERIFY(!read.failed);
    QVERIFY2(read.clean, qPrintable(read.log));
    QCOMPARE(fileBytes(databasePath), before);
}

void TestUserMenuItemRepository::hostileFile_data()
{
    QTest::addColumn<QByteArray>("content");  // or no file, or a directory at the path
    QTest::addColumn<bool>("readFailure");
    QByteArray random(16 * 1024, '\0');
    QRandomGenerator generator(4711);
    for (char& byte : random)
        byte = char(generator.bounded(256));
    QByteArray header = random;
    header.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    const QString full = dir.filePath(QStringLiteral("full.db"));
    QCOMPARE(createSqliteFile(full, {"create table filler (data TEXT)", "insert into filler values (hex(zeroblob(20000)))",
                                     userTable, "insert into user values (3, 'lost')"}),
             QString());

    QTest::newRow("missing file") << QByteArray("<none>") << true;
    // A zero-length file is a valid empty SQLite database: read, no item.
    QTest::newRow("zero-length file") << QByteArray("") << false;
    QTest::newRow("text file") << QByteArray("this is a settings file, not a database\n").repeated(200) << true;
    QTest::newRow("random bytes") << random << true;
    QTest::newRow("database header over garbage") << header << true;
    QTest::newRow("truncated database") << fileBytes(full).left(4096) << true;
    QTest::newRow("directory at the path") << QByteArray("<directory>") << true;
}

void TestUserMenuItemRepository::hostileFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, readFailure);
    if (content == "<directory>")
        QVERIFY(QDir().mkpath(databasePath));
    else if (content != "<none>")
        QVERIFY(writeBytes(databasePath, content));

    const Read read = readItem(databasePath);

    QVERIFY(!read.value.isValid());
    QVERIFY2(read.log.contains(errorLine), qPrintable(read.log));
    QCOMPARE(read.failed, readFailure);
    QVERIFY2(read.clean, qPrintable(read.log));
    if (content == "<none>")
        QVERIFY(!QFileInfo::exists(databasePath));
    else if (content == "<directory>")
        QVERIFY(QDir(databasePath).isEmpty());
    else
        QCOMPARE(fileBytes(databasePath), content);
}

void TestUserMenuItemRepository::lockedDatabaseFailsAndRecovers()
{
    QCOMPARE(createSqliteFile(databasePath, {userTable, "insert into user values (3, 'locked away')"}), QString());
    {
        ExclusiveLock lock(databasePath);
        QVERIFY(lock.locked);
        const Read read = readItem(databasePath);
        QVERIFY(!read.value.isValid());
        QVERIFY2(read.log.contains(errorLine), qPrintable(read.log));
        // The password is there, only locked away: never "no password".
        QVERIFY(read.failed);
        QVERIFY2(read.clean, qPrintable(read.log));
    }
    const Read read = readItem(databasePath);
    QCOMPARE(read.value, QVariant(QStringLiteral("locked away")));
    QVERIFY(!read.failed);
}

void TestUserMenuItemRepository::rollsBackWhatTheApplicationLeftBehind()
{
    QCOMPARE(createSqliteFile(databasePath, {userTable, "insert into user values (3, 'committed')",
                                             "create table filler (data TEXT)",
                                             "insert into filler select hex(zeroblob(500)) from (with recursive n(x) as "
                                             "(select 1 union all select x + 1 from n where x < 500) select x from n)"}),
             QString());
    const QByteArray committed = fileBytes(databasePath);

    // A writer whose changes spill into the file before it commits; a copy of
    // the file and its journal taken at that moment is what a power loss
    // leaves on the device.
    const QString crashedPath = dir.filePath(QStringLiteral("crashed.db"));
    QFile::remove(crashedPath);
    QFile::remove(crashedPath + QStringLiteral("-journal"));
    {
        QSqlDatabase writer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
        writer.setDatabaseName(databasePath);
        QVERIFY(writer.open());
        QSqlQuery query(writer);
        for (const char* statement : {"pragma cache_size = 2", "BEGIN", "update user set value = 'uncommitted' where id = 3",
                                      "update filler set data = hex(zeroblob(600))"})
            QVERIFY(query.exec(QLatin1String(statement)));
        QVERIFY(QFile::copy(databasePath, crashedPath));
        QVERIFY(QFile::copy(databasePath + QStringLiteral("-journal"), crashedPath + QStringLiteral("-journal")));
        QVERIFY(query.exec(QStringLiteral("ROLLBACK")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
    QVERIFY(fileBytes(crashedPath) != committed);

    const Read read = readItem(crashedPath);
    QCOMPARE(read.value, QVariant(QStringLiteral("committed")));
    QVERIFY2(read.clean, qPrintable(read.log));
    QVERIFY(!QFileInfo::exists(crashedPath + QStringLiteral("-journal")));
    QCOMPARE(fileBytes(crashedPath), committed);
}

void TestUserMenuItemRepository::readsPathsWithUriCharacters()
{
    const QString odd = dir.filePath(QStringLiteral("we?ird #dir %41 name"));
    QVERIFY(QDir().mkpath(odd));
    const QString path = odd + QStringLiteral("/Administrator_setting.db");
    QCOMPARE(createSqliteFile(path, {userTable, "insert into user values (3, 'odd path')"}), QString());

    const Read read = readItem(path);
    QCOMPARE(read.value, QVariant(QStringLiteral("odd path")));
    QVERIFY2(read.clean, qPrintable(read.log));
    // Nothing was created beside it, nor at a path cut off at a URI character.
    QCOMPARE(QDir(odd).entryList(QDir::Files), QStringList{"Administrator_setting.db"});
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).filter(QStringLiteral("we")).size(), 1);
}

QTEST_GUILESS_MAIN(TestUserMenuItemRepository)
#include "tst_usermenuitemrepository.moc"
