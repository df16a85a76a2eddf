#include "fileinstaller.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define APP "/FlashDisk/Zentavo"
#define PAYLOAD "/FlashDisk/Zentavo_Installer"
#define BACKUP "/FlashDisk/Zentavo_Backup"

namespace {

QStringList capturedLines;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message) { capturedLines.append(message); }

// A directory yields its entries in the file system's order, so only the
// lines around each run of removal lines have a fixed order.
QStringList sortRemovalRuns(QStringList lines)
{
    for (int i = 0; i < lines.size(); ++i) {
        int end = i;
        while (end < lines.size() && lines.at(end).contains(QLatin1String("removed file: ")))
            ++end;
        std::sort(lines.begin() + i, lines.begin() + end);
        i = qMax(i, end - 1);
    }
    return lines;
}

const QStringList payload = {PAYLOAD "/System/driver.dll", PAYLOAD "/Zentavo/Zentavo.exe",
                             PAYLOAD "/Zentavo/data/config.ini", PAYLOAD "/Zentavo/list/order.xml",
                             PAYLOAD "/Zentavo/remotecmd/cmd1.xml", PAYLOAD "/Zentavo/remotecmd/keep.txt",
                             PAYLOAD "/Zentavo/system/deep/req.xml"};

} // namespace

class TestFileInstaller : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> root;
    QtMessageHandler previousHandler = nullptr;

    QString device(const QString& devicePath) const { return root->path() + devicePath; }
    bool exists(const QString& devicePath) const { return QFileInfo::exists(device(devicePath)); }
    QByteArray content(const QString& devicePath) const
    {
        QFile file(device(devicePath));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    // Each file holds its own path, so that a copy tells where it came from;
    // a path ending in '/' is an empty directory.
    void makeFiles(const QStringList& devicePaths)
    {
        for (const QString& path : devicePaths) {
            QVERIFY(QDir().mkpath(QFileInfo(device(path)).absolutePath()));
            QFile file(device(path));
            QVERIFY(path.endsWith('/') || (file.open(QIODevice::WriteOnly) && file.write(path.toUtf8()) > 0));
        }
    }

    // A file that even root cannot unlink: immutable where the file system
    // has the flag, else (not root) in a folder without write permission.
    QStringList unremovable;
    static bool setImmutable(const QString& path, bool on)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int flags = 0;
        bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
    void makeUnremovable(const QString& devicePath)
    {
        if (setImmutable(device(devicePath), true)) {
            unremovable.append(device(devicePath));
            return;
        }
        if (::geteuid() == 0)
            QSKIP("no immutable files here, and root can remove any other file");
        QFile::setPermissions(QFileInfo(device(devicePath)).absolutePath(),
                              QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }

private slots:
    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        qputenv("ZENTAVO_DEVICE_ROOT", QFile::encodeName(root->path()));
        capturedLines.clear();
        previousHandler = qInstallMessageHandler(captureMessage);
    }

    void cleanup()
    {
        for (const QString& path : qAsConst(unremovable))
            setImmutable(path, false);
        unremovable.clear();
        qInstallMessageHandler(previousHandler);
        root.reset();
    }

    void install_data()
    {
        QTest::addColumn<QStringList>("files");  // besides the payload
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("kept");

        const QStringList payloadRemovals = {"removed file: " PAYLOAD "/Zentavo/remotecmd/cmd1.xml",
                                             "removed file: " PAYLOAD "/Zentavo/system/deep/req.xml",
                                             "Clear installer xmlFiles:  true"};
        const QStringList end = {"Installing update to Zentavo...", "Status:  true"};
        QTest::newRow("whole update")
            << QStringList{APP "/Zentavo.exe", APP "/list/sub/b.txt", APP "/remotecmd/100%s.xml",
                           APP "/remotecmd/old/nested.xml", APP "/remotecmd/readme.txt", APP "/system/state.xml",
                           BACKUP "/System/driver.dll", BACKUP "/Zentavo/data/config.ini"}
            << QStringList{"Starting update...", "removed file: " APP "/remotecmd/100%s.xml",
                           "removed file: " APP "/remotecmd/old/nested.xml", "removed file: " APP "/system/state.xml",
                           "Clear available xmlFiles:  true"} + payloadRemovals
                   + QStringList{"removed file: " BACKUP "/System/driver.dll",
                                 "removed file: " BACKUP "/Zentavo/data/config.ini", "Clear Backup:  true"} + end
            // Request directories stay, and files that are no requests.
            << QStringList{APP "/remotecmd/old", APP "/remotecmd/readme.txt", APP "/system", BACKUP "/Zentavo/data"};
        // The installed requests are cleared only with an installed executable;
        // a backup needs both sub-directories.
        QTest::newRow("no installed executable, half a backup")
            << QStringList{APP "/list/a.xml", APP "/remotecmd/r.xml", BACKUP "/System/old.dll", BACKUP "/stray.txt"}
            << QStringList{"Starting update..."} + payloadRemovals + end
            << QStringList{APP "/list/a.xml", APP "/remotecmd/r.xml", BACKUP "/System/old.dll", BACKUP "/stray.txt"};
        QTest::newRow("empty request directories, other half of a backup")
            << QStringList{APP "/Zentavo.exe", APP "/remotecmd/", APP "/list/", BACKUP "/Zentavo/old.dll"}
            << QStringList{"Starting update...", "Clear available xmlFiles:  true"} + payloadRemovals + end
            << QStringList{APP "/remotecmd", BACKUP "/Zentavo/old.dll"};
    }

    void install()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, log);
        QFETCH(QStringList, kept);
        makeFiles(payload + files);

        FileInstaller installer;
        QSignalSpy lines(&installer, &FileInstaller::NotifyWriteLine);
        QVERIFY(installer.install());
        for (QString& line : log) {
            if (line.startsWith("removed file: "))
                line.insert(14, root->path());
        }
        QCOMPARE(sortRemovalRuns(capturedLines), sortRemovalRuns(log));
        QCOMPARE(lines.count(), 1);
        QCOMPARE(lines.at(0).at(0).toString(), QString("Installing update to Zentavo..."));

        for (const QString& path : kept)
            QVERIFY2(exists(path), qPrintable(path));
        // The payload's requests were cleared before the copy, the rest copied.
        QVERIFY(!exists(APP "/list/order.xml"));
        QVERIFY(!exists(APP "/remotecmd/cmd1.xml"));
        QCOMPARE(content(APP "/remotecmd/keep.txt"), QByteArray(PAYLOAD "/Zentavo/remotecmd/keep.txt"));
        QCOMPARE(content(APP "/Zentavo.exe"), QByteArray(PAYLOAD "/Zentavo/Zentavo.exe"));
        QCOMPARE(content("/FlashDisk/System/driver.dll"), QByteArray(PAYLOAD "/System/driver.dll"));
        // The payload itself goes only with deleteInstallerDirectory.
        QVERIFY(exists(PAYLOAD "/Zentavo/Zentavo.exe"));
    }

    void failedRemovalFailsInstallButCopiesRun_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("failedStatus"); // the first status line that turns false
        QTest::newRow("installed") << APP "/remotecmd" << "Clear available xmlFiles: ";
        QTest::newRow("payload") << PAYLOAD "/Zentavo/system" << "Clear installer xmlFiles: ";
        QTest::newRow("backup") << BACKUP "/Zentavo" << "Clear Backup: ";
    }

    void failedRemovalFailsInstallButCopiesRun()
    {
        QFETCH(QString, directory);
        QFETCH(QString, failedStatus);
        // Two requests that cannot be removed: whatever the order, a run that
        // stopped at the first failure would leave a request or miss an error
        // line. A folder named like a request is no candidate and no failure.
        const QStringList candidates = {directory + "/a.xml", directory + "/b.xml", directory + "/c.xml"};
        const QStringList failing = {directory + "/locked/0.xml", directory + "/locked/x.xml"};
        makeFiles(payload + candidates + failing + QStringList{APP "/Zentavo.exe", BACKUP "/System/driver.dll",
                                                               directory + "/v1.2/inner.txt"});
        for (const QString& path : failing)
            makeUnremovable(path);

        QVERIFY(!FileInstaller().install());
        for (const QString& path : candidates) {
            QVERIFY2(!exists(path), qPrintable(path));
            QVERIFY(capturedLines.contains("removed file: " + device(path)));
        }
        for (const QString& path : failing)
            QCOMPARE(capturedLines.count("error - removed file: " + device(path)), 1);
        QVERIFY(exists(directory + "/v1.2"));
        QVERIFY(!capturedLines.contains("error - removed file: " + device(directory + "/v1.2")));

        // The flag is cumulative: true before the failing step, false from it on.
        bool failed = false;
        for (const QString& line : qAsConst(capturedLines)) {
            if (!line.endsWith(QLatin1String(" true")) && !line.endsWith(QLatin1String(" false")))
                continue;
            failed = failed || line.startsWith(failedStatus);
            QCOMPARE(line.endsWith(QLatin1String(" false")), failed);
        }
        QCOMPARE(capturedLines.last(), QString("Status:  false"));
        // Both copies ran all the same.
        QCOMPARE(content(APP "/Zentavo.exe"), QByteArray(PAYLOAD "/Zentavo/Zentavo.exe"));
        QVERIFY(exists("/FlashDisk/System/driver.dll"));
    }

    void payloadVersionAndDeletion()
    {
        // Nothing installed, no payload: the lines the log shows then.
        FileInstaller installer;
        installer.startTerminal();
        QVERIFY(installer.updateVersion().isNull());
        QCOMPARE(capturedLines, (QStringList{QString("Failed to start \"%1\"").arg(device(APP "/Zentavo.exe")),
                                             "GetFileVersionInfoSize failed with error 3\n"}));
        capturedLines.clear();

        // A file where a directory belongs is no payload.
        makeFiles({PAYLOAD "/Zentavo/", PAYLOAD "/System"});
        QVERIFY(!installer.isUpdateAvailable());
        QVERIFY(QFile::remove(device(PAYLOAD "/System")));
        makeFiles({PAYLOAD "/System/"});
        QVERIFY(installer.isUpdateAvailable());
        QVERIFY(QFile::copy(ZENTAVO_FIXTURES "/zentavo-2.4.1.0.exe", device(PAYLOAD "/Zentavo/Zentavo.exe")));
        QCOMPARE(installer.updateVersion(), QString("2.4.1.0"));

        // Deleting the payload takes only its application part.
        QVERIFY(installer.deleteInstallerDirectory());
        QCOMPARE(capturedLines, QStringList{"delete installer directory  true"});
        QVERIFY(!installer.isUpdateAvailable());
        QVERIFY(exists(PAYLOAD "/System"));
    }

    void stickWatchReportsRemovalOnce()
    {
        makeFiles({"/USB HD/Zentavo_Installer/log.txt"});
        FileInstaller installer;
        QSignalSpy removed(&installer, &FileInstaller::notifyStickRemoved);
        installer.startStickWatch();
        // Several polls with the stick present report nothing.
        QTest::qWait(350);
        QCOMPARE(removed.count(), 0);
        QVERIFY(QDir(device("/USB HD/Zentavo_Installer")).removeRecursively());
        QTRY_COMPARE(removed.count(), 1);

        // The watch has stopped: a stick that comes and goes again is not reported.
        makeFiles({"/USB HD/Zentavo_Installer/"});
        QTest::qWait(150);
        QVERIFY(QDir(device("/USB HD/Zentavo_Installer")).removeRecursively());
        QTest::qWait(350);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(capturedLines, QStringList{"Stick removed signal"});
    }
};

QTEST_GUILESS_MAIN(TestFileInstaller)
#include "tst_fileinstaller.moc"
