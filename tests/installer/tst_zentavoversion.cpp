#include <QtTest>

#include "elfcases.h"
#include "toolrun.h"

class TestZentavoVersion : public QObject
{
    Q_OBJECT

private slots:
    void printsValueOrError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err"); // a part of the error message

        const QString dir = QStringLiteral(ZENTAVO_FIXTURES "/");
        QTest::newRow("default: product version") << QStringList{dir + "zentavo-2.4.1.0.exe"} << 0
                                                  << QByteArray("2.4.1.0\n") << QByteArray();
        // Keys compare without regard to case, as on Windows.
        QTest::newRow("key in other case")
            << QStringList{dir + "multilanguage.dll", "\\stringfileinfo\\080704B0\\PRODUCTNAME"} << 0
            << QByteArray("Zentavo Bibliothek\n") << QByteArray();
        QTest::newRow("translations") << QStringList{dir + "multilanguage.dll", "\\VarFileInfo\\Translation"} << 0
                                      << QByteArray("040904b0\n080704b0\n") << QByteArray();
        QTest::newRow("fixed file info") << QStringList{dir + "zentavo-2.4.1.0.exe", "\\"} << 0
                                         << QByteArray("FileVersion 2.4.1.0\nProductVersion 2.4.1.0\n") << QByteArray();
        // An empty value is found and empty, not missing.
        QTest::newRow("empty value") << QStringList{dir + "multilanguage.dll", "\\StringFileInfo\\080704b0\\Comments"}
                                     << 0 << QByteArray("\n") << QByteArray();
        QTest::newRow("default missing in table") << QStringList{dir + "englishonly.exe"} << 1 << QByteArray()
                                                  << QByteArray("\\StringFileInfo\\080704b0\\ProductVersion not found");
        QTest::newRow("no version resource") << QStringList{dir + "rcdataonly.exe"} << 1 << QByteArray()
                                             << QByteArray("no version resource (error 1813)");
        QTest::newRow("too many arguments") << QStringList{"a", "b", "c"} << 1 << QByteArray()
                                            << QByteArray("usage: zentavo-version");
    }

    void printsValueOrError()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        const ToolRun run = runProgram(QStringLiteral(ZENTAVO_VERSION_TOOL), arguments);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.out, out);
        if (err.isEmpty())
            QCOMPARE(run.err, QByteArray());
        else
            QVERIFY2(run.err.startsWith("zentavo-version: ") && run.err.contains(err), run.err.constData());
    }

    void printsVersionOfElfProgram_data()
    {
        ElfCases::addRows();
    }

    // The version of the package metadata, or why there is none, with the
    // same error number as the updater's log line.
    void printsVersionOfElfProgram()
    {
        QByteArray bytes;
        const ElfCases::Case c = ElfCases::currentCase(&bytes);
        if (bytes.isEmpty())
            QSKIP(ElfCases::notBuilt);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Zentavo.exe"));
        QVERIFY(ElfWriter::save(path, bytes));
        const ToolRun run = runProgram(QStringLiteral(ZENTAVO_VERSION_TOOL), {path});
        if (c.version.isNull()) {
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.out, QByteArray());
            const QByteArray code = QByteArray("(error ") + QByteArray::number(c.error) + ")";
            QVERIFY2(run.err.startsWith("zentavo-version: ") && run.err.contains(code), run.err.constData());
        } else {
            QCOMPARE(run.exitCode, 0);
            QCOMPARE(run.outputText(), c.version + QLatin1Char('\n'));
            QCOMPARE(run.err, QByteArray());
        }
    }

    // A query of the version resource's tree has no answer in an ELF program.
    void refusesSubBlockOfElfProgram()
    {
        const QString program = ElfCases::fixturePath(QStringLiteral("amd64-2.5.0"));
        if (!QFileInfo::exists(program))
            QSKIP("the build made no amd64 program (no compiler for it)");
        const ToolRun run =
            runProgram(QStringLiteral(ZENTAVO_VERSION_TOOL), {program, "\\StringFileInfo\\080704b0\\ProductVersion"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(run.err.contains("SUBBLOCK is for PE files"), run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestZentavoVersion)
#include "tst_zentavoversion.moc"
