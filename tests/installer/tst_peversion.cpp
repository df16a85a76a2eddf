#include "fileinstaller.h"
#include "peversion.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <random>

namespace {

QStringList capturedLines;

void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    capturedLines.append(message);
}

QString fixture(const char* name)
{
    return QStringLiteral(ZENTAVO_FIXTURES "/") + QLatin1String(name);
}

QByteArray readFixture(const char* name)
{
    QFile file(fixture(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

quint32 dwordAt(const QByteArray& data, qint64 offset)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(data.constData() + offset));
}

quint16 wordAt(const QByteArray& data, qint64 offset)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(data.constData() + offset));
}

void setWord(QByteArray& data, qint64 offset, quint16 value)
{
    qToLittleEndian<quint16>(value, reinterpret_cast<uchar*>(data.data() + offset));
}

void setDword(QByteArray& data, qint64 offset, quint32 value)
{
    qToLittleEndian<quint32>(value, reinterpret_cast<uchar*>(data.data() + offset));
}

QByteArray utf16(const char* text)
{
    QByteArray bytes;
    for (const char* c = text; *c; ++c)
        bytes.append(*c).append('\0');
    return bytes;
}

// Where the parts of a fixture lie, found the way a hex-editor user would:
// the fixed header fields, and the version nodes by their UTF-16 keys.
struct Layout
{
    explicit Layout(const QByteArray& image)
    {
        pe = dwordAt(image, 0x3c);
        optional = pe + 24;
        const bool plus = wordAt(image, optional) == 0x20b;
        directoryCount = optional + (plus ? 108 : 92);
        resourceSlot = directoryCount + 4 + 2 * 8;
        const quint32 resourceRva = dwordAt(image, resourceSlot);
        const qint64 table = optional + wordAt(image, pe + 20);
        for (int i = 0; i < wordAt(image, pe + 6); ++i) {
            const qint64 header = table + i * 40;
            if (dwordAt(image, header + 12) == resourceRva) {
                rsrcHeader = header;
                rsrc = dwordAt(image, header + 20);
            }
        }
        typeEntry = rsrc + 16;
        nameDirectory = rsrc + (dwordAt(image, typeEntry + 4) & 0x7fffffff);
        languageDirectory = rsrc + (dwordAt(image, nameDirectory + 16 + 4) & 0x7fffffff);
        dataEntry = rsrc + dwordAt(image, languageDirectory + 16 + 4);
        version = node(image, "VS_VERSION_INFO");
        versionEnd = version + wordAt(image, version);
    }

    static qint64 node(const QByteArray& image, const char* key)
    {
        const qint64 found = image.indexOf(utf16(key));
        return found < 0 ? -1 : found - 6;
    }

    qint64 pe = 0;
    qint64 optional = 0;
    qint64 directoryCount = 0;
    qint64 resourceSlot = 0;
    qint64 rsrcHeader = -1;
    qint64 rsrc = -1;
    qint64 typeEntry = 0;
    qint64 nameDirectory = 0;
    qint64 languageDirectory = 0;
    qint64 dataEntry = 0;
    qint64 version = 0;
    qint64 versionEnd = 0;
};

struct Malformation
{
    const char* name;
    const char* fixture;
    std::function<void(QByteArray&, const Layout&)> apply;
    PeVersion::Error error;  // NoError: the block reads, the version query fails
    const char* version;     // what productVersion still answers, or nullptr
};

const char* const zentavo = "zentavo-2.4.1.0.exe";
const char* const plus = "pe32plus-3.0.0.7.exe";

