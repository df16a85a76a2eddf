// The settings store: the updater's reader (connection, mapper, repository)
// and zentavo-passwd, run as it is and read back through that reader; always
// against real SQLite files.
#include "aes_encryption.h"
#include "dbconnection.h"
#include "dbtestsupport.h"
#include "settingsfile.h"
#include "toolrun.h"
#include "usermenuitemrepository.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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
Read readItem(const QString& path, const QString& driver = QStringLiteral("QSQLITE"))
{
    MessageRecorder recorder;
    Read read;
    bool registered = true;
    {
        DBConnection connection(nullptr, driver, path);
        UserMenuItemRepository repository(nullptr, &connection);
        read.value = repository.loadValue(3, &read.failed);
        // loadValue itself must leave nothing registered, not the destructor.
        registered = QSqlDatabase::contains(connectionName);
    }
    read.log = recorder.text();
    read.clean = !registered && !QSqlDatabase::contains(connectionName) && !read.log.contains(QLatin1String("still in use"))
        && !read.log.contains(QLatin1String("duplicate connection name"));
    return read;
}

ToolRun runTool(const QStringList& arguments, const QByteArray& input = QByteArray())
{
    return runProgram(QStringLiteral(ZENTAVO_PASSWD_PATH), arguments, input);
}

// The password stored in the database, decrypted; null when it cannot be.
QString storedPassword(const QString& path)
{
    bool decrypted = false;
    const QString password = AES_Encryption().Decrypt(readItem(path).value.toString(), &decrypted);
    return decrypted ? password : QString();
}

// What a terminal shows of a run of the tool on it, and how the run ended.
struct TerminalRun
{
    QByteArray screen;
    int exitCode = -1;
};

// Runs the tool on a pseudo-terminal and types each answer once the screen
// shows its prompt.
TerminalRun runOnTerminal(const QStringList& arguments, const QList<QPair<QByteArray, QByteArray>>& dialogue)
{
    TerminalRun run;
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0)
        return run;
    if (child == 0) {
        QList<QByteArray> bytes{QByteArrayLiteral(ZENTAVO_PASSWD_PATH)};
        for (const QString& argument : arguments)
            bytes << argument.toLocal8Bit();
        std::vector<char*> argv;
        for (QByteArray& argument : bytes)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv.front(), argv.data());
        ::_exit(127);
    }
    int answered = 0;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        struct pollfd ready = {terminal, POLLIN, 0};
        if (::poll(&ready, 1, 100) > 0) {
            char buffer[256];
            const ssize_t got = ::read(terminal, buffer, sizeof buffer);
            if (got <= 0)
                break;
            run.screen.append(buffer, int(got));
        }
        if (answered < dialogue.size() && run.screen.count(dialogue.at(answered).first) > answered
            && run.screen.endsWith(": ")) {
            const QByteArray answer = dialogue.at(answered++).second + '\n';
            if (::write(terminal, answer.constData(), size_t(answer.size())) != answer.size())
                break;
        }
        if (clock.elapsed() > 30000)
            break;
    }
    int status = 0;
    if (clock.elapsed() > 30000)
        ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    ::close(terminal);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Every table with all its rows, in a stable order, as one text.
