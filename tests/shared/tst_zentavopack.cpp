// zentavo-pack run as a payload maker runs it: what it writes must be what
// sha256sum and openssl write and accept, and --verify must refuse what the
// updater refuses, with the same line.
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include "toolrun.h"

namespace {

const QString tool = QStringLiteral(ZENTAVO_PACK_TOOL);

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// A payload of ordinary names (spaces, accents, hidden files, an empty file,
// a link), keys made with openssl as the README tells, and a keys folder
// holding the public one.
struct Maker
{
    QTemporaryDir temporary;
    QString payload;
    QString key;
    QString otherKey;
    QString keys;
    int files = 0;

    bool make()
    {
        payload = temporary.path() + "/payload";
        keys = temporary.path() + "/keys";
        key = temporary.path() + "/key.pem";
        otherKey = temporary.path() + "/other.pem";
        const QList<QPair<QString, QByteArray>> contents = {
            {"System/boot.cfg", "boot=1\n"},
            {"System/zentavo-installer/keys/next.pem", "a key for the next update\n"},
            {"Zentavo/Zentavo.exe", QByteArray(2 * 1024 * 1024 + 3, 'z')},
            {"Zentavo/lib/a.dll", "library a"},
            {"Zentavo/lib/b c.dll", "library b"},
            {"Zentavo/lib-extra/x", "sorts after lib/ as sort does"},
            {"Zentavo/data/Técnico.txt", "accent"},
            {"Zentavo/data/.hidden", "hidden"},
            {"Zentavo/data/empty", ""},
        };
        for (const auto& file : contents) {
            if (!writeFile(payload + '/' + file.first, file.second))
                return false;
        }
        files = contents.size();
        return ::symlink("a.dll", QFile::encodeName(payload + "/Zentavo/lib/alias.dll").constData()) == 0
            && QDir().mkpath(keys) && openssl({"genpkey", "-algorithm", "ED25519", "-out", key})
            && openssl({"pkey", "-in", key, "-pubout", "-out", keys + "/device.pem"})
            && openssl({"genpkey", "-algorithm", "ED25519", "-out", otherKey});
    }

    static bool openssl(const QStringList& arguments)
    {
        return runProgram(QStringLiteral("openssl"), arguments).exitCode == 0;
    }
    ToolRun pack(const QStringList& more = {}) const { return runProgram(tool, QStringList{payload} + more); }
    ToolRun verify(bool withKeys) const
    {
        return runProgram(tool, withKeys ? QStringList{"--verify", payload, "--keys", keys}
                                         : QStringList{"--verify", payload});
    }
};

}  // namespace

class TestZentavoPack : public QObject
{
    Q_OBJECT

private slots:
    void packWritesWhatSha256sumWrites();
    void packSignsAsOpensslDoes();
    void verifyRefuses_data();
    void verifyRefuses();
    void packRefusesNamesItCannotList_data();
    void packRefusesNamesItCannotList();
    void packRefusesOtherKeysAndEmptyPayloads();
    void usageErrors_data();
    void usageErrors();
};

void TestZentavoPack::packWritesWhatSha256sumWrites()
{
    Maker maker;
    QVERIFY(maker.make());
    const ToolRun packed = maker.pack();
    QCOMPARE(packed.exitCode, 0);
    QCOMPARE(packed.outputText(), QStringLiteral("wrote SHA256SUMS (%1 files)\n").arg(maker.files));
    QCOMPARE(packed.err, QByteArray());

    // Run in the payload, as a maker runs sha256sum there.
    const ToolRun reference =
        runProgram(QStringLiteral("bash"),
                   {"-c", "find System Zentavo -type f | LC_ALL=C sort | xargs -d '\\n' sha256sum"}, {}, maker.payload);
    QCOMPARE(reference.exitCode, 0);
    QCOMPARE(readFile(maker.payload + "/SHA256SUMS"), reference.out);
    QVERIFY(!reference.out.contains("alias.dll"));

    const ToolRun checked =
        runProgram(QStringLiteral("sha256sum"), {"-c", "--strict", "SHA256SUMS"}, {}, maker.payload);
    QVERIFY2(checked.exitCode == 0, checked.err.constData());

    const ToolRun verified = maker.verify(false);
    QCOMPARE(verified.exitCode, 0);
    QCOMPARE(verified.out, QByteArray("payload OK\n"));
    // The temporary went by rename: the payload's top holds only what it had.
    QCOMPARE(QDir(maker.payload).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"SHA256SUMS", "System", "Zentavo"}));
}