const QList<Malformation>& malformations()
{
    using E = PeVersion::Error;
    static const QList<Malformation> list = {
        {"PE header offset past the end", zentavo,
         [](QByteArray& d, const Layout&) { setDword(d, 0x3c, quint32(d.size()) + 100); }, E::BadExeFormat, nullptr},
        {"PE header offset near 4 GiB", zentavo,
         [](QByteArray& d, const Layout&) { setDword(d, 0x3c, 0xfffffff0u); }, E::BadExeFormat, nullptr},
        {"no PE signature", zentavo,
         [](QByteArray& d, const Layout& l) { d[int(l.pe)] = 'X'; }, E::BadExeFormat, nullptr},
        {"no MZ signature", zentavo,
         [](QByteArray& d, const Layout&) { d[0] = 'Z'; }, E::BadExeFormat, nullptr},
        {"65535 sections", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.pe + 6, 0xffff); }, E::BadExeFormat, nullptr},
        {"no sections", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.pe + 6, 0); }, E::BadExeFormat, nullptr},
        {"optional header past the end", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.pe + 20, 0xffff); }, E::BadExeFormat, nullptr},
        {"unknown optional header magic", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.optional, 0x107); }, E::BadExeFormat, nullptr},
        {"PE32+ optional header too short for its directories", plus,
         [](QByteArray& d, const Layout& l) { setWord(d, l.pe + 20, 100); }, E::BadExeFormat, nullptr},
        {"no resource directory slot", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.directoryCount, 2); }, E::ResourceDataNotFound, nullptr},
        {"PE32+ without resource directory slot", plus,
         [](QByteArray& d, const Layout& l) { setDword(d, l.directoryCount, 2); }, E::ResourceDataNotFound, nullptr},
        {"resource directory empty", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.resourceSlot, 0); }, E::ResourceDataNotFound, nullptr},
        {"resource root outside every section", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.resourceSlot, 0x7ffffff0u); }, E::BadExeFormat, nullptr},
        {"resource section raw data past the end", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.rsrcHeader + 20, 0xffffff00u); }, E::BadExeFormat, nullptr},
        {"resource section at the top of the address space", zentavo,
         [](QByteArray& d, const Layout& l) {
             setDword(d, l.rsrcHeader + 12, 0xfffff000u);
             setDword(d, l.rsrcHeader + 16, 0xffffffffu);
             setDword(d, l.resourceSlot, 0xfffff000u);
         }, E::InvalidData, nullptr},
        {"type directory claims 131070 entries", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.rsrc + 12, 0xffff); setWord(d, l.rsrc + 14, 0xffff); },
         E::InvalidData, nullptr},
        {"no version type", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.typeEntry, 17); }, E::ResourceTypeNotFound, nullptr},
        {"version type points at data instead of a directory", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.typeEntry + 4, dwordAt(d, l.typeEntry + 4) & 0x7fffffff); },
         E::InvalidData, nullptr},
        {"name directory past the section", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.typeEntry + 4, 0xfffffff0u); }, E::InvalidData, nullptr},
        {"name entry loops back to the root", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.nameDirectory + 16 + 4, 0x80000000u); },
         E::InvalidData, nullptr},
        {"language entry loops back to the root", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.languageDirectory + 16 + 4, 0x80000000u); },
         E::InvalidData, nullptr},
        {"language entry loops to its own directory", zentavo,
         [](QByteArray& d, const Layout& l) {
             setDword(d, l.languageDirectory + 16 + 4, 0x80000000u | quint32(l.languageDirectory - l.rsrc));
         }, E::InvalidData, nullptr},
        {"version type without names", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.nameDirectory + 12, 0); setWord(d, l.nameDirectory + 14, 0); },
         E::ResourceNameNotFound, nullptr},
        {"version name without languages", zentavo,
         [](QByteArray& d, const Layout& l) {
             setWord(d, l.languageDirectory + 12, 0);
             setWord(d, l.languageDirectory + 14, 0);
         }, E::ResourceLangNotFound, nullptr},
        {"data entry past the section", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.languageDirectory + 16 + 4, 0x7ffffff0u); },
         E::InvalidData, nullptr},
        {"version data outside every section", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.dataEntry, 0x7ffffff0u); }, E::InvalidData, nullptr},
        {"version data size near 4 GiB", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.dataEntry + 4, 0xfffffff0u); }, E::InvalidData, nullptr},
        {"version data shorter than its block", zentavo,
         [](QByteArray& d, const Layout& l) { setDword(d, l.dataEntry + 4, 8); }, E::InvalidData, nullptr},
        {"version block length zero", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.version, 0); }, E::InvalidData, nullptr},
        {"version block length 65535", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.version, 0xffff); }, E::InvalidData, nullptr},
        {"version block key cut off", zentavo,
         [](QByteArray& d, const Layout& l) { setWord(d, l.version, 12); }, E::InvalidData, nullptr},
        {"version block with another key", zentavo,
         [](QByteArray& d, const Layout& l) { d[int(l.version + 6)] = 'W'; }, E::InvalidData, nullptr},
        {"string table length zero", zentavo,
         [](QByteArray& d, const Layout&) { setWord(d, Layout::node(d, "080704b0"), 0); }, E::NoError, nullptr},
        {"string table longer than its parent", zentavo,
         [](QByteArray& d, const Layout&) { setWord(d, Layout::node(d, "080704b0"), 0xfff0); }, E::NoError, nullptr},
        {"ProductName longer than its table", zentavo,
         [](QByteArray& d, const Layout&) { setWord(d, Layout::node(d, "ProductName"), 0xffff); }, E::NoError, nullptr},
        {"ProductName key cut off", zentavo,
         [](QByteArray& d, const Layout&) { setWord(d, Layout::node(d, "ProductName"), 10); }, E::NoError, nullptr},
        {"ProductName renamed", zentavo,
         [](QByteArray& d, const Layout&) { d[int(Layout::node(d, "ProductName") + 6)] = 'Q'; }, E::NoError, nullptr},
        {"StringFileInfo renamed", zentavo,
         [](QByteArray& d, const Layout&) { d[int(Layout::node(d, "StringFileInfo") + 6)] = 'Q'; }, E::NoError, nullptr},
        {"ProductVersion value length 65535", zentavo,
         [](QByteArray& d, const Layout&) { setWord(d, Layout::node(d, "ProductVersion") + 2, 0xffff); },
         E::NoError, "2.4.1.0"},
        {"ProductVersion stored as binary of 65535 bytes", zentavo,
         [](QByteArray& d, const Layout&) {
             const qint64 node = Layout::node(d, "ProductVersion");
             setWord(d, node + 2, 0xffff);
             setWord(d, node + 4, 0);
         }, E::NoError, nullptr},
        {"file cut inside the version block", zentavo,
         [](QByteArray& d, const Layout& l) { d.truncate(int(l.version + 40)); }, E::InvalidData, nullptr},
        {"file cut inside the resource directory", zentavo,
         [](QByteArray& d, const Layout& l) { d.truncate(int(l.rsrc + 20)); }, E::InvalidData, nullptr},
    };
    return list;
}