QString dumpDatabase(const QString& path)
{
    QStringList lines;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("dump"));
        database.setDatabaseName(path);
        QStringList tables = database.open() ? database.tables() : QStringList();
        tables.sort();
        for (const QString& table : tables) {
            QSqlQuery query(QStringLiteral("select * from \"%1\" order by rowid").arg(table), database);
            for (QStringList fields; query.next(); fields.clear()) {
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

class TestSettingsDb : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void loadValue_data();
    void loadValue();
    void unreadableFile_data();
    void unreadableFile();
    void rollsBackWhatTheApplicationLeftBehind();
    void readsPathsWithUriCharacters();
    void looksThroughTheDevicesFolderLinks_data();
    void looksThroughTheDevicesFolderLinks();

    void passwdStores_data();
    void passwdStores();
    void passwdFailsWithoutChangingAnything_data();
    void passwdFailsWithoutChangingAnything();
    void passwdRejectsWrongArguments();
    void passwdReadsStandardInput_data();
    void passwdReadsStandardInput();
    void passwdChecks_data();
    void passwdChecks();
    void passwdAsksTerminalWithoutEcho();
    void readmeExampleOfStoredPassword();

private:
    QTemporaryDir dir;
    QString databasePath;
};

void TestSettingsDb::init()
{
    QVERIFY(dir.isValid());
    databasePath = dir.filePath(QStringLiteral("Administrator_setting.db"));
    QDir(databasePath).removeRecursively();
    QFile::remove(databasePath);
}

void TestSettingsDb::loadValue_data()
{
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("value");

    QTest::newRow("stored value among others")
        << QStringList{userTable, "insert into user values (2, 'two')", "insert into user values (3, 'c2VjcmV0')",
                       "insert into user values (4, 'four')"}
        << true << QStringLiteral("c2VjcmV0");
    QTest::newRow("NULL value") << QStringList{userTable, "insert into user values (3, NULL)"} << true << QString();
    QTest::newRow("value read by name, not position")
        << QStringList{"create table user (id INTEGER PRIMARY KEY, name TEXT, value TEXT, extra TEXT)",
                       "insert into user values (3, 'Administrator', 'by-name', 'extra')"}
        << true << QStringLiteral("by-name");
    QTest::newRow("table without value column")
        << QStringList{"create table user (id INTEGER PRIMARY KEY, name TEXT)", "insert into user values (3, 'Administrator')"}
        << true << QString();
    QTest::newRow("write-ahead log database")
        << QStringList{"pragma journal_mode = wal", userTable, "insert into user values (3, 'wal')"} << true << "wal";
    QTest::newRow("table missing") << QStringList{"create table settings (id INTEGER PRIMARY KEY, value TEXT)",
                                                  "insert into settings values (3, 'wrong table')"}
                                   << false << QString();
    QTest::newRow("row missing") << QStringList{userTable, "insert into user values (1, 'one')"} << false << QString();
}

void TestSettingsDb::loadValue()
{
    QFETCH(QStringList, statements);
    QFETCH(bool, found);
    QFETCH(QString, value);
    QCOMPARE(createSqliteFile(databasePath, statements), QString());
    const QByteArray before = fileBytes(databasePath);

    const Read read = readItem(databasePath);

    QCOMPARE(read.value.isValid(), found);
    QCOMPARE(read.value.toString(), value);
    QCOMPARE(read.log.contains(errorLine), !found);
    // A readable database without the item is "no item", not a read failure.
    QVERIFY(!read.failed);
    QVERIFY2(read.clean, qPrintable(read.log));
    QCOMPARE(fileBytes(databasePath), before);

    // Readers that know only the interface get the same value.
    DBConnection connection(nullptr, QStringLiteral("QSQLITE"), databasePath);
    UserMenuItemRepository repository(nullptr, &connection);
    IMenuItemRepository& items = repository;
    QCOMPARE(items.loadValue(3), read.value);
    QVERIFY(!QSqlDatabase::contains(connectionName));
}

void TestSettingsDb::unreadableFile_data()
{
    // A failed read keeps the updater's prompt closed to every password, so it
    // must be told apart from a database that has none.
    QTest::addColumn<QByteArray>("content");  // or no file, a directory, a locked database
    QTest::addColumn<bool>("readFailure");
    QByteArray header(8192, '\x5a');
    header.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    const QString full = dir.filePath(QStringLiteral("full.db"));
    QFile::remove(full);
    QCOMPARE(createSqliteFile(full, {"create table filler (data TEXT)", "insert into filler values (hex(zeroblob(20000)))",
                                     userTable, "insert into user values (3, 'lost')"}),
             QString());

    QTest::newRow("missing file") << QByteArray("<none>") << true;
    // A zero-length file is a valid empty SQLite database: read, no item.
    QTest::newRow("zero-length file") << QByteArray("") << false;
    QTest::newRow("text file") << QByteArray("this is a settings file, not a database\n").repeated(200) << true;
    QTest::newRow("database header over garbage") << header << true;
    QTest::newRow("truncated database") << fileBytes(full).left(4096) << true;
    QTest::newRow("directory at the path") << QByteArray("<directory>") << true;
    // The password is there, only locked away or without a driver to read it: never "no password".
    QTest::newRow("locked database") << QByteArray("<locked>") << true;
    QTest::newRow("no SQLite driver") << QByteArray("<no driver>") << true;
}

void TestSettingsDb::unreadableFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, readFailure);
    if (content == "<directory>") {
        QVERIFY(QDir().mkpath(databasePath));
    } else if (content.startsWith('<') && content != "<none>") {
        QCOMPARE(createSqliteFile(databasePath, {userTable, "insert into user values (3, 'out of reach')"}), QString());
    } else if (content != "<none>") {
        QVERIFY(writeBytes(databasePath, content));
    }
    const bool existed = QFileInfo::exists(databasePath);
    const QByteArray before = fileBytes(databasePath);
    QScopedPointer<ExclusiveLock> lock(content == "<locked>" ? new ExclusiveLock(databasePath) : nullptr);
    QVERIFY(!lock || lock->locked);

    const Read read = readItem(databasePath, content == "<no driver>" ? "QNOSUCHDRIVER" : "QSQLITE");

    QVERIFY(!read.value.isValid());
    QVERIFY2(read.log.contains(errorLine), qPrintable(read.log));
    QCOMPARE(read.failed, readFailure);
    if (content == "<no driver>") {
        QVERIFY2(read.log.startsWith("\"DB Driver fehlt: QNOSUCHDRIVER\"\n"), qPrintable(read.log));
        QVERIFY(read.log.contains("\nFailed to open Db Connection. Driver:  \"QNOSUCHDRIVER\"\n"));
    }
    QVERIFY2(read.clean, qPrintable(read.log));
    lock.reset();
    QCOMPARE(QFileInfo::exists(databasePath), existed);
    QCOMPARE(fileBytes(databasePath), before);
    if (content == "<directory>")
        QVERIFY(QDir(databasePath).isEmpty());
}

