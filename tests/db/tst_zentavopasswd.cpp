#include "aes_encryption.h"
#include "dbconnection.h"
#include "dbtestsupport.h"
#include "usermenuitemrepository.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include "toolrun.h"

namespace {

ToolRun runTool(const QStringList& arguments)
{
    return runProgram(QStringLiteral(ZENTAVO_PASSWD_PATH), arguments);
}

// Reads the stored value back the way the updater does.
QVariant storedValue(const QString& path)
{
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), path);
    UserMenuItemRepository repository(nullptr, &connection);
    return repository.loadValue(3);
}

// Every table with all its rows, in a stable order, as one text.
QString dumpDatabase(const QString& path)
{
    const QString name = QStringLiteral("dump");
    QStringList lines;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (database.open()) {
            QStringList tables = database.tables();
            tables.sort();
            for (const QString& table : tables) {
                QSqlQuery query(database);
                query.exec(QStringLiteral("select * from \"%1\" order by rowid").arg(table));
                while (query.next()) {
                    QStringList fields;
                    const QSqlRecord record = query.record();
                    for (int i = 0; i < record.count(); ++i)
                        fields << record.fieldName(i) + QLatin1Char('=') + record.value(i).toString();
                    lines << table + QStringLiteral(": ") + fields.join(QStringLiteral(", "));
                }
            }
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
    return lines.join(QLatin1Char('\n'));
}

QString decrypted(const QVariant& stored, bool* ok)
{
    AES_Encryption encryption;
    return encryption.Decrypt(stored.toString(), ok);
}

} // namespace

class TestZentavoPasswd : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void roundTrip_data();
    void roundTrip();
    void createsTheUserTable();
    void emptyPasswordClearsTheStoredOne();
    void keepsOtherTablesRowsAndColumns();
    void fillsAZeroLengthFile();
    void replacesEveryRowWithIdThree();

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
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorText()));
    QVERIFY2(run.errorText().isEmpty(), qPrintable(run.errorText()));
    QVERIFY(QFileInfo(databasePath).isFile());

    const QVariant stored = storedValue(databasePath);
    QVERIFY(stored.isValid());
    QVERIFY(stored.toString() != password);
    bool ok = false;
    QCOMPARE(decrypted(stored, &ok), password);
    QVERIFY(ok);

    // Writing again replaces the password.
    const QString next = password + QStringLiteral("-next");
    QCOMPARE(runTool({databasePath, next}).exitCode, 0);
    QCOMPARE(decrypted(storedValue(databasePath), &ok), next);
    QVERIFY(ok);
}

void TestZentavoPasswd::createsTheUserTable()
{
    QCOMPARE(runTool({databasePath, QStringLiteral("secret")}).exitCode, 0);

    const QString name = QStringLiteral("schema");
    QStringList columns;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(databasePath);
        QVERIFY(database.open());
        QSqlQuery query(database);
        QVERIFY(query.exec(QStringLiteral("pragma table_info(user)")));
        while (query.next()) {
            columns << QStringLiteral("%1 %2 pk=%3")
                           .arg(query.value(1).toString(), query.value(2).toString(), query.value(5).toString());
        }
        QVERIFY(query.exec(QStringLiteral("select count(*) from user")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 1);
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
    QCOMPARE(columns, QStringList({QStringLiteral("id INTEGER pk=1"), QStringLiteral("value TEXT pk=0")}));
}

void TestZentavoPasswd::emptyPasswordClearsTheStoredOne()
{
    QCOMPARE(runTool({databasePath, QStringLiteral("secret")}).exitCode, 0);
    const ToolRun run = runTool({databasePath, QString()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorText()));

    const QVariant stored = storedValue(databasePath);
    QVERIFY(stored.isValid());
    QCOMPARE(stored.toString(), QString());
    bool ok = false;
    QCOMPARE(decrypted(stored, &ok), QString());
    QVERIFY(ok);
}

void TestZentavoPasswd::keepsOtherTablesRowsAndColumns()
{
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table settings (key TEXT PRIMARY KEY, data TEXT)"),
                               QStringLiteral("insert into settings values ('language', 'de')"),
                               QStringLiteral("insert into settings values ('volume', '7')"),
                               QStringLiteral("create table user (id INTEGER PRIMARY KEY, name TEXT, value TEXT)"),
                               QStringLiteral("insert into user values (1, 'Operator', 'one')"),
                               QStringLiteral("insert into user values (3, 'Administrator', 'old')"),
                               QStringLiteral("insert into user values (4, 'Service', 'four')")},
                              &error),
             qPrintable(error));
    const QString before = dumpDatabase(databasePath);
    QVERIFY(before.contains(QStringLiteral("value=old")));

    const ToolRun run = runTool({databasePath, QStringLiteral("new secret")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorText()));

    const QVariant stored = storedValue(databasePath);
    bool ok = false;
    QCOMPARE(decrypted(stored, &ok), QStringLiteral("new secret"));
    QVERIFY(ok);

    QString expected = before;
    expected.replace(QStringLiteral("value=old"), QStringLiteral("value=") + stored.toString());
    QCOMPARE(dumpDatabase(databasePath), expected);
}