bool readBlock(const QByteArray& image, QByteArray* block, PeVersion::Error* error)
{
    QBuffer buffer;
    buffer.setData(image);
    buffer.open(QIODevice::ReadOnly);
    return PeVersion::readVersionInfo(&buffer, block, error);
}

} // namespace

class TestPeVersion : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersProductVersionOfFixture_data();
    void answersProductVersionOfFixture();
    void readsOwnExecutableAsFileWithoutVersion();
    void readsPathLongerThan260Characters();
    void queriesAnyValue();
    void ignoresMachineType_data();
    void ignoresMachineType();
    void cutsBlockToRequestedSize();
    void rejectsBadArguments();
    void failsOnMalformedFile_data();
    void failsOnMalformedFile();
    void failsOnEveryTruncation();
    void survivesRandomCorruption();

private:
    QtMessageHandler previousHandler = nullptr;
};

void TestPeVersion::init()
{
    capturedLines.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

void TestPeVersion::cleanup()
{
    qInstallMessageHandler(previousHandler);
}

void TestPeVersion::answersProductVersionOfFixture_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("line");

    const QString cannot = "Can't obtain ProductName and ProductVersion from resources\n";
    QTest::newRow("PE32, 080704b0") << fixture(zentavo) << "2.4.1.0" << QString();
    QTest::newRow("PE32+, 080704b0") << fixture(plus) << "3.0.0.7" << QString();
    QTest::newRow("DLL, two tables") << fixture("multilanguage.dll") << "5.1.0.0" << QString();
    QTest::newRow("080704b0 without ProductName") << fixture("noproductname.exe") << QString() << cannot;
    QTest::newRow("only 040904b0") << fixture("englishonly.exe") << QString() << cannot;
    QTest::newRow("resources without version") << fixture("rcdataonly.exe") << QString()
                                               << "GetFileVersionInfoSize failed with error 1813\n";
    QTest::newRow("no resources") << fixture("noresources.exe") << QString()
                                  << "GetFileVersionInfoSize failed with error 1812\n";
    QTest::newRow("missing file") << fixture("missing.exe") << QString()
                                  << "GetFileVersionInfoSize failed with error 2\n";
    QTest::newRow("missing directory") << fixture("missing/Zentavo.exe") << QString()
                                       << "GetFileVersionInfoSize failed with error 3\n";
    QTest::newRow("a directory") << fixture("src") << QString()
                                 << "GetFileVersionInfoSize failed with error 5\n";
    QTest::newRow("not a PE file") << fixture("src/zentavo.rc") << QString()
                                   << "GetFileVersionInfoSize failed with error 193\n";
}

