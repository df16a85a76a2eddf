// PayloadCheck: the SHA256SUMS parser, the Ed25519 signature check and the
// whole check of a payload folder, on hostile input of every kind.
#include "payloadcheck.h"

#include <QCryptographicHash>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Entries = std::map<QByteArray, PayloadCheck::Digest>;

namespace {

const QByteArray hexA = QByteArray(64, 'a');
const QByteArray hexB = QByteArray("0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdef0123");

// Two Ed25519 key pairs from RFC 8032, section 7.1 (tests 1 and 2), with
// the signatures the RFC gives for their messages ("" and "\x72").
const char seed1[] = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
const char public1[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const char signature1[] = "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b";
const char seed2[] = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";
const char public2[] = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";
const char signature2[] = "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00";

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

QByteArray publicPem(int type, const char* publicHex)
{
    const QByteArray raw = QByteArray::fromHex(publicHex);
    const Key key(EVP_PKEY_new_raw_public_key(type, nullptr, reinterpret_cast<const unsigned char*>(raw.constData()),
                                              size_t(raw.size())),
                  EVP_PKEY_free);
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!key || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1)
        return QByteArray();
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(length));
}

QByteArray signWith(const char* seedHex, const QByteArray& message)
{
    const QByteArray seed = QByteArray::fromHex(seedHex);
    const Key key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                               reinterpret_cast<const unsigned char*>(seed.constData()), 32),
                  EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    QByteArray signature(64, '\0');
    size_t length = 64;
    if (!key || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                          reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size())) != 1)
        return QByteArray();
    return signature;
}

QByteArray native(const QString& path) { return QFile::encodeName(path); }

