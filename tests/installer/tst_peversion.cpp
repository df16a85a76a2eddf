#include "fileinstaller.h"
#include "peversion.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <random>

namespace {

QStringList capturedLines;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message) { capturedLines.append(message); }

const char* const zentavo = "zentavo-2.4.1.0.exe";
const char* const plus = "pe32plus-3.0.0.7.exe";
const QString sizeFailed = QStringLiteral("GetFileVersionInfoSize failed with error %1\n");
const QString noStrings = QStringLiteral("Can't obtain ProductName and ProductVersion from resources\n");

QString fixture(const char* name) { return QStringLiteral(ZENTAVO_FIXTURES "/") + QLatin1String(name); }
QByteArray readFixture(const char* name)
{
    QFile file(fixture(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 dwordAt(const QByteArray& d, qint64 at) { return qFromLittleEndian<quint32>(d.constData() + at); }
quint16 wordAt(const QByteArray& d, qint64 at) { return qFromLittleEndian<quint16>(d.constData() + at); }
void setWord(QByteArray& d, qint64 at, quint16 v) { qToLittleEndian<quint16>(v, d.data() + at); }
void setDword(QByteArray& d, qint64 at, quint32 v) { qToLittleEndian<quint32>(v, d.data() + at); }

// Where the parts of a fixture lie, found as with a hex editor: the fixed
// header fields, and the version nodes by their UTF-16 keys.
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
        QByteArray utf16;
        for (const char* c = key; *c; ++c)
            utf16.append(*c).append('\0');
        const qint64 found = d.indexOf(utf16);
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

#define EDIT [](QByteArray& d, [[maybe_unused]] const Layout& l)

// Hostile headers and resource trees: lengths near 4 GiB, loops, pointers
// past their section. Each must end in its error, never in a bad read.
const QList<Edit>& edits()
{
    using E = PeVersion::Error;
    const char* const z = zentavo;
    static const QList<Edit> list = {
        {"unknown machine", z, EDIT { setWord(d, l.pe + 4, 0x1234); }, E::NoError, "2.4.1.0"},
        {"PE header offset near 4 GiB", z, EDIT { setDword(d, 0x3c, 0xfffffff0u); }, E::BadExeFormat},
        {"no PE signature", z, EDIT { d[int(l.pe)] = 'X'; }, E::BadExeFormat},
        {"65535 sections", z, EDIT { setWord(d, l.pe + 6, 0xffff); }, E::BadExeFormat},
        {"unknown optional header magic", z, EDIT { setWord(d, l.optional, 0x107); }, E::BadExeFormat},
        {"PE32+ optional header too short", plus, EDIT { setWord(d, l.pe + 20, 100); }, E::BadExeFormat},
        {"no resource directory slot", z, EDIT { setDword(d, l.directoryCount, 2); }, E::ResourceDataNotFound},
        {"resource root outside every section", z, EDIT { setDword(d, l.resourceSlot, 0x7ffffff0u); },
         E::BadExeFormat},
        {"resource raw data past the end", z, EDIT { setDword(d, l.rsrcHeader + 20, 0xffffff00u); }, E::BadExeFormat},
        {"resource section at the top of the address space", z, EDIT {
             setDword(d, l.rsrcHeader + 12, 0xfffff000u);
             setDword(d, l.rsrcHeader + 16, 0xffffffffu);
             setDword(d, l.resourceSlot, 0xfffff000u);
         }, E::InvalidData},
        {"type directory claims 131070 entries", z, EDIT { setDword(d, l.rsrc + 12, 0xffffffffu); }, E::InvalidData},
        {"version type points at data", z,
         EDIT { setDword(d, l.typeEntry + 4, dwordAt(d, l.typeEntry + 4) & 0x7fffffff); }, E::InvalidData},
        {"name entry loops back to the root", z, EDIT { setDword(d, l.names + 20, 0x80000000u); }, E::InvalidData},
        {"language entry loops to its own directory", z,
         EDIT { setDword(d, l.languages + 20, 0x80000000u | quint32(l.languages - l.rsrc)); }, E::InvalidData},
        {"version type without names", z, EDIT { setDword(d, l.names + 12, 0); }, E::ResourceNameNotFound},
        {"version name without languages", z, EDIT { setDword(d, l.languages + 12, 0); }, E::ResourceLangNotFound},
        {"version data size near 4 GiB", z, EDIT { setDword(d, l.dataEntry + 4, 0xfffffff0u); }, E::InvalidData},
        {"version data outside every section", z, EDIT { setDword(d, l.dataEntry, 0x7ffffff0u); }, E::InvalidData},
        {"version data shorter than its block", z, EDIT { setDword(d, l.dataEntry + 4, 8); }, E::InvalidData},
        {"version block length 65535", z, EDIT { setWord(d, l.version, 0xffff); }, E::InvalidData},
        {"version block with another key", z, EDIT { d[int(l.version + 6)] = 'W'; }, E::InvalidData},
        {"string table length zero", z, EDIT { setWord(d, Layout::node(d, "080704b0"), 0); }, E::NoError},
        {"ProductName longer than its table", z, EDIT { setWord(d, Layout::node(d, "ProductName"), 0xffff); },
         E::NoError},
        {"ProductVersion runs past its table", z, EDIT { setWord(d, Layout::node(d, "ProductVersion"), 0xffff); },
         E::NoError},
        // The last child of the table: its key runs into the table's end.
        {"ProductVersion key without its end", z, EDIT {
             const qint64 node = Layout::node(d, "ProductVersion");
             for (qint64 at = node + 6 + 2 * qint64(qstrlen("ProductVersion")); at < node + wordAt(d, node); ++at)
                 d[int(at)] = 'A';
         }, E::NoError},
        {"ProductVersion value length 65535", z,
         EDIT { setWord(d, Layout::node(d, "ProductVersion") + 2, 0xffff); }, E::NoError, "2.4.1.0"},
        // Value length 65535 and type 0: binary, no text.
        {"ProductVersion stored as binary", z, EDIT { setDword(d, Layout::node(d, "ProductVersion") + 2, 0xffff); },
         E::NoError},
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
        QTest::newRow("PE32") << fixture(zentavo) << "2.4.1.0" << QString();
        QTest::newRow("PE32+") << fixture(plus) << "3.0.0.7" << QString();
        QTest::newRow("DLL, two tables") << fixture("multilanguage.dll") << "5.1.0.0" << QString();
        QTest::newRow("080704b0 without ProductName") << fixture("noproductname.exe") << QString() << noStrings;
        // The string table is fixed; another language is not taken instead.
        QTest::newRow("only 040904b0") << fixture("englishonly.exe") << QString() << noStrings;
        QTest::newRow("resources without version") << fixture("rcdataonly.exe") << QString() << sizeFailed.arg(1813);
        QTest::newRow("no resources") << fixture("noresources.exe") << QString() << sizeFailed.arg(1812);
        QTest::newRow("missing file") << fixture("missing.exe") << QString() << sizeFailed.arg(2);
        QTest::newRow("missing directory") << fixture("missing/Zentavo.exe") << QString() << sizeFailed.arg(3);
        QTest::newRow("a directory") << fixture("src") << QString() << sizeFailed.arg(5);
        // A device that never ends is not read at all.
        QTest::newRow("endless device") << "/dev/zero" << QString() << sizeFailed.arg(5);
        // An empty path means our own executable, an ELF program without
        // package metadata here.
        QTest::newRow("empty path") << QString() << QString() << sizeFailed.arg(1168);
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

        // Through the updater's own query: its log line tells the error.
        QTemporaryDir dir;
        QFile file(dir.filePath("Zentavo.exe"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
        file.close();
        QCOMPARE(FileInstaller().productVersion(file.fileName()), QString(edit.version));
        QStringList expected;
        if (edit.error != PeVersion::NoError)
            expected << sizeFailed.arg(int(edit.error));
        else if (!edit.version)
            expected << noStrings;
        QCOMPARE(capturedLines, expected);
    }

    void hostileImagesNeverReadOutside()
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
                QVERIFY(!ok || block == whole);
            }
        }

        // Random bytes, mostly in the resource section. A fixed seed keeps a
        // failure reproducible; the sanitizer build turns any read outside
        // the data into a crash.
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
                    QVERIFY(!PeVersion::queryValue(block, key, &value) || value.size() <= block.size());
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
