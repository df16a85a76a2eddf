// The application shell: the log on the stick, the single-instance guard, and
// the whole updater process on a simulated device.
#include "devicepath.h"
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
    void init();
    void cleanup();

    void logAppendsEachMessageOnlyWhileTheStickIsThere();
    void fatalMessageIsOnTheStickBeforeTheAbort();
    void oneHolderPerKeyEvenAfterAKill();
    void claimSaysWhyTheLockIsUnavailable();
    void activatesTheVisibleWindowNotKeyboard();
    void oneLockForEverySpellingOfTheRoot();
    void updaterRunsEndWhenTheStickIsPulled();

private:
    QString stickDir() const { return device->path() + QStringLiteral("/USB HD/Zentavo_Installer"); }
    QByteArray log() const
    {
        QFile file(stickDir() + QStringLiteral("/log.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The probe runs the shell's pieces in a process of its own; it inherits
    // the device root and the runtime directory set here.
    std::unique_ptr<QProcess> startProbe(const char* mode, const QString& argument)
    {
        auto probe = std::make_unique<QProcess>();
        probe->start(QStringLiteral(APPSHELL_PROBE), {QLatin1String(mode), argument});
        return probe;
    }

    QTemporaryDir* device = nullptr;
    QString key;
};

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

void TestAppShell::logAppendsEachMessageOnlyWhileTheStickIsThere()
{
    // Without the installer directory the message is lost; nothing is created.
    QVERIFY(QDir(stickDir()).removeRecursively());
    messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("Stick removed signal"));
    QVERIFY(QDir(device->path() + QStringLiteral("/USB HD")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

    // The file is opened per message: a stick that comes back is written
    // again, after what an earlier run left.
    QVERIFY(QDir().mkpath(stickDir()));
    {
        QFile earlier(stickDir() + QStringLiteral("/log.txt"));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("from an earlier run\n");
    }
    const QMessageLogContext context;
    messageHandler(QtWarningMsg, context, QStringLiteral("delete installer directory  true"));
    messageHandler(QtCriticalMsg, context, QString::fromUtf8("Grüße aus Zürich"));
    messageHandler(QtInfoMsg, context, QString());
    messageHandler(QtDebugMsg, context, QStringLiteral("first half\nsecond half"));

    QCOMPARE(log(), QByteArray("from an earlier run\n"
                               "delete installer directory  true\n"
                               "Gr\xc3\xbc\xc3\x9f" "e aus Z\xc3\xbcrich\n"
                               "\n"
                               "first half\nsecond half\n"));
}

void TestAppShell::fatalMessageIsOnTheStickBeforeTheAbort()
{
    auto probe = startProbe("fatal", QStringLiteral("fatal line"));
    QVERIFY(probe->waitForFinished(20000));
    QCOMPARE(probe->exitStatus(), QProcess::CrashExit);
    QCOMPARE(log(), QByteArray("fatal line\n"));
}

void TestAppShell::oneHolderPerKeyEvenAfterAKill()
{
    auto holder = startProbe("hold", key);
    QVERIFY(holder->waitForReadyRead(20000));
    QCOMPARE(holder->readLine().trimmed(), QByteArray("claimed"));
    QCOMPARE(SingleInstance(key).claim(), SingleInstance::Held);
    QCOMPARE(SingleInstance(key + QStringLiteral("-other")).claim(), SingleInstance::Claimed);
    // A killed holder leaves neither its lock nor its socket in the way.
    ::kill(pid_t(holder->processId()), SIGKILL);
    QVERIFY(holder->waitForFinished(20000));
    auto first = std::make_unique<SingleInstance>(key);
    QCOMPARE(first->claim(), SingleInstance::Claimed);
    // Lock and socket live below the device root, whatever the session's
    // runtime directory, and never on the stick.
    const QString lockDir = QDir::cleanPath(device->path() + QStringLiteral("/run/zentavo-installer"));
    QCOMPARE(QFileInfo(first->lockFilePath()).absolutePath(), lockDir);
    QCOMPARE(QFileInfo(first->serverName()).absolutePath(), lockDir);
    QCOMPARE(QFileInfo(first->lockFilePath()).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());

    QSignalSpy requests(first.get(), &SingleInstance::notifyActivationRequested);
    SingleInstance second(key);
    QCOMPARE(second.claim(), SingleInstance::Held);
    QVERIFY(second.activateRunningInstance());
    QTRY_COMPARE(requests.count(), 1);
    first.reset();
    QVERIFY(!second.activateRunningInstance(200));
    QCOMPARE(SingleInstance(key).claim(), SingleInstance::Claimed);
}

void TestAppShell::claimSaysWhyTheLockIsUnavailable()
{
    // A device root others may write to could hold a lock folder of theirs.
    const QFileDevice::Permissions owner = QFile::permissions(device->path());
    QVERIFY(QFile::setPermissions(device->path(), owner | QFileDevice::WriteGroup));
    QString error = QStringLiteral("left over");
    QCOMPARE(SingleInstance(key).claim(&error), SingleInstance::Unavailable);
    QCOMPARE(error, DevicePath::map("/") + QStringLiteral(" is writable by others"));
    QVERIFY(!QFileInfo::exists(SingleInstance::lockDirectory()));

    QVERIFY(QFile::setPermissions(device->path(), owner));
    SingleInstance instance(key);
    QCOMPARE(instance.claim(&error), SingleInstance::Claimed);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(SingleInstance(key).claim(&error), SingleInstance::Held);
    QVERIFY2(error.isEmpty(), qPrintable(error));
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

void TestAppShell::oneLockForEverySpellingOfTheRoot()
{
    // One updater per device: a link to the root, a trailing slash or a detour
    // through ".." reach the same lock as the root itself.
    SingleInstance first(SingleInstance::lockKey());
    QCOMPARE(first.claim(), SingleInstance::Claimed);
    // Inside the root, so that it goes with the temporary folder.
    const QString link = device->path() + QStringLiteral("/self");
    QVERIFY(QFile::link(device->path(), link));
    const QString spellings[] = {link, device->path() + QStringLiteral("/"),
                                 device->path() + QStringLiteral("/run/..")};
    for (const QString& root : spellings) {
        qputenv("ZENTAVO_DEVICE_ROOT", root.toLocal8Bit());
        QString error;
        SingleInstance second(SingleInstance::lockKey());
        QCOMPARE(second.claim(&error), SingleInstance::Held);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
}

void TestAppShell::updaterRunsEndWhenTheStickIsPulled()
{
    // A terminal that outlives the updater, as the real one does. It must not
    // inherit the updater's lock, or the second run could not start.
    const QString terminalDir = device->path() + QStringLiteral("/FlashDisk/Zentavo");
    QVERIFY(QDir().mkpath(terminalDir));
    QFile terminal(terminalDir + QStringLiteral("/Zentavo.exe"));
    QVERIFY(terminal.open(QIODevice::WriteOnly));
    terminal.write("#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\nexec sleep 5\n");
    terminal.close();
    QVERIFY(terminal.setPermissions(terminal.permissions() | QFileDevice::ExeOwner));
    const QString pulled = device->path() + QStringLiteral("/USB HD/pulled");

    for (int run = 1; run <= 2; ++run) {
        QProcess updater;
        updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        updater.start(QStringLiteral(ZENTAVO_INSTALLER), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(log().count("delete installer directory"), run, 20000);
        QCOMPARE(updater.state(), QProcess::Running);
        // The installer directory goes; its log stays readable for the test.
        QVERIFY(QDir().rename(stickDir(), pulled));
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY(QDir().rename(pulled, stickDir()));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(terminalDir + QStringLiteral("/started")), 10000);
        QVERIFY(QFile::remove(terminalDir + QStringLiteral("/started")));
    }

    // Nothing reaches the log before the workflow's start line; the second run appends.
    const QByteArray log = this->log();
    QVERIFY2(log.startsWith("Installer started at "), log.constData());
    QCOMPARE(log.count("Installer started at "), 2);
    QCOMPARE(log.count("HandleEvents: InitialState: Nothing done."), 2);
    QVERIFY(log.indexOf("HandleEvents: InitialState: Nothing done.") < log.lastIndexOf("Installer started at "));
}

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