// A file whose name need not be UTF-8.
bool writeNative(const QByteArray& path, const QByteArray& data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    const bool written = fd >= 0 && ::write(fd, data.constData(), size_t(data.size())) == data.size();
    return fd >= 0 && ::close(fd) == 0 && written;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray sha256Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// A payload folder with a few files in both trees, a link and a manifest of
// them, and a folder of trusted keys beside it (empty unless filled).
struct Payload
{
    QTemporaryDir temporary;
    QString dir;
    QString keys;
    std::map<QByteArray, QByteArray> files;  // listed path -> contents

    Payload()
    {
        dir = temporary.path() + "/payload";
        keys = temporary.path() + "/keys";
        QDir().mkpath(keys);
        files = {{"System/boot.cfg", "boot=1\n"},
                 {"System/lib/empty", ""},
                 {"Zentavo/Zentavo.exe", QByteArray(3 * 1024 * 1024 + 5, 'x')},
                 {"Zentavo/lib/a.dll", "library a"},
                 {"Zentavo/lib/b c.dll", "library b"},
                 {"Zentavo/data/Técnico.txt", "accent"}};
        for (const auto& file : files)
            writeFile(dir + '/' + QString::fromUtf8(file.first), file.second);
        // Links are installed as links and not listed.
        ::symlink("a.dll", native(dir + "/Zentavo/lib/alias.dll").constData());
        writeManifest(manifestText());
    }

    QByteArray manifestText() const
    {
        QByteArray text;
        for (const auto& file : files)
            text += sha256Hex(file.second) + "  " + file.first + '\n';
        return text;
    }
    bool writeManifest(const QByteArray& text) const { return writeFile(dir + "/SHA256SUMS", text); }
    bool sign(const char* seedHex) const
    {
        return writeFile(dir + "/SHA256SUMS.sig", signWith(seedHex, readManifest()));
    }
    QByteArray readManifest() const
    {
        QFile file(dir + "/SHA256SUMS");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool trust(const QString& name, const QByteArray& pem) const { return writeFile(keys + '/' + name, pem); }

    PayloadCheck::Outcome run(QString* error, PayloadCheck* check = nullptr) const
    {
        PayloadCheck own;
        return (check ? check : &own)->run(native(dir), native(keys), error);
    }
};

// The faults of refusesPayloadFaults, in three kinds; each function makes
// those of its kind and leaves the others alone. A failed step fails the test.

// In the trees' files: one added, changed, cut short or removed, a FIFO, a
// name that no listing can hold.
void breakFiles(int fault, const Payload& payload, const QByteArray& oddName)
{
    const QString zentavo = payload.dir + "/Zentavo";
    switch (fault) {
    case 0:
        QVERIFY(writeFile(zentavo + "/lib/new.dll", "new"));
        break;
    case 1: {
        QFile file(zentavo + "/Zentavo.exe");
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(2 * 1024 * 1024));
        QVERIFY(file.write("y") == 1);
        break;
    }
    case 2:
        QVERIFY(QFile::resize(zentavo + "/lib/a.dll", 3));
        break;
    case 3:
        QVERIFY(QFile::remove(payload.dir + "/System/boot.cfg"));
        break;
    case 6:
        QCOMPARE(::mkfifo(native(zentavo + "/pipe").constData(), 0644), 0);
        break;
    case 13:
        QVERIFY(writeNative(oddName, "x"));
        break;
    }
}

// In what the manifest lists, or in the manifest itself.
void breakListing(int fault, const Payload& payload, QByteArray* manifest)
{
    switch (fault) {
    case 4:
        *manifest += hexA + "  Zentavo/lib/alias.dll\n";
        break;
    case 5:
        *manifest += hexA + "  Zentavo/lib\n";
        break;
    case 7:
        QVERIFY(writeFile(payload.dir + "/README.txt", "read me"));
        *manifest += sha256Hex("read me") + "  README.txt\n";
        break;
    case 9:
        *manifest += hexA + "  Zentavo/./x\n";
        break;
    case 11:
        // One byte over the limit.
        while (manifest->size() < PayloadCheck::maxManifestBytes)
            *manifest += *manifest;
        manifest->truncate(int(PayloadCheck::maxManifestBytes + 1));
        break;
    case 12:
        manifest->clear();
        break;
    }
}

// Links where the check must not follow one: a tree, the manifest, a folder.
void placeLinks(int fault, const Payload& payload, QByteArray* manifest)
{
    const QString zentavo = payload.dir + "/Zentavo";
    switch (fault) {
    case 8:
        QVERIFY(QDir(payload.dir + "/System").removeRecursively());
        QCOMPARE(::symlink("Zentavo", native(payload.dir + "/System").constData()), 0);
        *manifest = hexA + "  Zentavo/x\n";
        break;
    case 10:
        QVERIFY(writeFile(payload.temporary.path() + "/elsewhere", *manifest));
        QCOMPARE(::symlink("../elsewhere", native(payload.dir + "/SHA256SUMS.new").constData()), 0);
        QCOMPARE(::rename(native(payload.dir + "/SHA256SUMS.new").constData(),
                          native(payload.dir + "/SHA256SUMS").constData()),
                 0);
        QVERIFY(payload.run(nullptr) == PayloadCheck::Outcome::Refused);
        break;
    case 14:
        QVERIFY(QDir(zentavo + "/lib").removeRecursively());
        QVERIFY(QDir().mkpath(payload.temporary.path() + "/lib"));
        QVERIFY(writeFile(payload.temporary.path() + "/lib/a.dll", "library a"));
        QVERIFY(writeFile(payload.temporary.path() + "/lib/b c.dll", "library b"));
        QCOMPARE(::symlink("../../lib", native(zentavo + "/lib").constData()), 0);
        break;
    }
}

}  // namespace

class TestPayloadCheck : public QObject
{
    Q_OBJECT

private slots:
    void parseAcceptsWhatSha256sumWrites_data();
    void parseAcceptsWhatSha256sumWrites();
    void parseRefusesHostileText_data();
    void parseRefusesHostileText();
    void parseTakesLinesUpToTheLimit();

    void verifySignature_data();
    void verifySignature();

    void noManifest();
    void passesAndRecordsIdentities();
    void refusesPayloadFaults_data();
    void refusesPayloadFaults();
    void reportsTheSmallestFailingPath();
    void manifestThatIsNoRegularFileIsNeverOpened();
    void signatures_data();
    void signatures();
    void digestFileRefusesWhatIsNotARegularFile();
};

