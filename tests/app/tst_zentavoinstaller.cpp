// The updater as a whole process on a simulated device: start-up order, the
// log across runs, the end by pulling the stick, and the single-instance guard.
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <signal.h>

namespace {

class Device
{
public:
    Device()
    {
        QDir().mkpath(flashDisk());
        plugStick();
    }
    bool isValid() const { return root.isValid(); }
    QString path() const { return root.path(); }
    QString flashDisk() const { return root.path() + QStringLiteral("/FlashDisk"); }
    QString stickDir() const { return root.path() + QStringLiteral("/USB HD/Zentavo_Installer"); }
    QString pulledDir() const { return root.path() + QStringLiteral("/USB HD/pulled"); }
    void plugStick()
    {
        if (QFileInfo::exists(pulledDir()))
            QDir().rename(pulledDir(), stickDir());
        else
            QDir().mkpath(stickDir());
    }
    // The installer directory disappears; its log stays readable for the test.
    bool pullStick() { return QDir().rename(stickDir(), pulledDir()); }
    QByteArray log() const
    {
        for (const QString& dir : {stickDir(), pulledDir()}) {
            QFile file(dir + QStringLiteral("/log.txt"));
            if (file.open(QIODevice::ReadOnly))
                return file.readAll();
        }
        return QByteArray();
    }
    // Every entry but the log, with size and modification time: a fingerprint
    // of what a run touched.
    QStringList snapshot() const
    {
        QStringList entries;
        QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            if (it.fileName() == QLatin1String("log.txt"))
                continue;
            entries << it.filePath() + QLatin1Char(' ') + QString::number(it.fileInfo().size()) + QLatin1Char(' ')
                           + QString::number(it.fileInfo().lastModified().toMSecsSinceEpoch());
        }
        entries.sort();
        return entries;
    }

private:
    QTemporaryDir root;
};

} // namespace

class TestZentavoInstaller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void runEndsWithZeroWhenStickIsPulled();
    void secondRunAppendsToLog();
    void secondInstanceLeavesAtOnceAndTouchesNothing();
    void differentDevicesDoNotBlockEachOther();
    void killedInstanceDoesNotBlockNextStart();
    void startedTerminalDoesNotBlockNextStart();

private:
    std::unique_ptr<QProcess> start(const Device& device);
    bool waitForLog(const Device& device, const QByteArray& text, int count = 1, int timeout = 20000);
    void finish(Device& device, QProcess* updater);

    QTemporaryDir runtimeDir;
};

void TestZentavoInstaller::initTestCase()
{
    QVERIFY(runtimeDir.isValid());
}

std::unique_ptr<QProcess> TestZentavoInstaller::start(const Device& device)
{
    auto updater = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZENTAVO_DEVICE_ROOT"), device.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    updater->setProcessEnvironment(environment);
    updater->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    updater->start(QStringLiteral(ZENTAVO_INSTALLER), QStringList());
    return updater;
}

bool TestZentavoInstaller::waitForLog(const Device& device, const QByteArray& text, int count, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeout) {
        if (device.log().count(text) >= count)
            return true;
        QTest::qWait(20);
    }
    return false;
}