void TestSettingsDb::rollsBackWhatTheApplicationLeftBehind()
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
    const QString crashed = dir.filePath(QStringLiteral("crashed.db"));
    QFile::remove(crashed);
    QFile::remove(crashed + "-journal");
    QCOMPARE(createSqliteFile(databasePath, {"pragma cache_size = 2", "BEGIN", "update user set value = 'uncommitted' where id = 3",
                                             "update filler set data = hex(zeroblob(600))"}, "writer"),
             QString());
    QVERIFY(QFile::copy(databasePath, crashed));
    QVERIFY(QFile::copy(databasePath + "-journal", crashed + "-journal"));
    QVERIFY(QSqlQuery(QSqlDatabase::database(QStringLiteral("writer"))).exec(QStringLiteral("ROLLBACK")));
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
    QVERIFY(fileBytes(crashed) != committed);

    const Read read = readItem(crashed);
    QCOMPARE(read.value, QVariant(QStringLiteral("committed")));
    QVERIFY2(read.clean, qPrintable(read.log));
    QVERIFY(!QFileInfo::exists(crashed + "-journal"));
    QCOMPARE(fileBytes(crashed), committed);
}

void TestSettingsDb::readsPathsWithUriCharacters()
{
    const QString odd = dir.filePath(QStringLiteral("we?ird #dir %41 name"));
    QVERIFY(QDir().mkpath(odd));
    QCOMPARE(createSqliteFile(odd + "/Administrator_setting.db", {userTable, "insert into user values (3, 'odd path')"}),
             QString());

    const Read read = readItem(odd + "/Administrator_setting.db");
    QCOMPARE(read.value, QVariant(QStringLiteral("odd path")));
    QVERIFY2(read.clean, qPrintable(read.log));
    // Nothing was created beside it, nor at a path cut off at a URI character.
    QCOMPARE(QDir(odd).entryList(QDir::Files), QStringList{"Administrator_setting.db"});
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).filter(QStringLiteral("we")).size(), 1);
}

void TestSettingsDb::looksThroughTheDevicesFolderLinks_data()
{
    // What lies at data/ (a folder, a link to one on another partition, ...),
    // and what the presence test and a read then find. Only nothing at all is absent.
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("presence");
    QTest::addColumn<QString>("value");  // null: the read fails
    QTest::newRow("folder") << "folder" << int(SettingsFile::Present) << "through a folder";
    QTest::newRow("link to a folder") << "link" << int(SettingsFile::Present) << "through a link";
    QTest::newRow("link to a link to a folder") << "link-link" << int(SettingsFile::Present) << "through two links";
    QTest::newRow("no folder") << "none" << int(SettingsFile::Absent) << QString();
    QTest::newRow("link to an empty folder") << "link-empty" << int(SettingsFile::Absent) << QString();
    // The partition it points to is not mounted, or gone: it may hold the database.
    QTest::newRow("link to nothing") << "dangling" << int(SettingsFile::Unknown) << QString();
    QTest::newRow("a file where the folder belongs") << "file" << int(SettingsFile::Unknown) << QString();
    // The database's own name is never followed.
    QTest::newRow("database itself a link") << "database-link" << int(SettingsFile::Present) << QString();
}

