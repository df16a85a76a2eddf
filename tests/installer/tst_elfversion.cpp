#include "elfcases.h"
#include "elfversion.h"
#include "fileinstaller.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

namespace {

QStringList capturedLines;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message) { capturedLines.append(message); }

QString readVersion(const QByteArray& bytes, PeVersion::Error* error)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return ElfVersion::packageVersion(&buffer, error);
}

} // namespace

class TestElfVersion : public QObject
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

    void updaterReadsPackageVersion_data()
    {
        ElfCases::addRows();
    }

    // Through the updater's own query, as the install screen asks it: the
    // version, or the one log line that tells why there is none.
    void updaterReadsPackageVersion()
    {
        QByteArray bytes;
        const ElfCases::Case c = ElfCases::currentCase(&bytes);
        if (bytes.isEmpty())
            QSKIP(ElfCases::notBuilt);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Zentavo.exe"));
        QVERIFY(ElfWriter::save(path, bytes));
        QVERIFY(ElfVersion::isElfFile(path));

        const QString version = FileInstaller().productVersion(path);
        QCOMPARE(version, c.version);
        QCOMPARE(version.isNull(), c.version.isNull());
        QCOMPARE(capturedLines, c.version.isNull() ? QStringList{QStringLiteral(
                                    "GetFileVersionInfoSize failed with error %1\n").arg(c.error)}
                                                   : QStringList());
    }

    void truncatedProgramsNeedOnlyTheirNotes_data()
    {
        QTest::addColumn<QByteArray>("program");
        QTest::newRow("amd64") << ElfCases::readFixture("amd64-2.5.0");
        QTest::newRow("arm64, stripped") << ElfCases::readFixture("arm64-2.5.0-stripped");
        ElfWriter::Spec spec;
        spec.is64 = false;
        spec.bigEndian = true;
        spec.notes = ElfWriter::packageNote(ElfWriter::metadata("2.5.0"), true);
        QTest::newRow("32-bit, big-endian") << ElfWriter::write(spec);
    }

    // Every prefix of a program: a version once its notes are whole, an
    // error before, and never a read past the end.
    void truncatedProgramsNeedOnlyTheirNotes()
    {
        QFETCH(QByteArray, program);
        if (program.isEmpty())
            QSKIP(ElfCases::notBuilt);
        int firstReadable = -1;
        // Every length through the headers and notes, then a sample of the
        // rest (an arm64 program is 64 KiB of page padding, slow under qemu).
        for (int length = 0; length <= program.size(); length += length < 0x2000 ? 1 : 61) {
            PeVersion::Error error = PeVersion::NoError;
            const QString version = readVersion(program.left(length), &error);
            QCOMPARE(error == PeVersion::NoError, !version.isNull());
            if (firstReadable < 0 && !version.isNull())
                firstReadable = length;
            QCOMPARE(version.isNull(), firstReadable < 0);
            QVERIFY(version.isNull() || version == QLatin1String("2.5.0"));
        }
        // The notes lie right after the headers, far before the end.
        QVERIFY(firstReadable > 0 && firstReadable < 0x1000);
    }

    // Random bytes in the headers and notes of real programs; the sanitizer
    // build turns any read outside the data into a crash. A fixed seed keeps
    // a failure reproducible.
    void corruptedProgramsFailCleanly()
    {
        const QByteArray program = ElfCases::readFixture("arm64-2.5.0");
        if (program.isEmpty())
            QSKIP("the build made no arm64 program (no compiler for it)");
        std::mt19937 random(20261209);
        int readable = 0;
        for (int round = 0; round < 4000; ++round) {
            QByteArray corrupt = program;
            for (int i = 1 + int(random() % 4); i > 0; --i)
                corrupt[int(random() % 0x400)] = char(random());
            PeVersion::Error error = PeVersion::NoError;
            const QString version = readVersion(corrupt, &error);
            QCOMPARE(error == PeVersion::NoError, !version.isNull());
            readable += version.isNull() ? 0 : 1;
        }
        QVERIFY(readable > 100);
    }
};

QTEST_GUILESS_MAIN(TestElfVersion)
#include "tst_elfversion.moc"
