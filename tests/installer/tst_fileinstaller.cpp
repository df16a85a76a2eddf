#include "fileinstaller.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QStringList capturedLines;

void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    capturedLines.append(message);
}

bool isRemovalLine(const QString& line)
{
    return line.startsWith(QLatin1String("removed file: "))
        || line.startsWith(QLatin1String("error - removed file: "));
}

// The order in which one directory yields its entries is the file system's;
// only the lines around each run of removal lines have a fixed order.
QStringList sortRemovalRuns(QStringList lines)
{
    for (int i = 0; i < lines.size();) {
        int end = i;
        while (end < lines.size() && isRemovalLine(lines.at(end)))
            ++end;
        std::sort(lines.begin() + i, lines.begin() + end);
        i = end == i ? i + 1 : end;
    }
    return lines;
}

bool setImmutable(const QString& path, bool immutable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

} // namespace

class TestFileInstaller : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installsWholeUpdate();
    void leavesInstalledRequestsWithoutExecutable();
    void leavesBackupWithOneSubdirectory_data();
    void leavesBackupWithOneSubdirectory();
    void treatsMissingAndEmptyRequestDirectoriesAsCleared();
    void failedRemovalFailsInstallButCopiesRun_data();
    void failedRemovalFailsInstallButCopiesRun();
    void updateAvailableOnlyWithBothPayloadDirectories_data();
    void updateAvailableOnlyWithBothPayloadDirectories();
    void deletesOnlyApplicationPayload();
    void stickWatchReportsRemovalOnce();
    void startsTerminalDetached();
    void reportsFailedTerminalStart();
    void readsPayloadVersion();

private:
    QString device(const QString& devicePath) const { return root->path() + devicePath; }
    void makeFile(const QString& devicePath, const QByteArray& content = QByteArray("x"));
    void makeDir(const QString& devicePath);
    bool exists(const QString& devicePath) const { return QFileInfo::exists(device(devicePath)); }
    void makePayload();
    void makeInstalledApplication();
    void makeBackup();
    QStringList removals(const QString& prefix, const QStringList& devicePaths) const;
    bool makeImmutable(const QString& devicePath);

    QScopedPointer<QTemporaryDir> root;
    QtMessageHandler previousHandler = nullptr;
    QStringList immutablePaths;
};

void TestFileInstaller::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", QFile::encodeName(root->path()));
    capturedLines.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

void TestFileInstaller::cleanup()
{
    qInstallMessageHandler(previousHandler);
    for (const QString& path : qAsConst(immutablePaths))
        setImmutable(path, false);
    immutablePaths.clear();
    root.reset();
    qunsetenv("ZENTAVO_DEVICE_ROOT");
}

