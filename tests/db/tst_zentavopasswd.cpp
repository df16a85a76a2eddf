#include "aes_encryption.h"
#include "dbconnection.h"
#include "dbtestsupport.h"
#include "toolrun.h"
#include "usermenuitemrepository.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

ToolRun runTool(const QStringList& arguments)
{
    return runProgram(QStringLiteral(ZENTAVO_PASSWD_PATH), arguments);
}

// The stored value, read back the way the updater does.
QVariant storedValue(const QString& path)
{
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), path);
    UserMenuItemRepository repository(nullptr, &connection);
    return repository.loadValue(3);
}

QString decrypted(const QVariant& stored)
{
    bool ok = false;
    const QString plain = AES_Encryption().Decrypt(stored.toString(), &ok);
    return stored.isValid() && ok ? plain : QStringLiteral("<not decryptable>");
}

// Every table with all its rows, in a stable order, as one text.
QString dumpDatabase(const QString& path)
{
    QStringList lines;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("dump"));
        database.setDatabaseName(path);
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QStringList tables = database.open() ? database.tables() : QStringList();
        tables.sort();
        for (const QString& table : tables) {
            QSqlQuery query(database);
            query.exec(QStringLiteral("select * from \"%1\" order by rowid").arg(table));
            while (query.next()) {
                QStringList fields;
                for (int i = 0; i < query.record().count(); ++i)
                    fields << query.record().fieldName(i) + QLatin1Char('=') + query.value(i).toString();
                lines << table + QStringLiteral(": ") + fields.join(QStringLiteral(", "));
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("dump"));
    return lines.join(QLatin1Char('\n'));
}

} // namespace

class TestZentavoPasswd : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void roundTrip_data();
    void roundTrip();
    void writesIntoExistingFile_data();
    void writesIntoExistingFile();
    void failsWithoutChangingAnything_data();
    void failsWithoutChangingAnything();
    void failsOnALockedDatabase();
    void rejectsWrongArguments_data();
    void rejectsWrongArguments();

private:
    QTemporaryDir dir;
    QString databasePath;
};

void TestZentavoPasswd::init()
{
    QVERIFY(dir.isValid());
    databasePath = dir.filePath(QStringLiteral("Administrator_setting.db"));
    QFile::remove(databasePath);
}

void TestZentavoPasswd::roundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("plain") << QStringLiteral("Admin1234");
    QTest::newRow("spaces count") << QStringLiteral(" two words ");
    QTest::newRow("non-ASCII") << QStringLiteral("P\u00e4ssw\u00f6rd \u20ac\u00df");
    QTest::newRow("quotes and SQL") << QStringLiteral("'); drop table user; --");
    QTest::newRow("fifty characters") << QString(50, QLatin1Char('x'));
}

void TestZentavoPasswd::roundTrip()
{
    QFETCH(QString, password);

    const ToolRun run = runTool({databasePath, password});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.errorText().isEmpty(), qPrintable(run.errorText()));
    const QVariant stored = storedValue(databasePath);
    QVERIFY(stored.toString() != password);
    QCOMPARE(decrypted(stored), password);
    // A new file holds the table "user" with exactly the password row.
    QCOMPARE(dumpDatabase(databasePath), QStringLiteral("user: id=3, value=") + stored.toString());
}

void TestZentavoPasswd::writesIntoExistingFile_data()
{
    QTest::addColumn<QStringList>("statements");  // none: a zero-length file
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");         // the dump afterwards, %1 the stored value

    const QString table = QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)");
    QTest::newRow("zero-length file") << QStringList() << QStringLiteral("secret") << QStringLiteral("user: id=3, value=%1");
    // An empty value, not a missing row: the updater reads it as "no password".
    QTest::newRow("empty password clears") << QStringList{table, "insert into user values (3, 'old')"} << QString()
                                           << QStringLiteral("user: id=3, value=");
    QTest::newRow("other tables, rows and columns kept")
        << QStringList{"create table settings (key TEXT PRIMARY KEY, data TEXT)",
                       "insert into settings values ('language', 'de')", "insert into settings values ('volume', '7')",
                       "create table user (id INTEGER PRIMARY KEY, name TEXT, value TEXT)",
                       "insert into user values (1, 'Operator', 'one')", "insert into user values (3, 'Administrator', 'old')",
                       "insert into user values (4, 'Service', 'four')"}
        << QStringLiteral("new secret")
        << QStringLiteral("settings: key=language, data=de\nsettings: key=volume, data=7\n"
                          "user: id=1, name=Operator, value=one\nuser: id=3, name=Administrator, value=%1\n"
                          "user: id=4, name=Service, value=four");
    // Without a key on id the reader takes whichever row comes first, so an
    // added row would leave the old password in force.
    QTest::newRow("every row with id 3")
        << QStringList{"create table user (id INTEGER, value TEXT)", "insert into user values (3, 'old one')",
                       "insert into user values (3, 'old two')"}
        << QStringLiteral("fresh") << QStringLiteral("user: id=3, value=%1\nuser: id=3, value=%1");
}