void TestSettingsDb::looksThroughTheDevicesFolderLinks()
{
    QFETCH(QString, layout);
    QFETCH(int, presence);
    QFETCH(QString, value);
    // Links below the flash disk's root are what the reader is wary of.
    QTemporaryDir device;
    qputenv("ZENTAVO_DEVICE_ROOT", device.path().toLocal8Bit());
    const QString data = device.filePath(QStringLiteral("FlashDisk/Zentavo/data"));
    const QString persistent = device.filePath(QStringLiteral("persist/zentavo"));
    QVERIFY(QDir().mkpath(QFileInfo(data).path()) && QDir().mkpath(persistent));
    const QString database = data + QStringLiteral("/Administrator_setting.db");
    const QString stored = persistent + QStringLiteral("/Administrator_setting.db");
    if (layout == QLatin1String("folder") || layout == QLatin1String("database-link")) {
        QVERIFY(QDir().mkpath(data));
    } else if (layout == QLatin1String("link") || layout == QLatin1String("link-empty")) {
        QVERIFY(QFile::link(persistent, data));
    } else if (layout == QLatin1String("link-link")) {
        QVERIFY(QFile::link(persistent, device.filePath(QStringLiteral("persist/current"))));
        QVERIFY(QFile::link(QStringLiteral("../../persist/current"), data));
    } else if (layout == QLatin1String("dangling")) {
        QVERIFY(QFile::link(device.filePath(QStringLiteral("unmounted/zentavo")), data));
    } else if (layout == QLatin1String("file")) {
        QVERIFY(writeBytes(data, "not a folder"));
    }
    const QString target = layout == QLatin1String("folder") ? database : stored;
    if (!value.isNull())
        QCOMPARE(createSqliteFile(target, {userTable, "insert into user values (3, '" + value + "')"}), QString());
    if (layout == QLatin1String("database-link")) {
        QCOMPARE(createSqliteFile(stored, {userTable, "insert into user values (3, 'elsewhere')"}), QString());
        QVERIFY(QFile::link(stored, database));
    }

    int error = -1;
    const int found = SettingsFile::presence(database, &error);
    const Read read = readItem(database);
    qunsetenv("ZENTAVO_DEVICE_ROOT");
    QCOMPARE(found, presence);
    QCOMPARE(error == 0, presence != SettingsFile::Unknown);
    if (presence == SettingsFile::Present) {
        QCOMPARE(read.value, value.isNull() ? QVariant() : QVariant(value));
        QCOMPARE(read.failed, value.isNull());
        QVERIFY2(read.clean, qPrintable(read.log));
    }
}

void TestSettingsDb::passwdStores_data()
{
    QTest::addColumn<QStringList>("statements");  // "-": no file; none: a zero-length file
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");         // the dump afterwards, %1 the stored value

    // A new file holds the table "user" with exactly the password row.
    // Only what the prompt's keyboard can type is stored (no quote among it).
    QTest::newRow("new file") << QStringList{"-"} << QStringLiteral(" P\u00e4ss \u00c9); drop table user; --")
                              << QStringLiteral("user: id=3, value=%1");
    QTest::newRow("zero-length file") << QStringList() << QString(50, QLatin1Char('x')) << QStringLiteral("user: id=3, value=%1");
    const QString table = QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)");
    // An empty value, not a missing row: the updater reads it as "no password".
    QTest::newRow("empty password clears") << QStringList{table, "insert into user values (3, 'old')"} << QString()
                                           << QStringLiteral("user: id=3, value=");
    QTest::newRow("other tables, rows and columns kept")
        << QStringList{"create table settings (key TEXT PRIMARY KEY, data TEXT)",
                       "insert into settings values ('language', 'de')",
                       "create table user (id INTEGER PRIMARY KEY, name TEXT, value TEXT)",
                       "insert into user values (1, 'Operator', 'one')", "insert into user values (3, 'Administrator', 'old')"}
        << QStringLiteral("new secret")
        << QStringLiteral("settings: key=language, data=de\n"
                          "user: id=1, name=Operator, value=one\nuser: id=3, name=Administrator, value=%1");
    // Without a key on id the reader takes whichever row comes first, so an
    // added row would leave the old password in force.
    QTest::newRow("every row with id 3")
        << QStringList{"create table user (id INTEGER, value TEXT)", "insert into user values (3, 'old one')",
                       "insert into user values (3, 'old two')"}
        << QStringLiteral("fresh") << QStringLiteral("user: id=3, value=%1\nuser: id=3, value=%1");
}

