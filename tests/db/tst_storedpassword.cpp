// The administrator password read in one call: no database, the value, or
// unreadable, against real SQLite files and whatever else a device may have
// at the database's path.
#include "aes_encryption.h"
#include "dbtestsupport.h"
#include "storedpassword.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString userTable = QStringLiteral("create table user (id INTEGER PRIMARY KEY, value TEXT)");

QStringList withValue(const QString& value)
{
    return {userTable, "insert into user values (3, '" + value + "')"};
}

}  // namespace

class TestStoredPassword : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void read_data();
    void read();
    void readsNothingThroughALinkToNothing();

private:
    QTemporaryDir dir;
    QString databasePath;
};

void TestStoredPassword::init()
{
    QVERIFY(dir.isValid());
    databasePath = dir.filePath(QStringLiteral("data/Administrator_setting.db"));
    QDir(dir.filePath(QStringLiteral("data"))).removeRecursively();
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("data"))));
}

void TestStoredPassword::read_data()
{
    QTest::addColumn<QString>("layout");  // "sql": a database of these statements; else what is at the path
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("value");

    const QString secret = AES_Encryption().Encrypt(QStringLiteral("Secret"));
    QByteArray tampered = QByteArray::fromBase64(secret.toLatin1());
    tampered[tampered.size() / 2] = char(tampered[tampered.size() / 2] ^ 0x01);

    QTest::newRow("no database") << "none" << QStringList() << int(StoredPassword::Absent) << QString();
    QTest::newRow("password") << "sql" << withValue(secret) << int(StoredPassword::Stored) << "Secret";
    // How the application keeps "no password": read, and empty.
    QTest::newRow("empty value") << "sql" << withValue(QString()) << int(StoredPassword::Stored) << QString();
    QTest::newRow("no row") << "sql" << QStringList{userTable} << int(StoredPassword::Stored) << QString();
    QTest::newRow("no table") << "sql" << QStringList{"create table other (id INTEGER PRIMARY KEY)"}
                              << int(StoredPassword::Stored) << QString();
    // A value that does not decrypt may be a password of another key or a forgery.
    QTest::newRow("tampered value") << "sql" << withValue(QString::fromLatin1(tampered.toBase64()))
                                    << int(StoredPassword::Unreadable) << QString();
    QTest::newRow("truncated value") << "sql" << withValue(secret.left(12)) << int(StoredPassword::Unreadable)
                                     << QString();
    QTest::newRow("plain text value") << "sql" << withValue(QStringLiteral("Secret"))
                                      << int(StoredPassword::Unreadable) << QString();
    // Something is there that may hold a password: never "no password".
    QTest::newRow("text file") << "text" << QStringList() << int(StoredPassword::Unreadable) << QString();
    QTest::newRow("folder") << "folder" << QStringList() << int(StoredPassword::Unreadable) << QString();
    QTest::newRow("FIFO") << "fifo" << QStringList() << int(StoredPassword::Unreadable) << QString();
    QTest::newRow("link to a database") << "link" << withValue(secret) << int(StoredPassword::Unreadable)
                                        << QString();
}

void TestStoredPassword::read()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, statements);
    QFETCH(int, state);
    QFETCH(QString, value);
    if (layout == QLatin1String("sql")) {
        QCOMPARE(createSqliteFile(databasePath, statements), QString());
    } else if (layout == QLatin1String("link")) {
        const QString elsewhere = dir.filePath(QStringLiteral("data/elsewhere.db"));
        QCOMPARE(createSqliteFile(elsewhere, statements), QString());
        QVERIFY(QFile::link(elsewhere, databasePath));
    } else if (layout == QLatin1String("text")) {
        QVERIFY(writeBytes(databasePath, QByteArray("settings, but not a database\n").repeated(100)));
    } else if (layout == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(databasePath));
    } else if (layout == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(databasePath).constData(), 0600), 0);
    }

    const StoredPassword::Result result = StoredPassword::read(databasePath);

    QCOMPARE(int(result.state), state);
    QCOMPARE(result.value, value);
    // Nothing is left registered for the next reader.
    QVERIFY(QSqlDatabase::connectionNames().isEmpty());
}

void TestStoredPassword::readsNothingThroughALinkToNothing()
{
    // The folder's link leads to a partition that is not mounted: it may hold the database.
    const QString data = dir.filePath(QStringLiteral("data"));
    QVERIFY(QDir(data).removeRecursively());
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("unmounted/zentavo")), data));

    const StoredPassword::Result result = StoredPassword::read(databasePath);

    QCOMPARE(int(result.state), int(StoredPassword::Unreadable));
    QCOMPARE(result.value, QString());
    QVERIFY(QFile::remove(data));
}

QTEST_GUILESS_MAIN(TestStoredPassword)
#include "tst_storedpassword.moc"
