// The application shell: the log on the stick and the single-instance guard.
#include "messagehandler.h"
#include "singleinstance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QWidget>

#include <memory>
#include <signal.h>

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void logAppendsEachMessageAsOneLine();
    void logWithoutStickDirectoryCreatesNothing();
    void fatalMessageIsOnTheStickBeforeTheAbort();

    void oneHolderPerKeyAndActivationReachesIt();
    void killedHolderDoesNotBlockNextStart();
    void activatesTheVisibleWindowNotKeyboard();
    void deviceKeyFollowsDeviceRoot();

private:
    QString stickDir() const { return device->path() + QStringLiteral("/USB HD/Zentavo_Installer"); }
    QByteArray log() const
    {
        QFile file(stickDir() + QStringLiteral("/log.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    std::unique_ptr<QProcess> startProbe(const char* mode, const QString& argument)
    {
        // The probe inherits the device root and the runtime directory set here.
        auto probe = std::make_unique<QProcess>();
        probe->start(QStringLiteral(APPSHELL_PROBE), {QLatin1String(mode), argument});
        return probe;
    }

    QTemporaryDir runtimeDir;
    QTemporaryDir* device = nullptr;
    QString key;
};

void TestAppShell::initTestCase()
{
    QVERIFY(runtimeDir.isValid());
    // Keeps our locks and sockets away from any updater running on this machine.
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());
}

void TestAppShell::init()
{
    device = new QTemporaryDir;
    QVERIFY(device->isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", device->path().toLocal8Bit());
    QVERIFY(QDir().mkpath(stickDir()));
    key = QStringLiteral("test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void TestAppShell::cleanup()
{
    qunsetenv("ZENTAVO_DEVICE_ROOT");
    delete device;
}

void TestAppShell::logAppendsEachMessageAsOneLine()
{
    {
        QFile earlier(stickDir() + QStringLiteral("/log.txt"));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("from an earlier run\n");
    }
    const QMessageLogContext context;
    messageHandler(QtDebugMsg, context, QStringLiteral("HandleEvents: WaitPassword: Ok."));
    messageHandler(QtWarningMsg, context, QStringLiteral("delete installer directory  true"));
    messageHandler(QtCriticalMsg, context, QString::fromUtf8("Grüße aus Zürich"));
    messageHandler(QtInfoMsg, context, QString());
    messageHandler(QtDebugMsg, context, QStringLiteral("first half\nsecond half"));

    QCOMPARE(log(), QByteArray("from an earlier run\n"
                               "HandleEvents: WaitPassword: Ok.\n"
                               "delete installer directory  true\n"
                               "Gr\xc3\xbc\xc3\x9f" "e aus Z\xc3\xbcrich\n"
                               "\n"
                               "first half\nsecond half\n"));
}

void TestAppShell::logWithoutStickDirectoryCreatesNothing()
{
    QVERIFY(QDir(stickDir()).removeRecursively());
    messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("Stick removed signal"));
    QVERIFY(QDir(device->path() + QStringLiteral("/USB HD")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

    // The file is opened per message, so a stick that comes back is written again.
    QVERIFY(QDir().mkpath(stickDir()));
    messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("back again"));
    QCOMPARE(log(), QByteArray("back again\n"));
}

void TestAppShell::fatalMessageIsOnTheStickBeforeTheAbort()
{
    auto probe = startProbe("fatal", QStringLiteral("fatal line"));
    QVERIFY(probe->waitForFinished(20000));
    QCOMPARE(probe->exitStatus(), QProcess::CrashExit);
    QCOMPARE(log(), QByteArray("fatal line\n"));
}

void TestAppShell::oneHolderPerKeyAndActivationReachesIt()
{
    auto first = std::make_unique<SingleInstance>(key);
    QVERIFY(first->claim());
    // Lock and socket stay in the runtime directory, never on the stick.
    const QString runtime = QFileInfo(runtimeDir.path()).absoluteFilePath();
    QCOMPARE(QFileInfo(first->lockFilePath()).absolutePath(), runtime);
    QCOMPARE(QFileInfo(first->serverName()).absolutePath(), runtime);
    QVERIFY(QFileInfo::exists(first->serverName()));

    QSignalSpy requests(first.get(), &SingleInstance::notifyActivationRequested);
    SingleInstance second(key);
    QVERIFY(!second.claim());
    QVERIFY(second.activateRunningInstance());
    QTRY_COMPARE(requests.count(), 1);
    SingleInstance otherDevice(key + QStringLiteral("-other"));
    QVERIFY(otherDevice.claim());

    first.reset();
    QVERIFY(!second.activateRunningInstance(200));
    SingleInstance third(key);
    QVERIFY(third.claim());
}

void TestAppShell::killedHolderDoesNotBlockNextStart()
{
    auto holder = startProbe("hold", key);
    QVERIFY(holder->waitForReadyRead(20000));
    QCOMPARE(holder->readLine().trimmed(), QByteArray("claimed"));
    QVERIFY(!SingleInstance(key).claim());
    ::kill(pid_t(holder->processId()), SIGKILL);
    QVERIFY(holder->waitForFinished(20000));

    SingleInstance next(key);
    QVERIFY(next.claim());
    // The killed holder's socket is gone too: a later start reaches us.
    QSignalSpy requests(&next, &SingleInstance::notifyActivationRequested);
    QVERIFY(SingleInstance(key).activateRunningInstance());
    QTRY_COMPARE(requests.count(), 1);
}

void TestAppShell::activatesTheVisibleWindowNotKeyboard()
{
    QWidget mainWindow;
    QWidget prompt;
    QWidget keyboard(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
    prompt.show();
    keyboard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&keyboard));
    keyboard.activateWindow();
    QTRY_VERIFY(keyboard.isActiveWindow());

    SingleInstance::activateVisibleWindow();

    QTRY_VERIFY(prompt.isActiveWindow());
    QVERIFY(!mainWindow.isVisible());
}

void TestAppShell::deviceKeyFollowsDeviceRoot()
{
    qputenv("ZENTAVO_DEVICE_ROOT", "/tmp/device-a");
    const QString a = SingleInstance::deviceKey();
    qputenv("ZENTAVO_DEVICE_ROOT", "/tmp/device-a/");
    const QString aAgain = SingleInstance::deviceKey();
    qputenv("ZENTAVO_DEVICE_ROOT", "/tmp/device-b");
    const QString b = SingleInstance::deviceKey();
    qunsetenv("ZENTAVO_DEVICE_ROOT");
    const QString device = SingleInstance::deviceKey();

    QCOMPARE(a, aAgain);
    QVERIFY(a != b);
    QVERIFY(device != a);
    QVERIFY(a.startsWith(QLatin1String("zentavo-installer-")));
}

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
