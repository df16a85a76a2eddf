#include "fileinstaller.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#define APP "/FlashDisk/Zentavo"
#define PAYLOAD "/FlashDisk/Zentavo_Installer"
#define BACKUP "/FlashDisk/Zentavo_Backup"

namespace {

QStringList capturedLines;

void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    capturedLines.append(message);
}

// A directory yields its entries in the file system's order, so only the
// lines around each run of removal lines have a fixed order.
QStringList sortRemovalRuns(QStringList lines)
{
    const auto isRemoval = [](const QString& line) { return line.contains(QLatin1String("removed file: ")); };
    for (int i = 0; i < lines.size(); ++i) {
        int end = i;
        while (end < lines.size() && isRemoval(lines.at(end)))
            ++end;
        std::sort(lines.begin() + i, lines.begin() + end);
        i = qMax(i, end - 1);
    }
    return lines;
}

// One file that cannot be removed, even by root.
bool setImmutable(const QString& path, bool immutable)
{
    return QProcess::execute("chattr", {immutable ? "+i" : "-i", path}) == 0;
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
    QStringList immutablePaths;

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
        qInstallMessageHandler(previousHandler);
        for (const QString& path : qAsConst(immutablePaths))
            setImmutable(path, false);
        immutablePaths.clear();
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
            << QStringList{APP "/Zentavo.exe", APP "/data/config.ini", APP "/list/a.xml", APP "/list/sub/b.txt",
                           APP "/remotecmd/100%s.xml", APP "/remotecmd/old/nested.xml", APP "/remotecmd/readme.txt",
                           APP "/system/state.xml", "/FlashDisk/System/driver.dll", BACKUP "/System/driver.dll",
                           BACKUP "/Zentavo/data/config.ini"}
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
        QTest::addColumn<QString>("how");          // "first", "last": immutable file; "dir": directory named *.xml
        QTest::addColumn<QString>("failedStatus"); // the first status line that turns false
        QTest::newRow("installed, first of three") << APP "/remotecmd" << "first" << "Clear available xmlFiles: ";
        QTest::newRow("payload, directory named x.xml") << PAYLOAD "/Zentavo/remotecmd" << "dir"
                                                        << "Clear installer xmlFiles: ";
        QTest::newRow("backup, last of three") << BACKUP "/Zentavo" << "last" << "Clear Backup: ";
    }

    void failedRemovalFailsInstallButCopiesRun()
    {
        QFETCH(QString, directory);
        QFETCH(QString, how);
        QFETCH(QString, failedStatus);
        QStringList candidates = {directory + "/a.xml", directory + "/b.xml", directory + "/c.xml"};
        makeFiles(payload + candidates + QStringList{APP "/Zentavo.exe", BACKUP "/System/driver.dll",
                                                     BACKUP "/Zentavo/data/config.ini"});
        QString failing = directory + "/x.xml";
        if (how == "dir") {
            makeFiles({failing + "/inner.txt"});
        } else {
            // Early or late in the order the directory yields its entries.
            QStringList order;
            for (QDirIterator it(device(directory), {"*.xml"}, QDir::Files); it.hasNext();)
                order << it.next().mid(root->path().size());
            failing = how == "first" ? order.first() : order.last();
            if (!setImmutable(device(failing), true))
                QSKIP("The file system does not let us make a file immutable");
            immutablePaths << device(failing);
            candidates.removeAll(failing);
        }

        QVERIFY(!FileInstaller().install());
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
            failed = failed || line.startsWith(failedStatus);
            QCOMPARE(line.endsWith(QLatin1String(" false")), failed);
        }
        QCOMPARE(capturedLines.last(), QString("Status:  false"));
        // Both copies ran all the same.
        QCOMPARE(content(APP "/Zentavo.exe"), QByteArray(PAYLOAD "/Zentavo/Zentavo.exe"));
        QVERIFY(exists("/FlashDisk/System/driver.dll"));
    }

    void updateAvailableOnlyWithBothPayloadDirectories()
    {
        // A file where a directory belongs is no payload.
        makeFiles({PAYLOAD "/Zentavo/", PAYLOAD "/System"});
        QVERIFY(!FileInstaller().isUpdateAvailable());
        QVERIFY(QFile::remove(device(PAYLOAD "/System")));
        makeFiles(payload);
        QVERIFY(FileInstaller().isUpdateAvailable());

        // Deleting the payload takes only its application part, and the next
        // start finds nothing to do.
        QVERIFY(FileInstaller().deleteInstallerDirectory());
        QCOMPARE(capturedLines, QStringList{"delete installer directory  true"});
        QVERIFY(!exists(PAYLOAD "/Zentavo"));
        QVERIFY(exists(PAYLOAD "/System/driver.dll"));
        QVERIFY(!FileInstaller().isUpdateAvailable());
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
        QTest::qWait(350);
        makeFiles({"/USB HD/Zentavo_Installer/"});
        QTest::qWait(150);
        QVERIFY(QDir(device("/USB HD/Zentavo_Installer")).removeRecursively());
        QTest::qWait(350);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(capturedLines, QStringList{"Stick removed signal"});
    }

    void startsTerminalDetached()
    {
        FileInstaller().startTerminal();
        QCOMPARE(capturedLines, QStringList{QString("Failed to start \"%1\"").arg(device(APP "/Zentavo.exe"))});
        capturedLines.clear();

        QFile exe(device(APP "/Zentavo.exe"));
        QVERIFY(QDir().mkpath(device(APP)) && exe.open(QIODevice::WriteOnly));
        exe.write("#!/bin/sh\necho \"$#\" > '" + QFile::encodeName(device("/started")) + "'\n");
        exe.close();
        QVERIFY(exe.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        FileInstaller().startTerminal();
        // The program runs on after the installer is gone, without arguments.
        QTRY_VERIFY(QFileInfo(device("/started")).size() > 0);
        QCOMPARE(content("/started"), QByteArray("0\n"));
        QVERIFY(capturedLines.isEmpty());
    }

    void readsPayloadVersion()
    {
        FileInstaller installer;
        QVERIFY(installer.updateVersion().isNull());
        QCOMPARE(capturedLines, QStringList{"GetFileVersionInfoSize failed with error 3\n"});

        makeFiles({PAYLOAD "/Zentavo/"});
        QVERIFY(QFile::copy(QStringLiteral(ZENTAVO_FIXTURES "/zentavo-2.4.1.0.exe"),
                            device(PAYLOAD "/Zentavo/Zentavo.exe")));
        QCOMPARE(installer.updateVersion(), QString("2.4.1.0"));
    }
};

QTEST_GUILESS_MAIN(TestFileInstaller)
#include "tst_fileinstaller.moc"