void TestZentavoPasswd::writesIntoExistingFile()
{
    QFETCH(QStringList, statements);
    QFETCH(QString, password);
    QFETCH(QString, expected);
    if (statements.isEmpty())
        QVERIFY(writeBytes(databasePath, QByteArray()));
    else
        QCOMPARE(createSqliteFile(databasePath, statements), QString());

    const ToolRun run = runTool({databasePath, password});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.errorText().isEmpty(), qPrintable(run.errorText()));
    const QVariant stored = storedValue(databasePath);
    QCOMPARE(decrypted(stored), password);
    QCOMPARE(dumpDatabase(databasePath), expected.arg(stored.toString()));
}

void TestZentavoPasswd::failsWithoutChangingAnything_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("parent is a file") << QStringLiteral("parent-file");
    QTest::newRow("missing directory") << QStringLiteral("missing-directory");
    QTest::newRow("directory at the path") << QStringLiteral("directory");
    QTest::newRow("not a database") << QStringLiteral("text");
    QTest::newRow("user table without value column") << QStringLiteral("no-value-column");
    QTest::newRow("unwritable directory") << QStringLiteral("unwritable-directory");
    QTest::newRow("read-only file") << QStringLiteral("read-only-file");
}

void TestZentavoPasswd::failsWithoutChangingAnything()
{
    QFETCH(QString, kind);
    if (kind.startsWith(QLatin1String("unwritable")) || kind.startsWith(QLatin1String("read-only"))) {
        if (::geteuid() == 0)
            QSKIP("root may write anywhere");
    }
    QString path = databasePath;
    if (kind == QLatin1String("parent-file")) {
        QVERIFY(writeBytes(dir.filePath(QStringLiteral("plain-file")), "data"));
        path = dir.filePath(QStringLiteral("plain-file/Administrator_setting.db"));
    } else if (kind == QLatin1String("missing-directory")) {
        path = dir.filePath(QStringLiteral("no-such-dir/Administrator_setting.db"));
    } else if (kind == QLatin1String("directory")) {
        path = dir.filePath(QStringLiteral("a-directory"));
        QVERIFY(QDir().mkpath(path));
    } else if (kind == QLatin1String("text")) {
        QVERIFY(writeBytes(path, QByteArray("not a database at all\n").repeated(100)));
    } else if (kind == QLatin1String("no-value-column")) {
        QCOMPARE(createSqliteFile(path, {"create table user (id INTEGER PRIMARY KEY, name TEXT)",
                                         "insert into user values (3, 'Administrator')"}),
                 QString());
    } else if (kind == QLatin1String("unwritable-directory")) {
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("unwritable"))));
        QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("unwritable")), QFile::ReadOwner | QFile::ExeOwner));
        path = dir.filePath(QStringLiteral("unwritable/Administrator_setting.db"));
    } else if (kind == QLatin1String("read-only-file")) {
        QCOMPARE(createSqliteFile(path, {"create table user (id INTEGER PRIMARY KEY, value TEXT)",
                                         "insert into user values (3, 'old')"}),
                 QString());
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
    }
    const bool existed = QFileInfo::exists(path);
    const QByteArray before = fileBytes(path);

    const ToolRun run = runTool({path, QStringLiteral("secret")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.errorText().startsWith(QStringLiteral("zentavo-passwd: ")));
    QVERIFY2(run.errorText().contains(QFileInfo(path).absolutePath()), qPrintable(run.errorText()));

    // No partial file: what was there is unchanged, what was not is still absent.
    QCOMPARE(QFileInfo::exists(path), existed);
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir(path).isEmpty());
    else
        QCOMPARE(fileBytes(path), before);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("no-such-dir"))));
    QVERIFY(!QFileInfo::exists(path + QStringLiteral("-journal")));
}

void TestZentavoPasswd::failsOnALockedDatabase()
{
    QCOMPARE(createSqliteFile(databasePath, {"create table user (id INTEGER PRIMARY KEY, value TEXT)",
                                             "insert into user values (3, 'old')"}),
             QString());
    const QByteArray before = fileBytes(databasePath);
    {
        ExclusiveLock lock(databasePath);
        QVERIFY(lock.locked);
        const ToolRun run = runTool({databasePath, QStringLiteral("secret")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.errorText().contains(QStringLiteral("locked")), qPrintable(run.errorText()));
    }
    QCOMPARE(fileBytes(databasePath), before);
    QCOMPARE(storedValue(databasePath), QVariant(QStringLiteral("old")));
}

void TestZentavoPasswd::rejectsWrongArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("database only") << QStringList{"DB"};
    QTest::newRow("three") << QStringList{"DB", "a", "b"};
    QTest::newRow("empty database path") << QStringList{QString(), "secret"};
}

void TestZentavoPasswd::rejectsWrongArguments()
{
    QFETCH(QStringList, arguments);
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^DB$")), databasePath);

    const ToolRun run = runTool(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(!run.errorText().isEmpty(), "no message on stderr");
    QVERIFY(run.outputText().isEmpty());
    QVERIFY(!QFileInfo::exists(databasePath));

    const ToolRun help = runTool({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.outputText().startsWith(QStringLiteral("Usage: zentavo-passwd DATABASE PASSWORD")));
}

QTEST_GUILESS_MAIN(TestZentavoPasswd)
#include "tst_zentavopasswd.moc"