void TestPayloadCheck::parseAcceptsWhatSha256sumWrites_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("path");    // one of the entries
    QTest::addColumn<QByteArray>("digest");  // its digest in hex
    QTest::addColumn<int>("count");

    QTest::newRow("text mode") << hexA + "  System/a\n" << QByteArray("System/a") << hexA << 1;
    QTest::newRow("binary mode, upper case hex") << hexB + " *Zentavo/b c.dll\n" << QByteArray("Zentavo/b c.dll")
                                                 << hexB.toLower() << 1;
    QTest::newRow("UTF-8 name, several lines")
        << hexA + "  Zentavo/a\n" + hexB + "  Zentavo/T\xc3\xa9" "cnico\xf0\x9f\x98\x80\n" + hexA + " *Zentavo/c\n"
        << QByteArray("Zentavo/T\xc3\xa9" "cnico\xf0\x9f\x98\x80") << hexB.toLower() << 3;
    QTest::newRow("name with spaces and a leading star") << hexA + "  Zentavo/ *x \n" << QByteArray("Zentavo/ *x ")
                                                         << hexA << 1;
    QTest::newRow("hidden files") << hexA + "  Zentavo/.hidden\n" << QByteArray("Zentavo/.hidden") << hexA << 1;
}

void TestPayloadCheck::parseAcceptsWhatSha256sumWrites()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, digest);
    QFETCH(int, count);
    Entries entries;
    QString error;
    QVERIFY2(PayloadCheck::parse(text, &entries, &error), qPrintable(error));
    QCOMPARE(int(entries.size()), count);
    QVERIFY(entries.count(path) == 1);
    const PayloadCheck::Digest& found = entries.at(path);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(found.data()), 32).toHex(), digest);
}

void TestPayloadCheck::parseRefusesHostileText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    const QByteArray good = hexA + "  Zentavo/ok\n";
    QTest::newRow("empty file") << QByteArray() << "empty file";
    QTest::newRow("no final line feed") << good + hexA + "  Zentavo/b" << "line 2: no line feed at the end";
    QTest::newRow("CRLF") << hexA + "  Zentavo/a\r\n" << "line 1: carriage return";
    QTest::newRow("CR inside a name") << good + hexB + "  Zentavo/b\n" + hexA + "  Zentavo/a\rb\n" << "line 3: carriage return";
    QTest::newRow("empty line") << good + "\n" + good << "line 2: empty line";
    QTest::newRow("only a line feed") << QByteArray("\n") << "line 1: empty line";
    QTest::newRow("over-long line") << good + hexA + "  Zentavo/" + QByteArray(4096, 'n') + "\n"
                                    << "line 2: longer than 4096 bytes";
    QTest::newRow("NUL") << hexA + "  Zentavo/a" + QByteArray(1, '\0') + "b\n" << "line 1: NUL byte";
    QTest::newRow("invalid byte") << hexA + "  Zentavo/\xff\n" << "line 1: not UTF-8";
    QTest::newRow("overlong slash") << hexA + "  Zentavo/\xc0\xaf\n" << "line 1: not UTF-8";
    QTest::newRow("overlong three bytes") << hexA + "  Zentavo/\xe0\x80\xaf\n" << "line 1: not UTF-8";
    QTest::newRow("surrogate") << hexA + "  Zentavo/\xed\xa0\x80\n" << "line 1: not UTF-8";
    QTest::newRow("above U+10FFFF") << hexA + "  Zentavo/\xf4\x90\x80\x80\n" << "line 1: not UTF-8";
    QTest::newRow("cut sequence") << hexA + "  Zentavo/\xc3\n" << "line 1: not UTF-8";
    QTest::newRow("lone continuation") << hexA + "  Zentavo/\x80\n" << "line 1: not UTF-8";
    QTest::newRow("absolute path") << hexA + "  /FlashDisk/Zentavo/a\n" << "line 1: absolute path";
    QTest::newRow("absolute, binary mode") << hexA + " */etc/passwd\n" << "line 1: absolute path";
    QTest::newRow("empty component") << hexA + "  Zentavo//a\n" << "line 1: empty path component";
    QTest::newRow("dot component") << hexA + "  Zentavo/./a\n" << "line 1: \".\" or \"..\" in the path";
    QTest::newRow("dot-dot component") << hexA + "  Zentavo/../../etc/a\n" << "line 1: \".\" or \"..\" in the path";
    QTest::newRow("dot-dot alone") << hexA + "  ..\n" << "line 1: \".\" or \"..\" in the path";
    QTest::newRow("trailing slash") << hexA + "  Zentavo/lib/\n" << "line 1: path ends with a slash";
    QTest::newRow("no path") << hexA + "  \n" << "line 1: no file name";
    QTest::newRow("backslash in a name") << hexA + "  Zentavo/a\\b\n" << "line 1: backslash";
    QTest::newRow("escaped line as sha256sum writes it") << "\\" + hexA + "  Zentavo/a\\nb\n" << "line 1: backslash";
    QTest::newRow("duplicate") << good + hexB + " *Zentavo/ok\n" << "line 2: listed twice: Zentavo/ok";
    QTest::newRow("short digest") << QByteArray(63, 'a') + "  Zentavo/a\n" << "line 1: not a SHA-256 digest in hex";
    QTest::newRow("non-hex digit") << "g" + QByteArray(63, 'a') + "  Zentavo/a\n"
                                   << "line 1: not a SHA-256 digest in hex";
    QTest::newRow("digest alone") << hexA + "\n" << "line 1: no \"  \" or \" *\" after the digest";
    QTest::newRow("one space") << hexA + " Zentavo/a\n" << "line 1: no \"  \" or \" *\" after the digest";
    QTest::newRow("tab") << hexA + "\tZentavo/a\n" << "line 1: no \"  \" or \" *\" after the digest";
    QTest::newRow("long digest") << hexA + "b  Zentavo/a\n" << "line 1: no \"  \" or \" *\" after the digest";
    QTest::newRow("BSD style") << "SHA256 (Zentavo/a) = " + hexA + "\n" << "line 1: not a SHA-256 digest in hex";
}