void TestPeVersion::answersProductVersionOfFixture()
{
    QFETCH(QString, path);
    QFETCH(QString, version);
    QFETCH(QString, line);

    FileInstaller installer;
    const QString answer = installer.productVersion(path);
    QCOMPARE(answer, version);
    QCOMPARE(answer.isNull(), version.isNull());
    QCOMPARE(capturedLines, line.isEmpty() ? QStringList() : QStringList{line});
}

void TestPeVersion::readsOwnExecutableAsFileWithoutVersion()
{
    PeVersion::Error error = PeVersion::NoError;
    QCOMPARE(PeVersion::moduleFileName(&error), QCoreApplication::applicationFilePath());
    QCOMPARE(error, PeVersion::NoError);

    FileInstaller installer;
    QVERIFY(installer.productVersion(QString()).isNull());
    QVERIFY(installer.productVersion(QLatin1String("")).isNull());
    const QString line = "GetFileVersionInfoSize failed with error 193\n";
    QCOMPARE(capturedLines, QStringList({line, line}));
}

void TestPeVersion::readsPathLongerThan260Characters()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.path();
    while (path.size() < 300)
        path += QStringLiteral("/a-rather-long-directory-name");
    QVERIFY(QDir().mkpath(path));
    path += QStringLiteral("/Zentavo.exe");
    QVERIFY(QFile::copy(fixture(zentavo), path));

    FileInstaller installer;
    QCOMPARE(installer.productVersion(path), QString("2.4.1.0"));
    QVERIFY(capturedLines.isEmpty());
}

void TestPeVersion::queriesAnyValue()
{
    PeVersion::Error error = PeVersion::NoError;
    const quint32 size = PeVersion::fileVersionInfoSize(fixture("multilanguage.dll"), &error);
    QVERIFY(size > 0);
    QByteArray block;
    QVERIFY(PeVersion::fileVersionInfo(fixture("multilanguage.dll"), size, &block, &error));
    QCOMPARE(quint32(block.size()), size);

    bool found = false;
    QCOMPARE(PeVersion::queryString(block, "\\StringFileInfo\\040904b0\\ProductVersion", &found),
             QString("5.1.0.0-en"));
    QVERIFY(found);
    QCOMPARE(PeVersion::queryString(block, "\\StringFileInfo\\080704b0\\ProductName", &found),
             QString("Zentavo Bibliothek"));
    // Keys compare without regard to case, as on Windows.
    QCOMPARE(PeVersion::queryString(block, "\\stringfileinfo\\080704B0\\PRODUCTNAME", &found),
             QString("Zentavo Bibliothek"));

    // An empty value is found and empty, not missing.
    const QString comments = PeVersion::queryString(block, "\\StringFileInfo\\080704b0\\Comments", &found);
    QVERIFY(found);
    QVERIFY(comments.isEmpty());
    QVERIFY(!comments.isNull());
    QVERIFY(PeVersion::queryString(block, "\\StringFileInfo\\040904b0\\Comments", &found).isNull());
    QVERIFY(!found);
    QVERIFY(PeVersion::queryString(block, "\\StringFileInfo\\041104b0\\ProductName", &found).isNull());
    QVERIFY(!found);

    QCOMPARE(PeVersion::translations(block, &found), QStringList({"040904b0", "080704b0"}));
    QVERIFY(found);
    QByteArray value;
    PeVersion::ValueType type = PeVersion::Text;
    QVERIFY(PeVersion::queryValue(block, "\\VarFileInfo\\Translation", &value, &type));
    QCOMPARE(type, PeVersion::Binary);
    QCOMPARE(value.toHex(), QByteArray("0904b0040708b004"));

    // The root value is VS_FIXEDFILEINFO with its signature and versions.
    QVERIFY(PeVersion::queryValue(block, "\\", &value, &type));
    QCOMPARE(type, PeVersion::Binary);
    QCOMPARE(value.size(), 52);
    QCOMPARE(dwordAt(value, 0), 0xfeef04bdu);
    QCOMPARE(dwordAt(value, 8), 0x00050001u);
    QCOMPARE(dwordAt(value, 12), 0u);

    QVERIFY(PeVersion::queryValue(block, "\\StringFileInfo\\080704b0\\ProductVersion", &value, &type));
    QCOMPARE(type, PeVersion::Text);
    QCOMPARE(value, utf16("5.1.0.0"));
}