void TestZentavoPack::packSignsAsOpensslDoes()
{
    Maker maker;
    QVERIFY(maker.make());
    const ToolRun packed = maker.pack({"--key", maker.key});
    QCOMPARE(packed.exitCode, 0);
    QCOMPARE(packed.outputText(), QStringLiteral("wrote SHA256SUMS (%1 files)\nwrote SHA256SUMS.sig\n").arg(maker.files));
    QCOMPARE(readFile(maker.payload + "/SHA256SUMS.sig").size(), 64);

    const ToolRun checked = runProgram(QStringLiteral("openssl"),
                                       {"pkeyutl", "-verify", "-pubin", "-inkey", maker.keys + "/device.pem",
                                        "-rawin", "-in", "SHA256SUMS", "-sigfile", "SHA256SUMS.sig"},
                                       {}, maker.payload);
    QVERIFY2(checked.exitCode == 0, checked.err.constData());
    // Ed25519 signatures are deterministic: openssl's own is the same bytes.
    const ToolRun signedByOpenssl =
        runProgram(QStringLiteral("openssl"), {"pkeyutl", "-sign", "-rawin", "-inkey", maker.key, "-in", "SHA256SUMS"},
                   {}, maker.payload);
    QCOMPARE(signedByOpenssl.exitCode, 0);
    QCOMPARE(readFile(maker.payload + "/SHA256SUMS.sig"), signedByOpenssl.out);

    const ToolRun verified = maker.verify(true);
    QCOMPARE(verified.exitCode, 0);
    QCOMPARE(verified.out, QByteArray("payload OK\n"));

    // Packed again without a key, the old signature goes with the old list.
    QCOMPARE(maker.pack().outputText(),
             QStringLiteral("wrote SHA256SUMS (%1 files)\nremoved the old SHA256SUMS.sig\n").arg(maker.files));
    QVERIFY(!QFile::exists(maker.payload + "/SHA256SUMS.sig"));
    QCOMPARE(maker.verify(true).err,
             QByteArray("zentavo-pack: SHA256SUMS.sig: missing, but the device trusts signing keys\n"));
}

void TestZentavoPack::verifyRefuses_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("signedPayload");
    QTest::addColumn<QByteArray>("err");

    QTest::newRow("truncated file") << 0 << false << QByteArray("SHA256SUMS: checksum mismatch: Zentavo/Zentavo.exe");
    QTest::newRow("missing file") << 1 << false << QByteArray("SHA256SUMS: missing: Zentavo/lib/b c.dll");
    QTest::newRow("added file") << 2 << false << QByteArray("SHA256SUMS: not listed: System/new.cfg");
    QTest::newRow("flipped byte") << 3 << false << QByteArray("SHA256SUMS: checksum mismatch: Zentavo/data/.hidden");
    QTest::newRow("damaged SHA256SUMS") << 4 << false << QByteArray("SHA256SUMS: line 1: not a SHA-256 digest in hex");
    QTest::newRow("damaged signed SHA256SUMS") << 4 << true
                                               << QByteArray("SHA256SUMS.sig: not signed by a trusted key");
    QTest::newRow("signed by an unknown key") << 5 << true << QByteArray("SHA256SUMS.sig: not signed by a trusted key");
    QTest::newRow("no signature, keys trusted") << 6 << false
                                                << QByteArray("SHA256SUMS.sig: missing, but the device trusts signing keys");
    QTest::newRow("no SHA256SUMS") << 7 << false
                                   << QByteArray("no SHA256SUMS: the updater would install this payload unchecked");
    QTest::newRow("signed, then a file changed") << 3 << true
                                                 << QByteArray("SHA256SUMS: checksum mismatch: Zentavo/data/.hidden");
}

