#include "fileinstaller.h"
#include "peversion.h"

#include <QBuffer>
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

const char* const zentavo = "zentavo-2.4.1.0.exe";
const char* const plus = "pe32plus-3.0.0.7.exe";

QString fixture(const char* name)
{
    return QStringLiteral(ZENTAVO_FIXTURES "/") + QLatin1String(name);
}

QByteArray readFixture(const char* name)
{
    QFile file(fixture(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 dwordAt(const QByteArray& d, qint64 at) { return qFromLittleEndian<quint32>(d.constData() + at); }
quint16 wordAt(const QByteArray& d, qint64 at) { return qFromLittleEndian<quint16>(d.constData() + at); }
void setWord(QByteArray& d, qint64 at, quint16 v) { qToLittleEndian<quint16>(v, d.data() + at); }
void setDword(QByteArray& d, qint64 at, quint32 v) { qToLittleEndian<quint32>(v, d.data() + at); }

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
    explicit Layout(const QByteArray& d)
    {
        pe = dwordAt(d, 0x3c);
        optional = pe + 24;
        directoryCount = optional + (wordAt(d, optional) == 0x20b ? 108 : 92);
        resourceSlot = directoryCount + 4 + 2 * 8;
        for (int i = 0; i < wordAt(d, pe + 6); ++i) {
            const qint64 header = optional + wordAt(d, pe + 20) + i * 40;
            if (dwordAt(d, header + 12) == dwordAt(d, resourceSlot)) {
                rsrcHeader = header;
                rsrc = dwordAt(d, header + 20);
            }
        }
        typeEntry = rsrc + 16;
        names = rsrc + (dwordAt(d, typeEntry + 4) & 0x7fffffff);
        languages = rsrc + (dwordAt(d, names + 20) & 0x7fffffff);
        dataEntry = rsrc + dwordAt(d, languages + 20);
        version = node(d, "VS_VERSION_INFO");
        versionEnd = version + wordAt(d, version);
    }

    static qint64 node(const QByteArray& d, const char* key)
    {
        const qint64 found = d.indexOf(utf16(key));
        return found < 0 ? -1 : found - 6;
    }

    qint64 pe, optional, directoryCount, resourceSlot, rsrcHeader = -1, rsrc = -1;
    qint64 typeEntry, names, languages, dataEntry, version, versionEnd;
};

struct Edit
{
    const char* name;
    const char* fixture;
    std::function<void(QByteArray&, const Layout&)> apply;
    PeVersion::Error error;         // NoError: the block still reads
    const char* version = nullptr;  // what productVersion still answers
};

// One edit of a fixture image d with layout l.
#define EDIT [](QByteArray& d, const Layout& l)

const QList<Edit>& edits()
{
    using E = PeVersion::Error;
    const char* const z = zentavo;
    static const QList<Edit> list = {
        // Any machine type reads.
        {"ARM machine", z, EDIT { setWord(d, l.pe + 4, 0x1c0); }, E::NoError, "2.4.1.0"},
        {"ARM Thumb-2 machine", z, EDIT { setWord(d, l.pe + 4, 0x1c4); }, E::NoError, "2.4.1.0"},
        {"unknown machine", z, EDIT { setWord(d, l.pe + 4, 0x1234); }, E::NoError, "2.4.1.0"},
        {"PE32+ ARM64 machine", plus, EDIT { setWord(d, l.pe + 4, 0xaa64); }, E::NoError, "3.0.0.7"},
        {"PE header offset past the end", z, EDIT { setDword(d, 0x3c, quint32(d.size()) + 100); }, E::BadExeFormat},
        {"PE header offset near 4 GiB", z, EDIT { setDword(d, 0x3c, 0xfffffff0u); }, E::BadExeFormat},
        {"no PE signature", z, EDIT { d[int(l.pe)] = 'X'; }, E::BadExeFormat},
        {"no MZ signature", z, EDIT { d[0] = 'Z'; }, E::BadExeFormat},
        {"65535 sections", z, EDIT { setWord(d, l.pe + 6, 0xffff); }, E::BadExeFormat},
        {"no sections", z, EDIT { setWord(d, l.pe + 6, 0); }, E::BadExeFormat},
        {"optional header past the end", z, EDIT { setWord(d, l.pe + 20, 0xffff); }, E::BadExeFormat},
        {"unknown optional header magic", z, EDIT { setWord(d, l.optional, 0x107); }, E::BadExeFormat},
        {"PE32+ optional header too short for its directories", plus, EDIT { setWord(d, l.pe + 20, 100); },
         E::BadExeFormat},
        {"no resource directory slot", z, EDIT { setDword(d, l.directoryCount, 2); }, E::ResourceDataNotFound},
        {"resource directory empty", z, EDIT { setDword(d, l.resourceSlot, 0); }, E::ResourceDataNotFound},
        {"resource root outside every section", z, EDIT { setDword(d, l.resourceSlot, 0x7ffffff0u); },
         E::BadExeFormat},
        {"resource section raw data past the end", z, EDIT { setDword(d, l.rsrcHeader + 20, 0xffffff00u); },
         E::BadExeFormat},
        {"resource section at the top of the address space", z, EDIT {
             setDword(d, l.rsrcHeader + 12, 0xfffff000u);
             setDword(d, l.rsrcHeader + 16, 0xffffffffu);
             setDword(d, l.resourceSlot, 0xfffff000u);
         }, E::InvalidData},
        {"type directory claims 131070 entries", z, EDIT { setDword(d, l.rsrc + 12, 0xffffffffu); }, E::InvalidData},
        {"no version type", z, EDIT { setDword(d, l.typeEntry, 17); }, E::ResourceTypeNotFound},
        {"version type points at data instead of a directory", z,
         EDIT { setDword(d, l.typeEntry + 4, dwordAt(d, l.typeEntry + 4) & 0x7fffffff); }, E::InvalidData},
        {"name directory past the section", z, EDIT { setDword(d, l.typeEntry + 4, 0xfffffff0u); }, E::InvalidData},
        {"name entry loops back to the root", z, EDIT { setDword(d, l.names + 20, 0x80000000u); }, E::InvalidData},
        {"language entry loops back to the root", z, EDIT { setDword(d, l.languages + 20, 0x80000000u); },
         E::InvalidData},
        {"language entry loops to its own directory", z,
         EDIT { setDword(d, l.languages + 20, 0x80000000u | quint32(l.languages - l.rsrc)); }, E::InvalidData},
        {"version type without names", z, EDIT { setDword(d, l.names + 12, 0); }, E::ResourceNameNotFound},
        {"version name without languages", z, EDIT { setDword(d, l.languages + 12, 0); }, E::ResourceLangNotFound},
        {"data entry past the section", z, EDIT { setDword(d, l.languages + 20, 0x7ffffff0u); }, E::InvalidData},
        {"version data outside every section", z, EDIT { setDword(d, l.dataEntry, 0x7ffffff0u); }, E::InvalidData},
        {"version data size near 4 GiB", z, EDIT { setDword(d, l.dataEntry + 4, 0xfffffff0u); }, E::InvalidData},
        {"version data shorter than its block", z, EDIT { setDword(d, l.dataEntry + 4, 8); }, E::InvalidData},
        {"version block length zero", z, EDIT { setWord(d, l.version, 0); }, E::InvalidData},
        {"version block length 65535", z, EDIT { setWord(d, l.version, 0xffff); }, E::InvalidData},
        {"version block key cut off", z, EDIT { setWord(d, l.version, 12); }, E::InvalidData},
        {"version block with another key", z, EDIT { d[int(l.version + 6)] = 'W'; }, E::InvalidData},
        {"string table length zero", z, EDIT { setWord(d, Layout::node(d, "080704b0"), 0); }, E::NoError},
        {"string table longer than its parent", z, EDIT { setWord(d, Layout::node(d, "080704b0"), 0xfff0); },
         E::NoError},
        {"ProductName longer than its table", z, EDIT { setWord(d, Layout::node(d, "ProductName"), 0xffff); },
         E::NoError},
        {"ProductName key cut off", z, EDIT { setWord(d, Layout::node(d, "ProductName"), 10); }, E::NoError},
        {"ProductName renamed", z, EDIT { d[int(Layout::node(d, "ProductName") + 6)] = 'Q'; }, E::NoError},
        {"StringFileInfo renamed", z, EDIT { d[int(Layout::node(d, "StringFileInfo") + 6)] = 'Q'; }, E::NoError},
        {"ProductVersion value length 65535", z,
         EDIT { setWord(d, Layout::node(d, "ProductVersion") + 2, 0xffff); }, E::NoError, "2.4.1.0"},
        // Value length 65535 and type 0 (binary).
        {"ProductVersion stored as binary of 65535 bytes", z,
         EDIT { setDword(d, Layout::node(d, "ProductVersion") + 2, 0xffff); }, E::NoError},
    };
    return list;
}
#undef EDIT

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

    QtMessageHandler previousHandler = nullptr;

private slots:
    void init()
    {
        capturedLines.clear();
        previousHandler = qInstallMessageHandler(captureMessage);
    }
    void cleanup() { qInstallMessageHandler(previousHandler); }

    void answersProductVersionOfFixture_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("line");

        const QString cannot = "Can't obtain ProductName and ProductVersion from resources\n";
        const QString failed = "GetFileVersionInfoSize failed with error %1\n";
        QTest::newRow("PE32, 080704b0") << fixture(zentavo) << "2.4.1.0" << QString();
        QTest::newRow("PE32+, 080704b0") << fixture(plus) << "3.0.0.7" << QString();
        QTest::newRow("DLL, two tables") << fixture("multilanguage.dll") << "5.1.0.0" << QString();
        QTest::newRow("080704b0 without ProductName") << fixture("noproductname.exe") << QString() << cannot;
        QTest::newRow("only 040904b0") << fixture("englishonly.exe") << QString() << cannot;
        QTest::newRow("resources without version") << fixture("rcdataonly.exe") << QString() << failed.arg(1813);
        QTest::newRow("no resources") << fixture("noresources.exe") << QString() << failed.arg(1812);
        QTest::newRow("missing file") << fixture("missing.exe") << QString() << failed.arg(2);
        QTest::newRow("missing directory") << fixture("missing/Zentavo.exe") << QString() << failed.arg(3);
        QTest::newRow("a directory") << fixture("src") << QString() << failed.arg(5);
        QTest::newRow("not a PE file") << fixture("src/zentavo.rc") << QString() << failed.arg(193);
        // An empty path means our own executable, an ELF file here.
        QTest::newRow("empty path") << QString() << QString() << failed.arg(193);
    }

    void answersProductVersionOfFixture()
    {
        QFETCH(QString, path);
        QFETCH(QString, version);
        QFETCH(QString, line);

        const QString answer = FileInstaller().productVersion(path);
        QCOMPARE(answer, version);
        QCOMPARE(answer.isNull(), version.isNull());
        QCOMPARE(capturedLines, line.isEmpty() ? QStringList() : QStringList{line});
    }

    void readsPathLongerThan260Characters()
    {
        QTemporaryDir dir;
        QString path = dir.path();
        while (path.size() < 300)
            path += QStringLiteral("/a-rather-long-directory-name");
        QVERIFY(QDir().mkpath(path));
        QVERIFY(QFile::copy(fixture(zentavo), path + "/Zentavo.exe"));
        QCOMPARE(FileInstaller().productVersion(path + "/Zentavo.exe"), QString("2.4.1.0"));
        QVERIFY(capturedLines.isEmpty());
    }

    void cutsBlockAndRejectsBadArguments()
    {
        PeVersion::Error error = PeVersion::NoError;
        QByteArray block;
        // Like Windows, the block is cut to the size asked for.
        QVERIFY(PeVersion::fileVersionInfo(fixture(zentavo), 40, &block, &error));
        QCOMPARE(block.size(), 40);
        QVERIFY(!PeVersion::fileVersionInfo(fixture(zentavo), 0, &block, &error));
        QCOMPARE(error, PeVersion::InvalidParameter);
        QCOMPARE(PeVersion::fileVersionInfoSize(QString(), &error), 0u);
        QCOMPARE(error, PeVersion::InvalidParameter);
        // A device that never ends is not read at all.
        QCOMPARE(PeVersion::fileVersionInfoSize("/dev/zero", &error), 0u);
        QCOMPARE(error, PeVersion::AccessDenied);
    }

    void readsEditedFile_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < edits().size(); ++i)
            QTest::newRow(edits().at(i).name) << i;
    }

    void readsEditedFile()
    {
        QFETCH(int, index);
        const Edit& edit = edits().at(index);
        QByteArray image = readFixture(edit.fixture);
        const Layout layout(image);
        QVERIFY(layout.rsrc > 0 && layout.version > 0);
        edit.apply(image, layout);

        QByteArray block;
        PeVersion::Error error = PeVersion::NoError;
        QCOMPARE(readBlock(image, &block, &error), edit.error == PeVersion::NoError);
        QCOMPARE(error, edit.error);

        // The same file on disk, through the updater's own query and its log lines.
        QTemporaryDir dir;
        QFile file(dir.filePath("Zentavo.exe"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(image), qint64(image.size()));
        file.close();

        QCOMPARE(FileInstaller().productVersion(file.fileName()), QString(edit.version));
        QStringList expected;
        if (edit.error != PeVersion::NoError)
            expected << QString("GetFileVersionInfoSize failed with error %1\n").arg(int(edit.error));
        else if (!edit.version)
            expected << "Can't obtain ProductName and ProductVersion from resources\n";
        QCOMPARE(capturedLines, expected);
    }

    void failsOnEveryTruncation()
    {
        for (const char* name : {zentavo, plus}) {
            const QByteArray image = readFixture(name);
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

    void survivesRandomCorruption()
    {
        // A fixed seed keeps a failure reproducible; the sanitizer build turns
        // any read outside the data into a crash.
        std::mt19937 random(20261208);
        const QStringList keys = {"\\", "\\StringFileInfo\\080704b0\\ProductName",
                                  "\\StringFileInfo\\080704b0\\ProductVersion", "\\VarFileInfo\\Translation"};
        int readable = 0;
        for (const char* name : {zentavo, plus, "multilanguage.dll", "englishonly.exe", "rcdataonly.exe"}) {
            const QByteArray image = readFixture(name);
            const Layout layout(image);
            for (int round = 0; round < 1500; ++round) {
                QByteArray corrupt = image;
                for (int i = 1 + int(random() % 6); i > 0; --i) {
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
};

QTEST_GUILESS_MAIN(TestPeVersion)
#include "tst_peversion.moc"