void TestFileInstaller::makeFile(const QString& devicePath, const QByteArray& content)
{
    const QString path = device(devicePath);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void TestFileInstaller::makeDir(const QString& devicePath)
{
    QVERIFY(QDir().mkpath(device(devicePath)));
}

void TestFileInstaller::makePayload()
{
    makeFile("/FlashDisk/Zentavo_Installer/System/driver.dll", "new driver");
    makeFile("/FlashDisk/Zentavo_Installer/Zentavo/Zentavo.exe", "new exe");
    makeFile("/FlashDisk/Zentavo_Installer/Zentavo/data/config.ini", "new config");
    makeFile("/FlashDisk/Zentavo_Installer/Zentavo/list/order.xml");
    makeFile("/FlashDisk/Zentavo_Installer/Zentavo/remotecmd/cmd1.xml");
    makeFile("/FlashDisk/Zentavo_Installer/Zentavo/remotecmd/keep.txt", "kept");
    makeFile("/FlashDisk/Zentavo_Installer/Zentavo/system/deep/req.xml");
}

void TestFileInstaller::makeInstalledApplication()
{
    makeFile("/FlashDisk/Zentavo/Zentavo.exe", "old exe");
    makeFile("/FlashDisk/Zentavo/data/config.ini", "old config");
    makeFile("/FlashDisk/Zentavo/list/a.xml");
    makeFile("/FlashDisk/Zentavo/list/sub/b.txt");
    makeFile("/FlashDisk/Zentavo/remotecmd/100%s.xml");
    makeFile("/FlashDisk/Zentavo/remotecmd/old/nested.xml");
    makeFile("/FlashDisk/Zentavo/remotecmd/readme.txt", "kept");
    makeFile("/FlashDisk/Zentavo/system/state.xml");
    makeFile("/FlashDisk/System/driver.dll", "old driver");
}

void TestFileInstaller::makeBackup()
{
    makeFile("/FlashDisk/Zentavo_Backup/System/driver.dll");
    makeFile("/FlashDisk/Zentavo_Backup/Zentavo/data/config.ini");
}

QStringList TestFileInstaller::removals(const QString& prefix, const QStringList& devicePaths) const
{
    QStringList lines;
    for (const QString& path : devicePaths)
        lines << prefix + device(path);
    return lines;
}

bool TestFileInstaller::makeImmutable(const QString& devicePath)
{
    if (!setImmutable(device(devicePath), true))
        return false;
    immutablePaths << device(devicePath);
    return true;
}

void TestFileInstaller::installsWholeUpdate()
{
    makePayload();
    makeInstalledApplication();
    makeBackup();

    FileInstaller installer;
    QSignalSpy lines(&installer, &FileInstaller::NotifyWriteLine);
    QVERIFY(installer.install());

    QStringList expected;
    expected << "Starting update..."
             << removals("removed file: ", {"/FlashDisk/Zentavo/remotecmd/100%s.xml",
                                            "/FlashDisk/Zentavo/remotecmd/old/nested.xml",
                                            "/FlashDisk/Zentavo/system/state.xml"})
             << "Clear available xmlFiles:  true"
             << removals("removed file: ", {"/FlashDisk/Zentavo_Installer/Zentavo/remotecmd/cmd1.xml",
                                            "/FlashDisk/Zentavo_Installer/Zentavo/system/deep/req.xml"})
             << "Clear installer xmlFiles:  true"
             << removals("removed file: ", {"/FlashDisk/Zentavo_Backup/System/driver.dll",
                                            "/FlashDisk/Zentavo_Backup/Zentavo/data/config.ini"})
             << "Clear Backup:  true"
             << "Installing update to Zentavo..."
             << "Status:  true";
    QCOMPARE(sortRemovalRuns(capturedLines), sortRemovalRuns(expected));

    QCOMPARE(lines.count(), 1);
    QCOMPARE(lines.at(0).at(0).toString(), QString("Installing update to Zentavo..."));

    // Request directories stay, whole "list" directories go, other files stay.
    QVERIFY(!exists("/FlashDisk/Zentavo/list"));
    QVERIFY(exists("/FlashDisk/Zentavo/remotecmd/old"));
    QVERIFY(exists("/FlashDisk/Zentavo/remotecmd/readme.txt"));
    QVERIFY(exists("/FlashDisk/Zentavo/system"));
    QVERIFY(!exists("/FlashDisk/Zentavo/list/order.xml"));
    QVERIFY(exists("/FlashDisk/Zentavo/remotecmd/keep.txt"));
    QVERIFY(exists("/FlashDisk/Zentavo_Backup/System"));
    QVERIFY(exists("/FlashDisk/Zentavo_Backup/Zentavo/data"));

    QFile exe(device("/FlashDisk/Zentavo/Zentavo.exe"));
    QVERIFY(exe.open(QIODevice::ReadOnly));
    QCOMPARE(exe.readAll(), QByteArray("new exe"));
    QFile driver(device("/FlashDisk/System/driver.dll"));
    QVERIFY(driver.open(QIODevice::ReadOnly));
    QCOMPARE(driver.readAll(), QByteArray("new driver"));
    // The payload itself goes only with deleteInstallerDirectory.
    QVERIFY(exists("/FlashDisk/Zentavo_Installer/Zentavo/Zentavo.exe"));
}

void TestFileInstaller::leavesInstalledRequestsWithoutExecutable()
{
    makePayload();
    makeFile("/FlashDisk/Zentavo/list/a.xml");
    makeFile("/FlashDisk/Zentavo/remotecmd/r.xml");

    FileInstaller installer;
    QVERIFY(installer.install());

    QVERIFY(!capturedLines.contains("Clear available xmlFiles:  true"));
    QVERIFY(exists("/FlashDisk/Zentavo/list/a.xml"));
    QVERIFY(exists("/FlashDisk/Zentavo/remotecmd/r.xml"));
    QVERIFY(!exists("/FlashDisk/Zentavo_Installer/Zentavo/remotecmd/cmd1.xml"));
    QCOMPARE(capturedLines.first(), QString("Starting update..."));
    QVERIFY(capturedLines.contains("Clear installer xmlFiles:  true"));
    QCOMPARE(capturedLines.last(), QString("Status:  true"));
    // Both copies ran.
    QVERIFY(exists("/FlashDisk/Zentavo/Zentavo.exe"));
    QVERIFY(exists("/FlashDisk/System/driver.dll"));
}

void TestFileInstaller::leavesBackupWithOneSubdirectory_data()
{
    QTest::addColumn<QString>("present");
    QTest::newRow("only System") << "/FlashDisk/Zentavo_Backup/System";
    QTest::newRow("only Zentavo") << "/FlashDisk/Zentavo_Backup/Zentavo";
}

void TestFileInstaller::leavesBackupWithOneSubdirectory()
{
    QFETCH(QString, present);
    makePayload();
    makeFile(present + "/old.dll");
    makeFile("/FlashDisk/Zentavo_Backup/stray.txt");

    FileInstaller installer;
    QVERIFY(installer.install());

    QVERIFY(exists(present + "/old.dll"));
    QVERIFY(exists("/FlashDisk/Zentavo_Backup/stray.txt"));
    for (const QString& line : qAsConst(capturedLines))
        QVERIFY2(!line.startsWith("Clear Backup"), qPrintable(line));
}

void TestFileInstaller::treatsMissingAndEmptyRequestDirectoriesAsCleared()
{
    // Installed application with empty request directories, payload without any.
    makeFile("/FlashDisk/Zentavo/Zentavo.exe");
    makeDir("/FlashDisk/Zentavo/remotecmd");
    makeDir("/FlashDisk/Zentavo/list");
    makeFile("/FlashDisk/Zentavo_Installer/System/driver.dll");
    makeFile("/FlashDisk/Zentavo_Installer/Zentavo/Zentavo.exe");
    makeDir("/FlashDisk/Zentavo_Installer/Zentavo/system");

    FileInstaller installer;
    QVERIFY(installer.install());
    const QStringList expected = {"Starting update...",
                                  "Clear available xmlFiles:  true",
                                  "Clear installer xmlFiles:  true",
                                  "Installing update to Zentavo...",
                                  "Status:  true"};
    QCOMPARE(capturedLines, expected);
}

void TestFileInstaller::failedRemovalFailsInstallButCopiesRun_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("how");          // "first", "last": immutable file; "dir": directory named *.xml
    QTest::addColumn<QString>("failedStatus"); // the first status line that turns false

    QTest::newRow("installed, first of three") << "/FlashDisk/Zentavo/remotecmd" << "first"
                                               << "Clear available xmlFiles: ";
    QTest::newRow("installed, last of three") << "/FlashDisk/Zentavo/remotecmd" << "last"
                                              << "Clear available xmlFiles: ";
    QTest::newRow("payload, directory named x.xml") << "/FlashDisk/Zentavo_Installer/Zentavo/remotecmd" << "dir"
                                                    << "Clear installer xmlFiles: ";
    QTest::newRow("payload, first of three") << "/FlashDisk/Zentavo_Installer/Zentavo/system" << "first"
                                             << "Clear installer xmlFiles: ";
    QTest::newRow("backup, first of three") << "/FlashDisk/Zentavo_Backup/Zentavo" << "first"
                                            << "Clear Backup: ";
    QTest::newRow("backup, last of three") << "/FlashDisk/Zentavo_Backup/Zentavo" << "last"
                                           << "Clear Backup: ";
}