void TestPayloadCheck::parseRefusesHostileText()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    Entries entries;
    QString got;
    QVERIFY(!PayloadCheck::parse(text, &entries, &got));
    QCOMPARE(got, error);
}

void TestPayloadCheck::parseTakesLinesUpToTheLimit()
{
    const QByteArray path = "Zentavo/" + QByteArray(PayloadCheck::maxLineBytes - 66 - 8, 'n');
    const QByteArray line = hexA + "  " + path;
    QCOMPARE(line.size(), PayloadCheck::maxLineBytes);
    Entries entries;
    QString error;
    QVERIFY2(PayloadCheck::parse(line + '\n', &entries, &error), qPrintable(error));
    QVERIFY(entries.count(path) == 1);
    QVERIFY(!PayloadCheck::parse(hexA + "  " + path + "n\n", &entries, &error));
}

void TestPayloadCheck::verifySignature_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QList<QByteArray>>("keys");
    QTest::addColumn<QString>("error");  // empty: verified

    const QByteArray key1 = publicPem(EVP_PKEY_ED25519, public1);
    const QByteArray key2 = publicPem(EVP_PKEY_ED25519, public2);
    const QByteArray x25519 = publicPem(EVP_PKEY_X25519, public1);
    const QByteArray sig1 = QByteArray::fromHex(signature1);
    const QByteArray sig2 = QByteArray::fromHex(signature2);
    QByteArray flipped = sig2;
    flipped[10] = char(flipped[10] ^ 0x01);
    const QString untrusted = QStringLiteral("not signed by a trusted key");
    const QString unusable = QStringLiteral("no trusted key is a usable Ed25519 public key");

    QTest::newRow("RFC 8032 test 1") << QByteArray() << sig1 << QList<QByteArray>{key1} << QString();
    QTest::newRow("RFC 8032 test 2") << QByteArray("\x72") << sig2 << QList<QByteArray>{key2} << QString();
    QTest::newRow("second of several keys")
        << QByteArray("\x72") << sig2 << QList<QByteArray>{"garbage", x25519, key1, key2} << QString();
    QTest::newRow("other key") << QByteArray("\x72") << sig2 << QList<QByteArray>{key1} << untrusted;
    QTest::newRow("other message") << QByteArray("\x73") << sig2 << QList<QByteArray>{key1, key2} << untrusted;
    QTest::newRow("flipped bit") << QByteArray("\x72") << flipped << QList<QByteArray>{key2} << untrusted;
    QTest::newRow("63 bytes") << QByteArray("\x72") << sig2.left(63) << QList<QByteArray>{key2}
                              << "not an Ed25519 signature (63 bytes, not 64)";
    QTest::newRow("65 bytes") << QByteArray("\x72") << sig2 + 'x' << QList<QByteArray>{key2}
                              << "not an Ed25519 signature (65 bytes, not 64)";
    QTest::newRow("no keys") << QByteArray("\x72") << sig2 << QList<QByteArray>{} << unusable;
    QTest::newRow("only broken keys")
        << QByteArray("\x72") << sig2 << QList<QByteArray>{QByteArray(), key2.left(40), "garbage"} << unusable;
    QTest::newRow("X25519 key of the same bytes") << QByteArray() << sig1 << QList<QByteArray>{x25519} << unusable;
    // Such a header would make OpenSSL ask for a passphrase on the console.
    QByteArray encrypted = key1;
    encrypted.insert(encrypted.indexOf('\n') + 1,
                     "Proc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,00112233445566778899AABBCCDDEEFF\n\n");
    QTest::newRow("key claiming to be encrypted") << QByteArray() << sig1 << QList<QByteArray>{encrypted} << unusable;
}