void TestSettingsDb::passwdStores()
{
    QFETCH(QStringList, statements);
    QFETCH(QString, password);
    QFETCH(QString, expected);
    if (statements.isEmpty())
        QVERIFY(writeBytes(databasePath, QByteArray()));
    else if (statements.first() != QLatin1String("-"))
        QCOMPARE(createSqliteFile(databasePath, statements), QString());

    const ToolRun run = runTool({databasePath, password});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.errorText().isEmpty(), qPrintable(run.errorText()));
    const QString stored = readItem(databasePath).value.toString();
    QVERIFY(password.isEmpty() || stored != password);
    bool decrypted = false;
    QCOMPARE(AES_Encryption().Decrypt(stored, &decrypted), password);
    QVERIFY(decrypted);
    QCOMPARE(dumpDatabase(databasePath), expected.arg(stored));
}

void TestSettingsDb::passwdFailsWithoutChangingAnything_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing directory") << "missing-directory" << "does not exist";
    QTest::newRow("directory at the path") << "directory" << "is a directory";
    QTest::newRow("not a database") << "text" << "not a database";
    QTest::newRow("user table without value column") << "no-value-column" << "";
    QTest::newRow("locked database") << "locked" << "locked";
    QTest::newRow("read-only file") << "read-only" << "";
}

void TestSettingsDb::passwdFailsWithoutChangingAnything()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    if (kind == QLatin1String("read-only") && ::geteuid() == 0)
        QSKIP("root may write anywhere");
    QString path = databasePath;
    if (kind == QLatin1String("missing-directory")) {
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
    } else {
        QCOMPARE(createSqliteFile(path, {userTable, "insert into user values (3, 'old')"}), QString());
        if (kind == QLatin1String("read-only"))
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
    }
    const bool existed = QFileInfo::exists(path);
    const QByteArray before = fileBytes(path);
    // Taken last: closing any descriptor of the file drops this process's locks on it.
    QScopedPointer<ExclusiveLock> lock(kind == QLatin1String("locked") ? new ExclusiveLock(path) : nullptr);
    QVERIFY(!lock || lock->locked);

    const ToolRun run = runTool({path, QStringLiteral("secret")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.errorText().startsWith(QStringLiteral("zentavo-passwd: ")));
    QVERIFY2(run.errorText().contains(QFileInfo(path).absolutePath()), qPrintable(run.errorText()));
    QVERIFY2(run.errorText().contains(reason), qPrintable(run.errorText()));

    // No partial file: what was there is unchanged, what was not is still absent.
    lock.reset();
    QCOMPARE(QFileInfo::exists(path), existed);
    QCOMPARE(fileBytes(path), before);
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir(path).isEmpty());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("no-such-dir"))));
    QVERIFY(!QFileInfo::exists(path + QStringLiteral("-journal")));
    if (kind == QLatin1String("locked"))
        QCOMPARE(readItem(path).value, QVariant(QStringLiteral("old")));
}