void TestFileInstaller::failedRemovalFailsInstallButCopiesRun()
{
    QFETCH(QString, directory);
    QFETCH(QString, how);
    QFETCH(QString, failedStatus);

    makePayload();
    makeFile("/FlashDisk/Zentavo/Zentavo.exe", "old exe");
    makeBackup();

    QStringList candidates;
    for (const char* name : {"a.xml", "b.xml", "c.xml"}) {
        makeFile(directory + '/' + name);
        candidates << directory + '/' + name;
    }
    QString failing;
    if (how == "dir") {
        failing = directory + "/x.xml";
        makeFile(failing + "/inner.txt");
    } else {
        // Early or late in the order the directory yields its entries.
        QStringList order;
        QDirIterator it(device(directory), {"*.xml"}, QDir::Files);
        while (it.hasNext())
            order << it.next().mid(root->path().size());
        QCOMPARE(order.size(), 3);
        failing = how == "first" ? order.first() : order.last();
        if (!makeImmutable(failing))
            QSKIP("The file system does not let us make a file immutable");
        candidates.removeAll(failing);
    }

    FileInstaller installer;
    QVERIFY(!installer.install());

    // Every other match was still removed, and the failure has its line.
    for (const QString& path : qAsConst(candidates)) {
        QVERIFY2(!exists(path), qPrintable(path));
        QVERIFY(capturedLines.contains("removed file: " + device(path)));
    }
    QCOMPARE(capturedLines.count("error - removed file: " + device(failing)), 1);

    // The flag is cumulative: true before the failing step, false from it on.
    bool failed = false;
    for (const QString& line : qAsConst(capturedLines)) {
        if (!line.endsWith(QLatin1String(" true")) && !line.endsWith(QLatin1String(" false")))
            continue;
        if (line.startsWith(failedStatus))
            failed = true;
        QCOMPARE(line.endsWith(QLatin1String(" false")), failed);
    }
    QVERIFY(failed);
    QCOMPARE(capturedLines.last(), QString("Status:  false"));

    // Both copies ran all the same.
    QFile exe(device("/FlashDisk/Zentavo/Zentavo.exe"));
    QVERIFY(exe.open(QIODevice::ReadOnly));
    QCOMPARE(exe.readAll(), QByteArray("new exe"));
    QVERIFY(exists("/FlashDisk/System/driver.dll"));
}