void TestPayloadCheck::verifySignature()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, signature);
    QFETCH(QList<QByteArray>, keys);
    QFETCH(QString, error);
    QString got;
    QCOMPARE(PayloadCheck::verifySignature(message, signature, keys, &got), error.isEmpty());
    QCOMPARE(got, error);
}

void TestPayloadCheck::noManifest()
{
    Payload payload;
    QVERIFY(QFile::remove(payload.dir + "/SHA256SUMS"));
    QString error = QStringLiteral("untouched");
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::NoManifest);
    QCOMPARE(error, QStringLiteral("untouched"));
    // Names that are not *.pem are no keys.
    QVERIFY(payload.trust("key.pem.old", publicPem(EVP_PKEY_ED25519, public1)));
    QVERIFY(payload.trust("README", "keys go here"));
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::NoManifest);
    // A missing keys folder is no keys either; nor is a missing payload.
    PayloadCheck check;
    QCOMPARE(check.run(native(payload.dir), native(payload.temporary.path() + "/none"), &error),
             PayloadCheck::Outcome::NoManifest);
    QCOMPARE(check.run(native(payload.temporary.path() + "/none"), QByteArray(), &error),
             PayloadCheck::Outcome::NoManifest);
    QCOMPARE(error, QStringLiteral("untouched"));

    QVERIFY(payload.trust("key.pem", publicPem(EVP_PKEY_ED25519, public1)));
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::Refused);
    QCOMPARE(error, QStringLiteral("SHA256SUMS: missing, but the device trusts signing keys"));
}

