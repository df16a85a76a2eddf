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

namespace {

class Device
{
public:
    Device()
    {
        QDir().mkpath(root.path() + QStringLiteral("/FlashDisk"));
        QDir().mkpath(stickDir());
    }
    QString path() const { return root.path(); }
    QString stickDir() const { return root.path() + QStringLiteral("/USB HD/Zentavo_Installer"); }
    QString pulledDir() const { return root.path() + QStringLiteral("/USB HD/pulled"); }
    // The installer directory disappears; its log stays readable for the test.
    bool pullStick() { return QDir().rename(stickDir(), pulledDir()); }
    bool plugStick() { return QDir().rename(pulledDir(), stickDir()); }
    QByteArray log() const
    {
        QFile file(stickDir() + QStringLiteral("/log.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Every entry but the log, with size and modification time: a fingerprint
    // of what a run touched.
    QStringList snapshot() const
    {
        QStringList entries;
        QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            if (it.fileName() != QLatin1String("log.txt"))
                entries << QStringLiteral("%1 %2 %3").arg(it.filePath()).arg(it.fileInfo().size())
                                                     .arg(it.fileInfo().lastModified().toMSecsSinceEpoch());
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
    void initTestCase() { QVERIFY(runtimeDir.isValid()); }

    void runsEndWhenTheStickIsPulled();
    void secondInstanceLeavesAtOnceAndTouchesNothing();

private:
    std::unique_ptr<QProcess> start(const Device& device);
    bool waitForLog(const Device& device, const QByteArray& text, int count = 1);
    void finish(Device& device, QProcess* updater);

    QTemporaryDir runtimeDir;
};

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

bool TestZentavoInstaller::waitForLog(const Device& device, const QByteArray& text, int count)
{
    QElapsedTimer clock;
    clock.start();
    while (device.log().count(text) < count) {
        if (clock.elapsed() > 20000)
            return false;
        QTest::qWait(20);
    }
    return true;
}

void TestZentavoInstaller::finish(Device& device, QProcess* updater)
{
    QVERIFY(device.pullStick());
    QVERIFY(updater->waitForFinished(20000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);
    QVERIFY(device.plugStick());
}

void TestZentavoInstaller::runsEndWhenTheStickIsPulled()
{
    Device device;
    // A terminal that outlives the updater, as the real one does. It must not
    // inherit the updater's lock, or the second run could not start.
    const QString terminalDir = device.path() + QStringLiteral("/FlashDisk/Zentavo");
    QVERIFY(QDir().mkpath(terminalDir));
    QFile terminal(terminalDir + QStringLiteral("/Zentavo.exe"));
    QVERIFY(terminal.open(QIODevice::WriteOnly));
    terminal.write("#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\nexec sleep 5\n");
    terminal.close();
    QVERIFY(terminal.setPermissions(terminal.permissions() | QFileDevice::ExeOwner));

    for (int run = 1; run <= 2; ++run) {
        auto updater = start(device);
        QVERIFY(waitForLog(device, "delete installer directory", run));
        QCOMPARE(updater->state(), QProcess::Running);
        finish(device, updater.get());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(terminalDir + QStringLiteral("/started")), 10000);
    }

    const QByteArray log = device.log();
    const QList<QByteArray> lines = log.split('\n');
    // Nothing of the workflow runs, and nothing reaches the log, before the event loop.
    QVERIFY2(lines.first().startsWith("Installer started at "), lines.first().constData());
    QVERIFY(lines.contains("Admin-DB not available."));
    QVERIFY(lines.indexOf("Admin-DB not available.") < lines.indexOf("HandleEvents: WaitPassword: Ok."));
    QVERIFY(lines.indexOf("HandleEvents: WaitPassword: Ok.") < lines.indexOf("HandleEvents: InitialState: Nothing done."));
    QVERIFY(log.endsWith('\n'));
    // The second run appends.
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

    auto second = start(device);
    QVERIFY(second->waitForFinished(1000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);

    QTest::qWait(200);
    QCOMPARE(first->state(), QProcess::Running);
    // The running one comes to the front; on the offscreen platform raising a
    // window is only remarked on, in the running instance's own log.
    QByteArray logAfter = device.log();
    logAfter.replace("This plugin does not support raise()\n", "");
    QCOMPARE(logAfter, logBefore);
    QCOMPARE(device.snapshot(), before);

    // Another device is not blocked by this one.
    Device other;
    auto elsewhere = start(other);
    QVERIFY(waitForLog(other, "delete installer directory"));
    QCOMPARE(first->state(), QProcess::Running);
    finish(other, elsewhere.get());
    finish(device, first.get());
}

QTEST_GUILESS_MAIN(TestZentavoInstaller)
#include "tst_zentavoinstaller.moc"
