#include "messagehandler.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestMessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void appendsEachMessageAsOneLine();
    void messageWithLineFeedSpansTwoLines();
    void missingDirectoryLosesMessageAndCreatesNothing();
    void frameworkWarningLands();
    void separateRunsAppend();
    void fatalMessageIsWrittenThenAborts();

private:
    QString stickDir() const { return device->path() + QStringLiteral("/USB HD/Zentavo_Installer"); }
    QString logPath() const { return stickDir() + QStringLiteral("/log.txt"); }
    QByteArray logContents() const;
    QStringList deviceEntries() const;
    QProcess* startProbe(const QStringList& arguments);

    QTemporaryDir* device = nullptr;
};

void TestMessageHandler::init()
{
    device = new QTemporaryDir;
    QVERIFY(device->isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", device->path().toLocal8Bit());
    QVERIFY(QDir().mkpath(stickDir()));
}

void TestMessageHandler::cleanup()
{
    qunsetenv("ZENTAVO_DEVICE_ROOT");
    delete device;
    device = nullptr;
}

QByteArray TestMessageHandler::logContents() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QStringList TestMessageHandler::deviceEntries() const
{
    QStringList entries;
    QDirIterator it(device->path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next().mid(device->path().size());
    entries.sort();
    return entries;
}

QProcess* TestMessageHandler::startProbe(const QStringList& arguments)
{
    auto* probe = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZENTAVO_DEVICE_ROOT"), device->path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe->setProcessEnvironment(environment);
    probe->start(QStringLiteral(APPSHELL_PROBE), arguments);
    return probe;
}

void TestMessageHandler::appendsEachMessageAsOneLine()
{
    {
        QFile earlier(logPath());
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("from an earlier run\n");
    }
    const QMessageLogContext context;
    messageHandler(QtDebugMsg, context, QStringLiteral("HandleEvents: WaitPassword: Ok."));
    messageHandler(QtWarningMsg, context, QStringLiteral("delete installer directory  true"));
    messageHandler(QtCriticalMsg, context, QString::fromUtf8("Grüße aus Zürich"));
    messageHandler(QtInfoMsg, context, QString());

    QCOMPARE(logContents(), QByteArray("from an earlier run\n"
                                       "HandleEvents: WaitPassword: Ok.\n"
                                       "delete installer directory  true\n"
                                       "Gr\xc3\xbc\xc3\x9f" "e aus Z\xc3\xbcrich\n"
                                       "\n"));
}

void TestMessageHandler::messageWithLineFeedSpansTwoLines()
{
    messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("first half\nsecond half"));
    QCOMPARE(logContents(), QByteArray("first half\nsecond half\n"));
}

void TestMessageHandler::missingDirectoryLosesMessageAndCreatesNothing()
{
    QVERIFY(QDir(stickDir()).removeRecursively());
    const QStringList before = deviceEntries();

    messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("Stick removed signal"));
    QCOMPARE(deviceEntries(), before);

    QVERIFY(QDir(device->path()).removeRecursively());
    messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("no device at all"));
    QVERIFY(!QFileInfo::exists(device->path()));
    QVERIFY(QDir().mkpath(device->path()));

    // The file is opened per message, so a stick that comes back is written again.
    QVERIFY(QDir().mkpath(stickDir()));
    messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("back again"));
    QCOMPARE(logContents(), QByteArray("back again\n"));
}

void TestMessageHandler::frameworkWarningLands()
{
    const QtMessageHandler previous = qInstallMessageHandler(messageHandler);
    QObject object;
    const bool connected = QObject::connect(&object, "2noSuchSignal()", &object, "1deleteLater()");
    qInstallMessageHandler(previous);

    QVERIFY(!connected);
    const QByteArray log = logContents();
    QVERIFY2(log.startsWith("QObject::connect: No such signal QObject::noSuchSignal()"), log.constData());
    QVERIFY(log.endsWith('\n'));
    QCOMPARE(log.count('\n'), 1);
}

void TestMessageHandler::separateRunsAppend()
{
    for (const QString& text : {QStringLiteral("first run"), QStringLiteral("second run")}) {
        QProcess* probe = startProbe({QStringLiteral("log"), text});
        QVERIFY(probe->waitForFinished(20000));
        QCOMPARE(probe->exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe->exitCode(), 0);
    }
    // What is issued before the handler is installed stays off the stick.
    QCOMPARE(logContents(), QByteArray("first run\nsecond run\n"));
}

void TestMessageHandler::fatalMessageIsWrittenThenAborts()
{
    QProcess* probe = startProbe({QStringLiteral("fatal"), QStringLiteral("fatal line")});
    QVERIFY(probe->waitForFinished(20000));
    QCOMPARE(probe->exitStatus(), QProcess::CrashExit);
    QCOMPARE(logContents(), QByteArray("fatal line\n"));
}

QTEST_GUILESS_MAIN(TestMessageHandler)
#include "tst_messagehandler.moc"
