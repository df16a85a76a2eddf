#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "toolrun.h"

class TestZentavoVersion : public QObject
{
    Q_OBJECT

private slots:
    void printsValueOrError_data();
    void printsValueOrError();
    void failsOnTruncatedFile();
};

namespace {

QString fixture(const char* name)
{
    return QStringLiteral(ZENTAVO_FIXTURES "/") + QLatin1String(name);
}

ToolRun runTool(const QStringList& arguments)
{
    return runProgram(QStringLiteral(ZENTAVO_VERSION_TOOL), arguments);
}

} // namespace

void TestZentavoVersion::printsValueOrError_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err"); // a part of the error message

    QTest::newRow("default: product version") << QStringList{fixture("zentavo-2.4.1.0.exe")} << 0
                                              << QByteArray("2.4.1.0\n") << QByteArray();
    QTest::newRow("PE32+") << QStringList{fixture("pe32plus-3.0.0.7.exe")} << 0
                           << QByteArray("3.0.0.7\n") << QByteArray();
    QTest::newRow("other string table")
        << QStringList{fixture("englishonly.exe"), "\\StringFileInfo\\040904b0\\ProductName"} << 0
        << QByteArray("Zentavo\n") << QByteArray();
    QTest::newRow("translations")
        << QStringList{fixture("multilanguage.dll"), "\\VarFileInfo\\Translation"} << 0
        << QByteArray("040904b0\n080704b0\n") << QByteArray();
    QTest::newRow("fixed file info") << QStringList{fixture("zentavo-2.4.1.0.exe"), "\\"} << 0
                                     << QByteArray("FileVersion 2.4.1.0\nProductVersion 2.4.1.0\n") << QByteArray();
    QTest::newRow("empty value") << QStringList{fixture("multilanguage.dll"), "\\StringFileInfo\\080704b0\\Comments"}
                                 << 0 << QByteArray("\n") << QByteArray();
    QTest::newRow("default missing in table") << QStringList{fixture("englishonly.exe")} << 1 << QByteArray()
                                              << QByteArray("\\StringFileInfo\\080704b0\\ProductVersion not found");
    QTest::newRow("no version resource") << QStringList{fixture("rcdataonly.exe")} << 1 << QByteArray()
                                         << QByteArray("no version resource (error 1813)");
    QTest::newRow("no resources") << QStringList{fixture("noresources.exe")} << 1 << QByteArray()
                                  << QByteArray("(error 1812)");
    QTest::newRow("missing file") << QStringList{fixture("missing.exe")} << 1 << QByteArray()
                                  << QByteArray("file not found (error 2)");
    QTest::newRow("not a PE file") << QStringList{QStringLiteral(ZENTAVO_VERSION_TOOL)} << 1 << QByteArray()
                                   << QByteArray("not a valid PE file (error 193)");
    QTest::newRow("no arguments") << QStringList() << 1 << QByteArray() << QByteArray("usage: zentavo-version");
    QTest::newRow("too many arguments") << QStringList{"a", "b", "c"} << 1 << QByteArray()
                                        << QByteArray("usage: zentavo-version");
}

void TestZentavoVersion::printsValueOrError()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    const ToolRun run = runTool(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, out);
    if (err.isEmpty())
        QCOMPARE(run.err, QByteArray());
    else
        QVERIFY2(run.err.startsWith("zentavo-version: ") && run.err.contains(err), run.err.constData());
}

void TestZentavoVersion::failsOnTruncatedFile()
{
    QFile source(fixture("zentavo-2.4.1.0.exe"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile cut(dir.filePath("cut.exe"));
    QVERIFY(cut.open(QIODevice::WriteOnly));
    // Cut the file inside its version block.
    const QByteArray image = source.readAll();
    const QByteArray key("V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0", 20);
    const int block = image.indexOf(key);
    QVERIFY(block > 0);
    cut.write(image.left(block + 40));
    cut.close();

    const ToolRun run = runTool({cut.fileName()});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.contains("(error 13)"), run.err.constData());
}

QTEST_GUILESS_MAIN(TestZentavoVersion)
#include "tst_zentavoversion.moc"