void TestZentavoPack::verifyRefuses()
{
    QFETCH(int, fault);
    QFETCH(bool, signedPayload);
    QFETCH(QByteArray, err);
    Maker maker;
    QVERIFY(maker.make());
    QCOMPARE(maker.pack(signedPayload ? QStringList{"--key", maker.key} : QStringList{}).exitCode, 0);
    QCOMPARE(maker.verify(signedPayload).exitCode, 0);
    const QString sums = maker.payload + "/SHA256SUMS";
    switch (fault) {
    case 0:
        QVERIFY(QFile::resize(maker.payload + "/Zentavo/Zentavo.exe", 1024 * 1024));
        break;
    case 1:
        QVERIFY(QFile::remove(maker.payload + "/Zentavo/lib/b c.dll"));
        break;
    case 2:
        QVERIFY(writeFile(maker.payload + "/System/new.cfg", "new"));
        break;
    case 3:
        QVERIFY(writeFile(maker.payload + "/Zentavo/data/.hidden", "hiddeN"));
        break;
    case 4: {
        QByteArray text = readFile(sums);
        text[3] = text[3] == '0' ? 'x' : '0';
        text[5] = 'x';
        QVERIFY(writeFile(sums, text));
        break;
    }
    case 5:
        QCOMPARE(maker.pack({"--key", maker.otherKey}).exitCode, 0);
        break;
    case 6:
        signedPayload = true;
        break;
    case 7:
        QVERIFY(QFile::remove(sums));
        break;
    }
    const ToolRun verified = maker.verify(signedPayload);
    QCOMPARE(verified.exitCode, 1);
    QCOMPARE(verified.out, QByteArray());
    QCOMPARE(verified.err, "zentavo-pack: " + err + "\n");
}

void TestZentavoPack::packRefusesNamesItCannotList_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("err");

    QTest::newRow("backslash") << QByteArray("Zentavo/a\\b")
                               << QByteArray("Zentavo/a\\b: a name with a backslash or line feed cannot be listed");
    QTest::newRow("line feed") << QByteArray("Zentavo/a\nb")
                               << QByteArray("Zentavo/a\\x0ab: a name with a backslash or line feed cannot be listed");
    QTest::newRow("carriage return") << QByteArray("System/a\rb")
                                     << QByteArray("System/a\\x0db: cannot be listed (carriage return)");
    QTest::newRow("not UTF-8") << QByteArray("System/\xe9t\xe9") << QByteArray("System/\xe9t\xe9: cannot be listed (not UTF-8)");
}

void TestZentavoPack::packRefusesNamesItCannotList()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, err);
    Maker maker;
    QVERIFY(maker.make());
    const QByteArray path = QFile::encodeName(maker.payload) + '/' + name;
    const auto removeName = qScopeGuard([&] { ::unlink(path.constData()); });
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    const ToolRun packed = maker.pack();
    QCOMPARE(packed.exitCode, 1);
    QCOMPARE(packed.err, "zentavo-pack: " + err + "\n");
    QVERIFY(!QFile::exists(maker.payload + "/SHA256SUMS"));
}

void TestZentavoPack::packRefusesOtherKeysAndEmptyPayloads()
{
    Maker maker;
    QVERIFY(maker.make());
    const QString ecKey = maker.temporary.path() + "/ec.pem";
    QVERIFY(Maker::openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", ecKey}));
    for (const QString& key : {ecKey, maker.keys + "/device.pem", maker.temporary.path() + "/none.pem"}) {
        const ToolRun packed = maker.pack({"--key", key});
        QCOMPARE(packed.exitCode, 1);
        QVERIFY2(packed.err.startsWith("zentavo-pack: " + QFile::encodeName(key) + ": not "), packed.err.constData());
        QVERIFY(!QFile::exists(maker.payload + "/SHA256SUMS"));
    }
    QVERIFY(QDir(maker.payload + "/System").removeRecursively());
    QVERIFY(QDir(maker.payload + "/Zentavo").removeRecursively());
    QVERIFY(QDir().mkpath(maker.payload + "/Zentavo/empty"));
    const ToolRun packed = maker.pack();
    QCOMPARE(packed.exitCode, 1);
    QCOMPARE(packed.err, QByteArray("zentavo-pack: no file below System/ or Zentavo/ to list\n"));
}

void TestZentavoPack::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList();
    QTest::newRow("--verify alone") << QStringList{"--verify"};
    QTest::newRow("unknown option") << QStringList{"dir", "--sign"};
    QTest::newRow("two folders") << QStringList{"dir", "other"};
    QTest::newRow("--key without a file") << QStringList{"dir", "--key"};
    QTest::newRow("--keys without --verify") << QStringList{"dir", "--keys", "keys"};
    QTest::newRow("--key with --verify") << QStringList{"--verify", "dir", "--key", "key.pem"};
    QTest::newRow("two keys") << QStringList{"dir", "--key", "a.pem", "--key", "b.pem"};
    QTest::newRow("--verify after the folder") << QStringList{"dir", "--verify"};
}

void TestZentavoPack::usageErrors()
{
    QFETCH(QStringList, arguments);
    const ToolRun run = runProgram(tool, arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith("zentavo-pack: usage: zentavo-pack PAYLOAD_DIR"), run.err.constData());
}

QTEST_GUILESS_MAIN(TestZentavoPack)
#include "tst_zentavopack.moc"