void TestPayloadCheck::passesAndRecordsIdentities()
{
    Payload payload;
    PayloadCheck check;
    QString error;
    QCOMPARE(payload.run(&error, &check), PayloadCheck::Outcome::Passed);
    QCOMPARE(error, QString());
    QCOMPARE(int(check.checkedFiles().size()), int(payload.files.size()));
    for (const auto& file : payload.files) {
        const auto found = check.checkedFiles().find(file.first);
        QVERIFY2(found != check.checkedFiles().end(), file.first.constData());
        struct stat st;
        QCOMPARE(::lstat(native(payload.dir + '/' + QString::fromUtf8(file.first)).constData(), &st), 0);
        QCOMPARE(found->second.device, st.st_dev);
        QCOMPARE(found->second.inode, st.st_ino);
        QCOMPARE(found->second.size, st.st_size);
        QCOMPARE(found->second.modified.tv_sec, st.st_mtim.tv_sec);
        QCOMPARE(found->second.modified.tv_nsec, st.st_mtim.tv_nsec);
        QCOMPARE(found->second.changed.tv_nsec, st.st_ctim.tv_nsec);
    }
    QVERIFY(check.checkedFiles().count("Zentavo/lib/alias.dll") == 0);

    // Binary mode lines and a missing System tree are as good.
    QVERIFY(QDir(payload.dir + "/System").removeRecursively());
    QByteArray text;
    for (const auto& file : payload.files) {
        if (file.first.startsWith("Zentavo/"))
            text += sha256Hex(file.second).toUpper() + " *" + file.first + '\n';
    }
    QVERIFY(payload.writeManifest(text));
    QCOMPARE(payload.run(&error, &check), PayloadCheck::Outcome::Passed);
    QCOMPARE(int(check.checkedFiles().size()), 4);

    // A refusal leaves no checked files behind.
    QVERIFY(writeFile(payload.dir + "/Zentavo/new", "x"));
    QCOMPARE(payload.run(&error, &check), PayloadCheck::Outcome::Refused);
    QVERIFY(check.checkedFiles().empty());
}

void TestPayloadCheck::refusesPayloadFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("error");

    QTest::newRow("file not listed") << 0 << "SHA256SUMS: not listed: Zentavo/lib/new.dll";
    QTest::newRow("flipped byte") << 1 << "SHA256SUMS: checksum mismatch: Zentavo/Zentavo.exe";
    QTest::newRow("truncated file") << 2 << "SHA256SUMS: checksum mismatch: Zentavo/lib/a.dll";
    QTest::newRow("listed file missing") << 3 << "SHA256SUMS: missing: System/boot.cfg";
    QTest::newRow("listed name is a link") << 4 << "SHA256SUMS: not a regular file: Zentavo/lib/alias.dll";
    QTest::newRow("listed name is a folder") << 5 << "SHA256SUMS: not a regular file: Zentavo/lib";
    QTest::newRow("FIFO in a tree") << 6 << "SHA256SUMS: not a regular file: Zentavo/pipe";
    QTest::newRow("file outside the trees") << 7 << "SHA256SUMS: not part of a payload tree: README.txt";
    QTest::newRow("tree is a link") << 8 << "SHA256SUMS: not a folder: System";
    QTest::newRow("manifest line refused") << 9 << "SHA256SUMS: line 7: \".\" or \"..\" in the path";
    QTest::newRow("manifest is a link") << 10 << "SHA256SUMS: not a regular file";
    QTest::newRow("manifest too large") << 11 << "SHA256SUMS: larger than 16777216 bytes";
    QTest::newRow("manifest empty") << 12 << "SHA256SUMS: empty file";
    QTest::newRow("unlisted name with a line feed") << 13 << "SHA256SUMS: not listed: Zentavo/a\\x0ab\\x1b\\x5c\\xff";
    QTest::newRow("file behind a linked folder") << 14 << "SHA256SUMS: missing: Zentavo/lib/a.dll";
}

void TestPayloadCheck::refusesPayloadFaults()
{
    QFETCH(int, fault);
    QFETCH(QString, error);
    Payload payload;
    QByteArray manifest = payload.manifestText();
    // QTemporaryDir cannot remove a name that is not UTF-8.
    const QByteArray oddName = native(payload.dir + "/Zentavo") + "/a\nb\x1b\\\xff";
    const auto removeOddName = qScopeGuard([&] { ::unlink(oddName.constData()); });
    breakFiles(fault, payload, oddName);
    breakListing(fault, payload, &manifest);
    placeLinks(fault, payload, &manifest);
    if (QTest::currentTestFailed())
        return;
    if (fault != 10)
        QVERIFY(payload.writeManifest(manifest));
    QString got;
    QCOMPARE(payload.run(&got), PayloadCheck::Outcome::Refused);
    QCOMPARE(got, error);
}