void TestZentavoInstaller::finish(Device& device, QProcess* updater)
{
    QVERIFY(device.pullStick());
    QVERIFY(updater->waitForFinished(20000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);
    device.plugStick();
}

void TestZentavoInstaller::runEndsWithZeroWhenStickIsPulled()
{
    Device device;
    QVERIFY(device.isValid());
    auto updater = start(device);
    QVERIFY(waitForLog(device, "HandleEvents: InitialState: Nothing done."));
    QVERIFY(waitForLog(device, "delete installer directory"));
    QCOMPARE(updater->state(), QProcess::Running);

    finish(device, updater.get());

    const QList<QByteArray> lines = device.log().split('\n');
    QVERIFY(lines.size() > 3);
    // Nothing of the workflow runs, and nothing reaches the log, before the event loop.
    QVERIFY2(lines.first().startsWith("Installer started at "), lines.first().constData());
    QVERIFY(lines.contains("Admin-DB not available."));
    QVERIFY(lines.indexOf("Admin-DB not available.") < lines.indexOf("HandleEvents: WaitPassword: Ok."));
    QVERIFY(lines.indexOf("HandleEvents: WaitPassword: Ok.") < lines.indexOf("HandleEvents: InitialState: Nothing done."));
    QVERIFY(device.log().endsWith('\n'));
}

void TestZentavoInstaller::secondRunAppendsToLog()
{
    Device device;
    for (int run = 1; run <= 2; ++run) {
        auto updater = start(device);
        QVERIFY(waitForLog(device, "delete installer directory", run));
        finish(device, updater.get());
    }
    const QByteArray log = device.log();
    QCOMPARE(log.count("Installer started at "), 2);
    QCOMPARE(log.count("HandleEvents: InitialState: Nothing done."), 2);
    QVERIFY(log.indexOf("HandleEvents: InitialState: Nothing done.") < log.lastIndexOf("Installer started at "));
}

void TestZentavoInstaller::secondInstanceLeavesAtOnceAndTouchesNothing()
{
    Device device;
    auto first = start(device);
    QVERIFY(waitForLog(device, "delete installer directory"));
    QTest::qWait(200);
    const QByteArray logBefore = device.log();
    const QStringList before = device.snapshot();

    QElapsedTimer clock;
    clock.start();
    auto second = start(device);
    QVERIFY(second->waitForFinished(1000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    qInfo("second instance left after %lld ms", elapsed);

    QTest::qWait(200);
    QCOMPARE(first->state(), QProcess::Running);
    // The running one comes to the front; on the offscreen platform raising a
    // window is only remarked on, in the running instance's own log.
    QByteArray logAfter = device.log();
    logAfter.replace("This plugin does not support raise()\n", "");
    QCOMPARE(logAfter, logBefore);
    QCOMPARE(device.snapshot(), before);

    finish(device, first.get());
}

void TestZentavoInstaller::differentDevicesDoNotBlockEachOther()
{
    Device deviceA;
    Device deviceB;
    auto a = start(deviceA);
    QVERIFY(waitForLog(deviceA, "delete installer directory"));
    auto b = start(deviceB);
    QVERIFY(waitForLog(deviceB, "delete installer directory"));
    QCOMPARE(a->state(), QProcess::Running);
    QCOMPARE(b->state(), QProcess::Running);
    finish(deviceA, a.get());
    finish(deviceB, b.get());
}

void TestZentavoInstaller::killedInstanceDoesNotBlockNextStart()
{
    Device device;
    auto first = start(device);
    QVERIFY(waitForLog(device, "delete installer directory"));
    ::kill(pid_t(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished(20000));
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);

    auto next = start(device);
    QVERIFY(waitForLog(device, "Installer started at ", 2));
    finish(device, next.get());
}

void TestZentavoInstaller::startedTerminalDoesNotBlockNextStart()
{
    Device device;
    // A terminal that outlives the updater, as the real one does.
    const QString terminalDir = device.flashDisk() + QStringLiteral("/Zentavo");
    QVERIFY(QDir().mkpath(terminalDir));
    QFile terminal(terminalDir + QStringLiteral("/Zentavo.exe"));
    QVERIFY(terminal.open(QIODevice::WriteOnly));
    terminal.write("#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\nexec sleep 5\n");
    terminal.close();
    QVERIFY(terminal.setPermissions(terminal.permissions() | QFileDevice::ExeOwner));

    auto first = start(device);
    QVERIFY(waitForLog(device, "delete installer directory"));
    finish(device, first.get());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(terminalDir + QStringLiteral("/started")), 10000);

    // The terminal must not have inherited the updater's lock.
    auto next = start(device);
    QVERIFY(waitForLog(device, "Installer started at ", 2));
    QCOMPARE(next->state(), QProcess::Running);
    finish(device, next.get());
}

QTEST_GUILESS_MAIN(TestZentavoInstaller)
#include "tst_zentavoinstaller.moc"