void TestFileInstaller::updateAvailableOnlyWithBothPayloadDirectories_data()
{
    QTest::addColumn<bool>("system");
    QTest::addColumn<bool>("application");
    QTest::newRow("both") << true << true;
    QTest::newRow("no System") << false << true;
    QTest::newRow("no Zentavo") << true << false;
    QTest::newRow("neither") << false << false;
}

void TestFileInstaller::updateAvailableOnlyWithBothPayloadDirectories()
{
    QFETCH(bool, system);
    QFETCH(bool, application);
    if (system)
        makeDir("/FlashDisk/Zentavo_Installer/System");
    if (application)
        makeDir("/FlashDisk/Zentavo_Installer/Zentavo");
    // A file where a directory belongs is no payload.
    if (!system)
        makeFile("/FlashDisk/Zentavo_Installer/System");

    FileInstaller installer;
    QCOMPARE(installer.isUpdateAvailable(), system && application);
}

void TestFileInstaller::deletesOnlyApplicationPayload()
{
    makePayload();
    FileInstaller installer;
    QVERIFY(installer.isUpdateAvailable());
    QVERIFY(installer.deleteInstallerDirectory());
    QCOMPARE(capturedLines, QStringList{"delete installer directory  true"});
    QVERIFY(!exists("/FlashDisk/Zentavo_Installer/Zentavo"));
    QVERIFY(exists("/FlashDisk/Zentavo_Installer/System/driver.dll"));

    // The next start finds nothing to do.
    FileInstaller nextRun;
    QVERIFY(!nextRun.isUpdateAvailable());
}

void TestFileInstaller::stickWatchReportsRemovalOnce()
{
    makeFile("/USB HD/Zentavo_Installer/log.txt");
    FileInstaller installer;
    QSignalSpy removed(&installer, &FileInstaller::notifyStickRemoved);
    installer.startStickWatch();

    // Several polls with the stick present report nothing.
    QTest::qWait(350);
    QCOMPARE(removed.count(), 0);

    QVERIFY(QDir(device("/USB HD/Zentavo_Installer")).removeRecursively());
    QTRY_COMPARE(removed.count(), 1);
    QCOMPARE(capturedLines, QStringList{"Stick removed signal"});

    // The watch has stopped: a stick that comes and goes again is not reported.
    QTest::qWait(350);
    makeDir("/USB HD/Zentavo_Installer");
    QTest::qWait(150);
    QVERIFY(QDir(device("/USB HD/Zentavo_Installer")).removeRecursively());
    QTest::qWait(350);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(capturedLines, QStringList{"Stick removed signal"});
}

void TestFileInstaller::startsTerminalDetached()
{
    const QString marker = device("/started");
    makeFile("/FlashDisk/Zentavo/Zentavo.exe",
             "#!/bin/sh\necho \"$#\" > '" + QFile::encodeName(marker) + "'\n");
    QVERIFY(QFile::setPermissions(device("/FlashDisk/Zentavo/Zentavo.exe"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    {
        FileInstaller installer;
        installer.startTerminal();
    }
    // The program runs on after the installer is gone, without arguments.
    QTRY_VERIFY(QFileInfo(marker).size() > 0);
    QFile file(marker);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("0\n"));
    QVERIFY(capturedLines.isEmpty());
}

void TestFileInstaller::reportsFailedTerminalStart()
{
    FileInstaller installer;
    installer.startTerminal();
    QCOMPARE(capturedLines.count(), 1);
    QCOMPARE(capturedLines.first(),
             QString("Failed to start \"%1\"").arg(device("/FlashDisk/Zentavo/Zentavo.exe")));
}

void TestFileInstaller::readsPayloadVersion()
{
    FileInstaller installer;
    QVERIFY(installer.updateVersion().isNull());
    QCOMPARE(capturedLines, QStringList{"GetFileVersionInfoSize failed with error 3\n"});

    makeDir("/FlashDisk/Zentavo_Installer/Zentavo");
    QVERIFY(QFile::copy(QStringLiteral(ZENTAVO_FIXTURES "/zentavo-2.4.1.0.exe"),
                        device("/FlashDisk/Zentavo_Installer/Zentavo/Zentavo.exe")));
    QCOMPARE(installer.updateVersion(), QString("2.4.1.0"));
}

QTEST_GUILESS_MAIN(TestFileInstaller)
#include "tst_fileinstaller.moc"