void TestPayloadCheck::reportsTheSmallestFailingPath()
{
    // Faults in several places: whatever order the folders list them in, the
    // smallest path is the one reported.
    Payload payload;
    QVERIFY(writeFile(payload.dir + "/Zentavo/z-new", "new"));
    QVERIFY(writeFile(payload.dir + "/Zentavo/lib/a.dll", "changed"));
    QVERIFY(writeFile(payload.dir + "/Zentavo/a-new", "new"));
    QVERIFY(QFile::remove(payload.dir + "/Zentavo/data/Técnico.txt"));
    QVERIFY(writeFile(payload.dir + "/System/lib/empty", "no longer empty"));
    QString error;
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::Refused);
    QCOMPARE(error, QStringLiteral("SHA256SUMS: checksum mismatch: System/lib/empty"));
    QVERIFY(writeFile(payload.dir + "/System/lib/empty", ""));
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::Refused);
    QCOMPARE(error, QStringLiteral("SHA256SUMS: not listed: Zentavo/a-new"));
    QVERIFY(QFile::remove(payload.dir + "/Zentavo/a-new"));
    QVERIFY(QFile::remove(payload.dir + "/Zentavo/z-new"));
    // Many in one folder, made out of order: the folder's own order is
    // the file system's (hashed on ext4, newest first on tmpfs).
    for (int i = 0; i < 31; ++i)
        QVERIFY(writeFile(payload.dir + QStringLiteral("/Zentavo/data/A%1").arg(i * 7 % 31, 2, 10, QLatin1Char('0')), "x"));
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::Refused);
    QCOMPARE(error, QStringLiteral("SHA256SUMS: not listed: Zentavo/data/A00"));
    for (int i = 0; i < 31; ++i)
        QVERIFY(QFile::remove(payload.dir + QStringLiteral("/Zentavo/data/A%1").arg(i, 2, 10, QLatin1Char('0'))));
    // A listed file found missing only after the walk still comes before a
    // mismatch the walk met first.
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::Refused);
    QCOMPARE(error, QStringLiteral("SHA256SUMS: missing: Zentavo/data/Técnico.txt"));
}

void TestPayloadCheck::manifestThatIsNoRegularFileIsNeverOpened()
{
    // A FIFO would block a plain open, and a read, for ever.
    Payload payload;
    QVERIFY(QFile::remove(payload.dir + "/SHA256SUMS"));
    QCOMPARE(::mkfifo(native(payload.dir + "/SHA256SUMS").constData(), 0644), 0);
    QString error;
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::Refused);
    QCOMPARE(error, QStringLiteral("SHA256SUMS: not a regular file"));
    QVERIFY(payload.trust("key.pem", publicPem(EVP_PKEY_ED25519, public1)));
    QVERIFY(QFile::remove(payload.dir + "/SHA256SUMS"));
    QVERIFY(payload.writeManifest(payload.manifestText()));
    QCOMPARE(::mkfifo(native(payload.dir + "/SHA256SUMS.sig").constData(), 0644), 0);
    QCOMPARE(payload.run(&error), PayloadCheck::Outcome::Refused);
    QCOMPARE(error, QStringLiteral("SHA256SUMS.sig: not a regular file"));
}

void TestPayloadCheck::signatures_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("error");  // empty: passed

    QTest::newRow("signed by the trusted key") << 0 << QString();
    QTest::newRow("signed by one of two keys") << 1 << QString();
    QTest::newRow("no signature") << 2 << "SHA256SUMS.sig: missing, but the device trusts signing keys";
    QTest::newRow("signed by another key") << 3 << "SHA256SUMS.sig: not signed by a trusted key";
    QTest::newRow("signature of other bytes") << 4 << "SHA256SUMS.sig: not signed by a trusted key";
    QTest::newRow("only a broken key") << 5 << "SHA256SUMS.sig: no trusted key is a usable Ed25519 public key";
    QTest::newRow("key file is a link") << 6 << "SHA256SUMS.sig: no trusted key is a usable Ed25519 public key";
    QTest::newRow("key file too large") << 7 << "SHA256SUMS.sig: no trusted key is a usable Ed25519 public key";
    QTest::newRow("signature with a line feed") << 8 << "SHA256SUMS.sig: not an Ed25519 signature (65 bytes, not 64)";
    QTest::newRow("signature checked before the text is parsed") << 9 << "SHA256SUMS.sig: not signed by a trusted key";
    QTest::newRow("signed, but a file changed") << 10 << "SHA256SUMS: checksum mismatch: Zentavo/lib/a.dll";
    QTest::newRow("no keys: a bad signature is ignored") << 11 << QString();
    QTest::newRow("keys folder is a file") << 12 << "trusted keys: cannot open %1 (Not a directory)";
}