void TestZentavoPasswd::fillsAZeroLengthFile()
{
    QVERIFY(writeBytes(databasePath, QByteArray()));
    const ToolRun run = runTool({databasePath, QStringLiteral("secret")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorText()));
    bool ok = false;
    QCOMPARE(decrypted(storedValue(databasePath), &ok), QStringLiteral("secret"));
    QVERIFY(ok);
}

void TestZentavoPasswd::replacesEveryRowWithIdThree()
{
    // Without a key on id the reader takes whichever row comes first, so an
    // added row would leave the old password in force.
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table user (id INTEGER, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'old one')"),
                               QStringLiteral("insert into user values (3, 'old two')")},
                              &error),
             qPrintable(error));
    QCOMPARE(runTool({databasePath, QStringLiteral("fresh")}).exitCode, 0);

    bool ok = false;
    QCOMPARE(decrypted(storedValue(databasePath), &ok), QStringLiteral("fresh"));
    QVERIFY(ok);
    QVERIFY(!dumpDatabase(databasePath).contains(QStringLiteral("old")));
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

    QString path = databasePath;
    QByteArray content;
    bool fileExpected = true;
    QString error;
    const bool root = ::geteuid() == 0;

    if (kind == QLatin1String("parent-file")) {
        const QString parent = dir.filePath(QStringLiteral("plain-file"));
        QVERIFY(writeBytes(parent, "data"));
        path = parent + QStringLiteral("/Administrator_setting.db");
        fileExpected = false;
    } else if (kind == QLatin1String("missing-directory")) {
        path = dir.filePath(QStringLiteral("no-such-dir/Administrator_setting.db"));
        fileExpected = false;
    } else if (kind == QLatin1String("directory")) {
        path = dir.filePath(QStringLiteral("a-directory"));
        QVERIFY(QDir().mkpath(path));
        fileExpected = false;
    } else if (kind == QLatin1String("text")) {
        content = QByteArray("not a database at all\n").repeated(100);
        QVERIFY(writeBytes(path, content));
    } else if (kind == QLatin1String("no-value-column")) {
        QVERIFY2(createSqliteFile(path,
                                  {QStringLiteral("create table user (id INTEGER PRIMARY KEY, name TEXT)"),
                                   QStringLiteral("insert into user values (3, 'Administrator')")},
                                  &error),
                 qPrintable(error));
        content = fileBytes(path);
    } else if (kind == QLatin1String("unwritable-directory")) {
        if (root)
            QSKIP("root may write into any directory");
        const QString locked = dir.filePath(QStringLiteral("unwritable"));
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
        path = locked + QStringLiteral("/Administrator_setting.db");
        fileExpected = false;
    } else if (kind == QLatin1String("read-only-file")) {
        if (root)
            QSKIP("root may write any file");
        QVERIFY2(createSqliteFile(path,
                                  {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                                   QStringLiteral("insert into user values (3, 'old')")},
                                  &error),
                 qPrintable(error));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
        content = fileBytes(path);
    }

    const ToolRun run = runTool({path, QStringLiteral("secret")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.errorText().startsWith(QStringLiteral("zentavo-passwd: ")));
    QVERIFY2(run.errorText().contains(path) || run.errorText().contains(QFileInfo(path).absolutePath()),
             qPrintable(run.errorText()));

    if (kind == QLatin1String("directory")) {
        QVERIFY(QFileInfo(path).isDir());
        QVERIFY(QDir(path).isEmpty());
    } else if (fileExpected) {
        QCOMPARE(fileBytes(path), content);
    } else {
        QVERIFY(!QFileInfo::exists(path));
    }
    if (kind == QLatin1String("missing-directory"))
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("no-such-dir"))));
    QVERIFY(!QFileInfo::exists(path + QStringLiteral("-journal")));
}

void TestZentavoPasswd::failsOnALockedDatabase()
{
    QString error;
    QVERIFY2(createSqliteFile(databasePath,
                              {QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)"),
                               QStringLiteral("insert into user values (3, 'old')")},
                              &error),
             qPrintable(error));
    const QByteArray before = fileBytes(databasePath);

    const QString holderName = QStringLiteral("lock-holder");
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holderName);
        holder.setDatabaseName(databasePath);
        QVERIFY(holder.open());
        QSqlQuery lock(holder);
        QVERIFY2(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")), qPrintable(lock.lastError().text()));

        const ToolRun run = runTool({databasePath, QStringLiteral("secret")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.errorText().contains(QStringLiteral("locked")), qPrintable(run.errorText()));

        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        holder.close();
    }
    QSqlDatabase::removeDatabase(holderName);

    QCOMPARE(fileBytes(databasePath), before);
    QCOMPARE(storedValue(databasePath), QVariant(QStringLiteral("old")));
}

void TestZentavoPasswd::rejectsWrongArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("database only") << QStringList{QStringLiteral("DB")};
    QTest::newRow("three") << QStringList{QStringLiteral("DB"), QStringLiteral("a"), QStringLiteral("b")};
    QTest::newRow("empty database path") << QStringList{QString(), QStringLiteral("secret")};
}

void TestZentavoPasswd::rejectsWrongArguments()
{
    QFETCH(QStringList, arguments);
    for (QString& argument : arguments) {
        if (argument == QLatin1String("DB"))
            argument = databasePath;
    }

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