void TestSettingsDb::passwdRejectsWrongArguments()
{
    for (const QStringList& arguments :
         {QStringList(), QStringList{databasePath, "a", "b"}, QStringList{QString(), "secret"}, QStringList{"--check"},
          QStringList{"--check", databasePath, "secret"}, QStringList{"--check", QString()}}) {
        const ToolRun run = runTool(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(!run.errorText().isEmpty(), "no message on stderr");
        QVERIFY(run.outputText().isEmpty());
        QVERIFY(!QFileInfo::exists(databasePath));
    }
    const ToolRun help = runTool({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.outputText().startsWith(QStringLiteral("Usage: zentavo-passwd DATABASE [PASSWORD]\n"
                                                        "       zentavo-passwd --check DATABASE\n")));
}

void TestSettingsDb::passwdReadsStandardInput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stored");  // null: nothing written
    QTest::newRow("one line") << QByteArray("Secret-42\n") << 0 << "Secret-42";
    QTest::newRow("no line break at the end") << QByteArray("T\xc3\xa9""cnico7") << 0 << QString::fromUtf8("T\xc3\xa9""cnico7");
    QTest::newRow("line of a Windows editor") << QByteArray("Secret-42\r\n") << 0 << "Secret-42";
    QTest::newRow("spaces count") << QByteArray(" Secret 42 \n") << 0 << " Secret 42 ";
    QTest::newRow("only the first line") << QByteArray("first\nsecond\n") << 0 << "first";
    QTest::newRow("empty line: no password") << QByteArray("\n") << 0 << "";
    QTest::newRow("no input at all") << QByteArray("") << 1 << QString();
    QTest::newRow("longer than the prompt takes") << QByteArray(51, 'x') + '\n' << 1 << QString();
    QTest::newRow("endless line") << QByteArray(1 << 20, 'x') << 1 << QString();
}

// The password never on the command line: one line of standard input.
void TestSettingsDb::passwdReadsStandardInput()
{
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, stored);
    const ToolRun run = runTool({databasePath}, input);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.errorText().isEmpty(), exitCode == 0);
    QVERIFY(run.outputText().isEmpty());
    QCOMPARE(QFileInfo::exists(databasePath), !stored.isNull());
    if (!stored.isNull())
        QCOMPARE(storedPassword(databasePath), stored);
}

void TestSettingsDb::passwdChecks_data()
{
    QTest::addColumn<QString>("database");  // how the stored password is kept
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");  // a part of it
    QTest::newRow("right") << "Secret-42" << QByteArray("Secret-42\n") << 0 << QString();
    QTest::newRow("right, without line break") << "Secret-42" << QByteArray("Secret-42") << 0 << QString();
    QTest::newRow("other case") << "Secret-42" << QByteArray("secret-42\n") << 1 << "not the stored password";
    QTest::newRow("trailing space") << "Secret-42" << QByteArray("Secret-42 \n") << 1 << "not the stored password";
    QTest::newRow("no input") << "Secret-42" << QByteArray() << 1 << "no password on standard input";
    QTest::newRow("no database") << "<none>" << QByteArray("\n") << 1 << "no password is stored";
    QTest::newRow("no password stored") << "" << QByteArray("\n") << 1 << "no password is stored";
    QTest::newRow("damaged value") << "<damaged>" << QByteArray("Secret-42\n") << 1 << "cannot be decrypted";
    QTest::newRow("not a database") << "<text>" << QByteArray("Secret-42\n") << 1 << "cannot be read";
    QTest::newRow("database a link") << "<link>" << QByteArray("Secret-42\n") << 1 << "cannot be read";
}

// Checks a device's password without the screen, reading as the updater reads.
void TestSettingsDb::passwdChecks()
{
    QFETCH(QString, database);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    if (database == QLatin1String("<damaged>")) {
        QCOMPARE(createSqliteFile(databasePath, {userTable, "insert into user values (3, '"
                                                                + AES_Encryption().Encrypt("Secret-42").replace(20, 1, "A")
                                                                + "')"}),
                 QString());
    } else if (database == QLatin1String("<text>")) {
        QVERIFY(writeBytes(databasePath, QByteArray("no database\n").repeated(300)));
    } else if (database == QLatin1String("<link>")) {
        const QString elsewhere = dir.filePath(QStringLiteral("elsewhere.db"));
        QFile::remove(elsewhere);
        QCOMPARE(runTool({elsewhere}, "Secret-42\n").exitCode, 0);
        QVERIFY(QFile::link(elsewhere, databasePath));
    } else if (database != QLatin1String("<none>")) {
        QCOMPARE(runTool({databasePath}, database.toUtf8() + '\n').exitCode, 0);
    }
    const QByteArray before = fileBytes(databasePath);

    const ToolRun run = runTool({"--check", databasePath}, input);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(run.outputText().isEmpty());
    if (message.isEmpty())
        QCOMPARE(run.errorText(), QString());
    else
        QVERIFY2(run.errorText().startsWith(QLatin1String("zentavo-passwd: ")) && run.errorText().contains(message),
                 qPrintable(run.errorText()));
    // Checking changes nothing, and creates nothing.
    QCOMPARE(fileBytes(databasePath), before);
    QCOMPARE(QFileInfo::exists(databasePath), database != QLatin1String("<none>"));
}