void TestPayloadCheck::signatures()
{
    QFETCH(int, setup);
    QFETCH(QString, error);
    Payload payload;
    const QByteArray key1 = publicPem(EVP_PKEY_ED25519, public1);
    if (setup != 11 && setup != 12)
        QVERIFY(payload.trust("device.pem", setup == 5 ? QByteArray("-----BEGIN PUBLIC KEY-----\n") : key1));
    switch (setup) {
    case 1:
        QVERIFY(payload.trust("a-other.pem", publicPem(EVP_PKEY_ED25519, public2)));
        QVERIFY(payload.trust("b-broken.pem", "broken"));
        QVERIFY(payload.sign(seed2));
        break;
    case 3:
        QVERIFY(payload.sign(seed2));
        break;
    case 4:
        QVERIFY(writeFile(payload.dir + "/SHA256SUMS.sig", signWith(seed1, payload.readManifest() + "\n")));
        break;
    case 6:
        QVERIFY(writeFile(payload.temporary.path() + "/real.pem", key1));
        QVERIFY(QFile::remove(payload.keys + "/device.pem"));
        QCOMPARE(::symlink("../real.pem", native(payload.keys + "/device.pem").constData()), 0);
        QVERIFY(payload.sign(seed1));
        break;
    case 7:
        QVERIFY(payload.trust("device.pem", key1 + QByteArray(64 * 1024, '\n')));
        QVERIFY(payload.sign(seed1));
        break;
    case 8:
        QVERIFY(writeFile(payload.dir + "/SHA256SUMS.sig", signWith(seed1, payload.readManifest()) + "\n"));
        break;
    case 9:
        QVERIFY(payload.writeManifest("garbage"));
        QVERIFY(writeFile(payload.dir + "/SHA256SUMS.sig", signWith(seed2, "garbage")));
        break;
    case 10:
        QVERIFY(payload.sign(seed1));
        QVERIFY(writeFile(payload.dir + "/Zentavo/lib/a.dll", "library A"));
        break;
    case 11:
        QVERIFY(writeFile(payload.dir + "/SHA256SUMS.sig", "not a signature"));
        break;
    case 12:
        QVERIFY(QDir(payload.keys).removeRecursively());
        QVERIFY(writeFile(payload.keys, key1));
        error = error.arg(payload.keys);
        break;
    case 2:
        break;
    default:
        QVERIFY(payload.sign(seed1));
    }
    QString got;
    QCOMPARE(payload.run(&got), error.isEmpty() ? PayloadCheck::Outcome::Passed : PayloadCheck::Outcome::Refused);
    QCOMPARE(got, error);
}

void TestPayloadCheck::digestFileRefusesWhatIsNotARegularFile()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path() + "/file", "abc"));
    QCOMPARE(::mkfifo(native(dir.path() + "/fifo").constData(), 0644), 0);
    QCOMPARE(::symlink("file", native(dir.path() + "/link").constData()), 0);
    const int fd = ::open(native(dir.path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(fd >= 0);
    PayloadCheck::Digest digest;
    PayloadCheck::Identity identity;
    int error = 0;
    QVERIFY(PayloadCheck::digestFile(fd, "file", &digest, &identity, &error));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(digest.data()), 32).toHex(), sha256Hex("abc"));
    QCOMPARE(identity.size, off_t(3));
    for (const char* name : {"fifo", "link"}) {
        QVERIFY(!PayloadCheck::digestFile(fd, name, &digest, &identity, &error));
        QCOMPARE(error, ESTALE);
    }
    QVERIFY(!PayloadCheck::digestFile(fd, "none", &digest, &identity, &error));
    QCOMPARE(error, ENOENT);
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestPayloadCheck)
#include "tst_payloadcheck.moc"
