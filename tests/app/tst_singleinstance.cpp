#include "singleinstance.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QWidget>

#include <signal.h>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void secondClaimIsRefusedWhileFirstHolds();
    void lockAndSocketStayInRuntimeDirectory();
    void activationRequestReachesHolder();
    void activatesTheVisibleWindowNotKeyboard();
    void deviceKeyFollowsDeviceRoot();
    void secondProcessLeavesAtOnceAndActivatesFirst();
    void killedHolderDoesNotBlockNextStart();

private:
    QProcess* startProbe(const QStringList& arguments);
    bool waitForLine(QProcess* probe, const QByteArray& line, int timeout = 20000);

    QTemporaryDir runtimeDir;
    QString key;
};

void TestSingleInstance::initTestCase()
{
    QVERIFY(runtimeDir.isValid());
    // Keeps our locks and sockets away from any updater running on this machine.
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());
}

void TestSingleInstance::init()
{
    key = QStringLiteral("test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QProcess* TestSingleInstance::startProbe(const QStringList& arguments)
{
    auto* probe = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe->setProcessEnvironment(environment);
    probe->start(QStringLiteral(APPSHELL_PROBE), arguments);
    return probe;
}

bool TestSingleInstance::waitForLine(QProcess* probe, const QByteArray& line, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    QByteArray seen;
    while (clock.elapsed() < timeout) {
        if (probe->canReadLine() || probe->waitForReadyRead(100)) {
            while (probe->canReadLine()) {
                if (probe->readLine().trimmed() == line)
                    return true;
            }
        }
        if (probe->state() == QProcess::NotRunning && !probe->canReadLine())
            return false;
    }
    return false;
}

void TestSingleInstance::secondClaimIsRefusedWhileFirstHolds()
{
    auto first = std::make_unique<SingleInstance>(key);
    QVERIFY(first->claim());
    SingleInstance second(key);
    QVERIFY(!second.claim());
    SingleInstance otherDevice(key + QStringLiteral("-other"));
    QVERIFY(otherDevice.claim());

    first.reset();
    SingleInstance third(key);
    QVERIFY(third.claim());
}

void TestSingleInstance::lockAndSocketStayInRuntimeDirectory()
{
    SingleInstance instance(key);
    QVERIFY(instance.claim());
    QCOMPARE(QFileInfo(instance.lockFilePath()).absolutePath(), QFileInfo(runtimeDir.path()).absoluteFilePath());
    QCOMPARE(QFileInfo(instance.serverName()).absolutePath(), QFileInfo(runtimeDir.path()).absoluteFilePath());
    QVERIFY(QFileInfo::exists(instance.lockFilePath()));
    QVERIFY(QFileInfo::exists(instance.serverName()));
}

void TestSingleInstance::activationRequestReachesHolder()
{
    SingleInstance holder(key);
    QVERIFY(holder.claim());
    QSignalSpy requests(&holder, &SingleInstance::notifyActivationRequested);
    SingleInstance later(key);
    QVERIFY(!later.claim());
    QVERIFY(later.activateRunningInstance());
    QTRY_COMPARE(requests.count(), 1);

    SingleInstance nobody(key + QStringLiteral("-nobody"));
    QVERIFY(!nobody.activateRunningInstance(200));
}

void TestSingleInstance::activatesTheVisibleWindowNotKeyboard()
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

void TestSingleInstance::deviceKeyFollowsDeviceRoot()
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

void TestSingleInstance::secondProcessLeavesAtOnceAndActivatesFirst()
{
    QProcess* holder = startProbe({QStringLiteral("hold"), key});
    QVERIFY(waitForLine(holder, "claimed"));

    QProcess* second = startProbe({QStringLiteral("second"), key});
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(waitForLine(holder, "activated"));

    holder->kill();
    holder->waitForFinished();
}

void TestSingleInstance::killedHolderDoesNotBlockNextStart()
{
    QProcess* holder = startProbe({QStringLiteral("hold"), key});
    QVERIFY(waitForLine(holder, "claimed"));
    {
        SingleInstance refused(key);
        QVERIFY(!refused.claim());
    }
    ::kill(pid_t(holder->processId()), SIGKILL);
    QVERIFY(holder->waitForFinished(20000));

    SingleInstance next(key);
    QVERIFY(next.claim());
    // The killed holder's socket is gone too: a later start reaches us.
    QSignalSpy requests(&next, &SingleInstance::notifyActivationRequested);
    SingleInstance later(key);
    QVERIFY(later.activateRunningInstance());
    QTRY_COMPARE(requests.count(), 1);
}

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