// From a terminal the password is asked for twice, and never shown.
void TestSettingsDb::passwdAsksTerminalWithoutEcho()
{
    const QByteArray password = "Hidden-42";
    TerminalRun run = runOnTerminal({databasePath}, {{"password: ", password}, {"password: ", password}});
    QVERIFY2(run.exitCode == 0, run.screen.constData());
    QVERIFY2(run.screen.count("password: ") == 2 && !run.screen.contains(password), run.screen.constData());
    QCOMPARE(storedPassword(databasePath), QString::fromLatin1(password));

    const QByteArray before = fileBytes(databasePath);
    run = runOnTerminal({databasePath}, {{"password: ", "Other-1"}, {"password: ", "Other-2"}});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.screen.contains("do not match") && !run.screen.contains("Other-"), run.screen.constData());
    QCOMPARE(fileBytes(databasePath), before);

    run = runOnTerminal({"--check", databasePath}, {{"Password: ", password}});
    QVERIFY2(run.exitCode == 0 && run.screen.count("Password: ") == 1 && !run.screen.contains(password),
             run.screen.constData());
}

// The README's worked example of the stored password is what the terminal
// application's makers write from: every step of it must hold, and the
// updater's reader and the check must accept its result.
void TestSettingsDb::readmeExampleOfStoredPassword()
{
    QFile readme(QStringLiteral(ZENTAVO_README));
    QVERIFY(readme.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(readme.readAll());
    const int start = text.indexOf(QLatin1String("\n## Stored password\n"));
    QVERIFY2(start >= 0, "no section \"Stored password\" in the README");
    const QString section = text.mid(start, text.indexOf(QLatin1String("\n## "), start + 1) - start);
    auto step = [&](const char* name) {
        const QRegularExpression row(QLatin1String("\\n\\| ") + QLatin1String(name) + QLatin1String(" \\| `([^`]*)` \\|"));
        return row.match(section).captured(1);
    };
    const QString password = step("password");
    const QByteArray plain = QByteArray::fromHex(step("plain text \\(UTF-8, hex\\)").toLatin1());
    const QByteArray nonce = QByteArray::fromHex(step("nonce \\(hex\\)").toLatin1());
    const QByteArray cipherText = QByteArray::fromHex(step("ciphertext \\(hex\\)").toLatin1());
    const QByteArray tag = QByteArray::fromHex(step("tag \\(hex\\)").toLatin1());
    const QString stored = step("stored text");
    QVERIFY2(!password.isEmpty() && !stored.isEmpty(), "the worked example's rows are not found");
    QCOMPARE(plain, password.toUtf8());
    QCOMPARE(nonce.size(), 12);
    QCOMPARE(tag.size(), 16);
    QCOMPARE(cipherText.size(), plain.size());
    QCOMPARE(stored.toLatin1(), (nonce + cipherText + tag).toBase64());

    // The SQL of the example, run as it stands.
    const QRegularExpression block(QStringLiteral("```sql\\n(.*?)```"), QRegularExpression::DotMatchesEverythingOption);
    const QStringList statements =
        block.match(section).captured(1).split(QLatin1Char(';'), Qt::SkipEmptyParts).filter(QRegularExpression("\\S"));
    QCOMPARE(statements.size(), 2);
    QVERIFY(statements.last().contains(stored));
    QCOMPARE(createSqliteFile(databasePath, statements), QString());

    QCOMPARE(storedPassword(databasePath), password);
    const ToolRun check = runTool({"--check", databasePath}, password.toUtf8() + '\n');
    QVERIFY2(check.exitCode == 0, qPrintable(check.errorText()));
    QCOMPARE(runTool({"--check", databasePath}, "Tecnico7\n").exitCode, 1);
}

QTEST_GUILESS_MAIN(TestSettingsDb)
#include "tst_settingsdb.moc"