void TestPeVersion::ignoresMachineType_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("machine");
    QTest::addColumn<QString>("version");
    QTest::newRow("PE32 ARM") << QString(zentavo) << 0x1c0 << "2.4.1.0";
    QTest::newRow("PE32 ARM Thumb-2") << QString(zentavo) << 0x1c4 << "2.4.1.0";
    QTest::newRow("PE32 unknown") << QString(zentavo) << 0x1234 << "2.4.1.0";
    QTest::newRow("PE32+ ARM64") << QString(plus) << 0xaa64 << "3.0.0.7";
}

void TestPeVersion::ignoresMachineType()
{
    QFETCH(QString, file);
    QFETCH(int, machine);
    QFETCH(QString, version);

    QByteArray image = readFixture(qPrintable(file));
    QVERIFY(!image.isEmpty());
    setWord(image, Layout(image).pe + 4, quint16(machine));
    QByteArray block;
    PeVersion::Error error = PeVersion::NoError;
    QVERIFY(readBlock(image, &block, &error));
    bool found = false;
    QCOMPARE(PeVersion::queryString(block, "\\StringFileInfo\\080704b0\\ProductVersion", &found), version);
}

void TestPeVersion::cutsBlockToRequestedSize()
{
    PeVersion::Error error = PeVersion::NoError;
    QByteArray block;
    QVERIFY(PeVersion::fileVersionInfo(fixture(zentavo), 40, &block, &error));
    QCOMPARE(block.size(), 40);
    // The cut block still starts the tree but no longer holds it whole.
    QByteArray value;
    QVERIFY(!PeVersion::queryValue(block, "\\", &value));
    bool found = true;
    QVERIFY(PeVersion::queryString(block, "\\StringFileInfo\\080704b0\\ProductVersion", &found).isNull());
    QVERIFY(!found);
    QVERIFY(!PeVersion::queryValue(QByteArray(), "\\", &value));
}

void TestPeVersion::rejectsBadArguments()
{
    PeVersion::Error error = PeVersion::NoError;
    QByteArray block;
    QVERIFY(!PeVersion::fileVersionInfo(fixture(zentavo), 0, &block, &error));
    QCOMPARE(error, PeVersion::InvalidParameter);
    QCOMPARE(PeVersion::fileVersionInfoSize(QString(), &error), 0u);
    QCOMPARE(error, PeVersion::InvalidParameter);
    // A device that never ends is not read at all.
    QCOMPARE(PeVersion::fileVersionInfoSize("/dev/zero", &error), 0u);
    QCOMPARE(error, PeVersion::AccessDenied);
}

void TestPeVersion::failsOnMalformedFile_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < malformations().size(); ++i)
        QTest::newRow(malformations().at(i).name) << i;
}

void TestPeVersion::failsOnMalformedFile()
{
    QFETCH(int, index);
    const Malformation& malformation = malformations().at(index);
    QByteArray image = readFixture(malformation.fixture);
    QVERIFY(!image.isEmpty());
    const Layout layout(image);
    QVERIFY(layout.rsrc > 0 && layout.version > 0);
    malformation.apply(image, layout);

    QByteArray block;
    PeVersion::Error error = PeVersion::NoError;
    QCOMPARE(readBlock(image, &block, &error), malformation.error == PeVersion::NoError);
    QCOMPARE(error, malformation.error);

    // The same file on disk, through the updater's own query and its log lines.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath("Zentavo.exe"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(image), qint64(image.size()));
    file.close();

    FileInstaller installer;
    const QString version = installer.productVersion(file.fileName());
    QCOMPARE(version, QString(malformation.version));
    QStringList expected;
    if (malformation.error != PeVersion::NoError)
        expected << QString("GetFileVersionInfoSize failed with error %1\n").arg(int(malformation.error));
    else if (!malformation.version)
        expected << "Can't obtain ProductName and ProductVersion from resources\n";
    QCOMPARE(capturedLines, expected);
}

void TestPeVersion::failsOnEveryTruncation()
{
    for (const char* name : {zentavo, plus}) {
        const QByteArray image = readFixture(name);
        QVERIFY(!image.isEmpty());
        const Layout layout(image);
        QByteArray whole;
        PeVersion::Error error = PeVersion::NoError;
        QVERIFY(readBlock(image, &whole, &error));

        for (int length = 0; length < image.size(); ++length) {
            QByteArray block;
            const bool ok = readBlock(image.left(length), &block, &error);
            // Whatever lies after the version block is never needed.
            QCOMPARE(ok, length >= layout.versionEnd);
            QCOMPARE(error == PeVersion::NoError, ok);
            if (ok)
                QCOMPARE(block, whole);
        }
    }
}

void TestPeVersion::survivesRandomCorruption()
{
    // A fixed seed keeps a failure reproducible; the sanitizer build turns
    // any read outside the data into a crash.
    std::mt19937 random(20261208);
    const QStringList keys = {"\\", "\\StringFileInfo\\080704b0\\ProductName",
                              "\\StringFileInfo\\080704b0\\ProductVersion", "\\VarFileInfo\\Translation",
                              "\\StringFileInfo\\040904b0\\ProductVersion"};
    int readable = 0;
    for (const char* name : {zentavo, plus, "multilanguage.dll", "englishonly.exe", "rcdataonly.exe"}) {
        const QByteArray image = readFixture(name);
        QVERIFY(!image.isEmpty());
        const Layout layout(image);
        for (int round = 0; round < 1500; ++round) {
            QByteArray corrupt = image;
            const int changes = 1 + int(random() % 6);
            for (int i = 0; i < changes; ++i) {
                // Mostly the resource section, sometimes the headers.
                const bool resources = random() % 4 != 0 && layout.rsrc > 0;
                const qint64 start = resources ? layout.rsrc : 0;
                const qint64 span = resources ? image.size() - layout.rsrc : 0x400;
                corrupt[int(start + qint64(random() % quint64(span)))] = char(random());
            }
            QByteArray block;
            PeVersion::Error error = PeVersion::NoError;
            if (!readBlock(corrupt, &block, &error)) {
                QVERIFY(error != PeVersion::NoError);
                continue;
            }
            ++readable;
            QVERIFY(block.size() >= 6 && block.size() <= 0xffff);
            for (const QString& key : keys) {
                QByteArray value;
                if (PeVersion::queryValue(block, key, &value))
                    QVERIFY(value.size() <= block.size());
            }
            bool found = false;
            PeVersion::translations(block, &found);
        }
    }
    // Most corruptions leave the block readable, so the queries were exercised.
    QVERIFY(readable > 1000);
}

QTEST_GUILESS_MAIN(TestPeVersion)
#include "tst_peversion.moc"
