#include "fileinstaller.h"

#include "devicepath.h"
#include "dirwalk.h"
#include "elfversion.h"
#include "payloadcheck.h"
#include "peversion.h"
#include "stopsignals.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

char foldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// "*" and "?" over bytes, ASCII letters in either case, as the listing's name
// filters always matched. "*.*" thus needs a dot in the name.
bool matchesWildcard(const char* wildcard, const char* name)
{
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*wildcard == '*') {
            star = wildcard++;
            resume = name;
        } else if (*wildcard && (*wildcard == '?' || foldAscii(*wildcard) == foldAscii(*name))) {
            ++wildcard;
            ++name;
        } else if (star) {
            wildcard = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*wildcard == '*')
        ++wildcard;
    return *wildcard == '\0';
}

}  // namespace

FileInstaller::FileInstaller(QObject* parent)
    : IFileInstaller(parent)
{
    installerSystemDir = DevicePath::map("/FlashDisk/Zentavo_Installer/System");
    systemDir = DevicePath::map("/FlashDisk/System");
    installerAppDir = DevicePath::map("/FlashDisk/Zentavo_Installer/Zentavo");
    appDir = DevicePath::map("/FlashDisk/Zentavo");
    backupDir = DevicePath::map("/FlashDisk/Zentavo_Backup");
    backupSystemDir = joinPath(backupDir, "/System");
    backupAppDir = joinPath(backupDir, "/Zentavo");
    appExePath = DevicePath::map("/FlashDisk/Zentavo/Zentavo.exe");
    installerAppExePath = joinPath(installerAppDir, "/Zentavo.exe");
    stickInstallerDir = DevicePath::map("/USB HD/Zentavo_Installer");
}

FileInstaller::~FileInstaller() = default;

bool FileInstaller::isUpdateAvailable()
{
    // Both tests run, whatever the first one answers.
    const bool hasSystemPayload = fileUtils.dirExists(installerSystemDir);
    const bool hasAppPayload = fileUtils.dirExists(installerAppDir);
    if (!hasSystemPayload || !hasAppPayload) {
        // A linked payload folder would install, clear and delete whatever it
        // points to: it is no payload, and the technician learns why.
        for (const QString& folder : {installerSystemDir, installerAppDir}) {
            const QByteArray link = DirWalk::firstLink(QFile::encodeName(folder));
            if (!link.isEmpty()) {
                qDebug().noquote() << QStringLiteral("No payload: ") + QFile::decodeName(link)
                        + QStringLiteral(" is a link");
                break;
            }
        }
    }
    return hasSystemPayload && hasAppPayload;
}

bool FileInstaller::install()
{
    // Every step runs even after a failure, so a stale request file can
    // never keep the new files from being copied.
    bool status = true;
    // A stop request (SIGTERM, SIGINT, SIGHUP) rolls the copy back instead of
    // cutting it off; the process ends when this guard goes, after "Status: ".
    // The payload is still there then, so the next start installs it.
    StopSignals stopSignals;

    qDebug() << "Starting update...";

    // An incomplete, damaged or foreign payload changes nothing at all.
    PayloadCheck check;
    const int outcome = checkPayload(&check);
    if (outcome == int(PayloadCheck::Outcome::Refused)) {
        qDebug() << "Status: " << false;
        return false;
    }

    if (hasInstalledApplication()) {
        status &= fileUtils.removeDir(DevicePath::map("/FlashDisk/Zentavo/list"));
        status &= removeFiles(DevicePath::map("/FlashDisk/Zentavo/remotecmd"), QStringLiteral("*.xml"));
        status &= removeFiles(DevicePath::map("/FlashDisk/Zentavo/system"), QStringLiteral("*.xml"));
        qDebug() << "Clear available xmlFiles: " << status;
    }

    status &= fileUtils.removeDir(joinPath(installerAppDir, "/list"));
    status &= removeFiles(joinPath(installerAppDir, "/remotecmd"), QStringLiteral("*.xml"));
    status &= removeFiles(joinPath(installerAppDir, "/system"), QStringLiteral("*.xml"));
    qDebug() << "Clear installer xmlFiles: " << status;

    if (hasBackup()) {
        status &= removeFiles(backupDir, QStringLiteral("*.*"));
        qDebug() << "Clear Backup: " << status;
    }

    writeLine(QStringLiteral("Installing update to Zentavo..."));
    qDebug() << "Installing update to Zentavo...";

    // System and application files land together or not at all: a device
    // must never run a new application on old system files, or the reverse.
    // The application payload is deleted after every run, so its files go in
    // as links; the System payload stays, and the device must never share a
    // file with it.
    status &= fileUtils.CopyTreesOverwrite(
        {qMakePair(installerSystemDir, systemDir), qMakePair(installerAppDir, appDir)}, {installerAppDir},
        outcome == int(PayloadCheck::Outcome::Passed) ? &check : nullptr);

    qDebug() << "Status: " << status;
    return status;
}

// SHA256SUMS at the top of the payload, signed where the device trusts keys
// (its own folder, so that a System payload can bring the next update's
// key). The outcome, as an int: the header need not know the check.
int FileInstaller::checkPayload(PayloadCheck* check)
{
    const QByteArray payload =
        QFile::encodeName(QDir::cleanPath(DevicePath::map("/FlashDisk/Zentavo_Installer")));
    const QByteArray keys = QFile::encodeName(DevicePath::map("/FlashDisk/System/zentavo-installer/keys"));
    QString error;
    const PayloadCheck::Outcome outcome = check->run(payload, keys, &error);
    if (outcome == PayloadCheck::Outcome::Refused)
        qDebug().noquote() << QStringLiteral("PayloadCheck: ") + error;
    return int(outcome);
}

bool FileInstaller::deleteInstallerDirectory()
{
    const bool result = fileUtils.removeDir(installerAppDir);
    qDebug() << "delete installer directory " << result;
    return result;
}

void FileInstaller::startStickWatch()
{
    connect(&stickTimer, &QTimer::timeout, this, &FileInstaller::onTimerTimeout, Qt::UniqueConnection);
    stickTimer.start(stickPollInterval);
}

void FileInstaller::startTerminal()
{
    startProgram(appExePath);
}

QString FileInstaller::updateVersion()
{
    return productVersion(installerAppExePath);
}

QString FileInstaller::productVersion(const QString& path)
{
    PeVersion::Error error = PeVersion::NoError;

    // The path is handed on as it is; there is no fixed-size buffer, so a
    // path longer than the old 260-character limit is read like any other.
    QString file = path;
    if (file.isEmpty()) {
        file = PeVersion::moduleFileName(&error);
        if (file.isEmpty()) {
            qDebug("GetModuleFileName failed with error %d\n", int(error));
            return QString();
        }
    }

    // A Linux program tells its version in its package metadata, and has no
    // string table to look in: a missing note is logged like a missing resource.
    if (ElfVersion::isElfFile(file)) {
        const QString version = ElfVersion::filePackageVersion(file, &error);
        if (version.isNull())
            qDebug("GetFileVersionInfoSize failed with error %d\n", int(error));
        return version;
    }

    const quint32 size = PeVersion::fileVersionInfoSize(file, &error);
    if (size == 0) {
        qDebug("GetFileVersionInfoSize failed with error %d\n", int(error));
        return QString();
    }

    QByteArray block;
    if (!PeVersion::fileVersionInfo(file, size, &block, &error)) {
        qDebug("GetFileVersionInfo failed with error %d\n", int(error));
        return QString();
    }

    // The string table is fixed: Swiss German, UTF-16. The translation
    // table of the resource is deliberately not consulted. Of the name only
    // its presence counts.
    bool found = false;
    (void)PeVersion::queryString(block, QStringLiteral("\\StringFileInfo\\080704b0\\ProductName"), &found);
    QString version;
    if (found)
        version = PeVersion::queryString(block, QStringLiteral("\\StringFileInfo\\080704b0\\ProductVersion"),
                                         &found);
    if (!found) {
        qDebug("Can't obtain ProductName and ProductVersion from resources\n");
        return QString();
    }
    return version;
}

void FileInstaller::setStickPollInterval(int milliseconds)
{
    stickPollInterval = milliseconds;
}

void FileInstaller::onTimerTimeout()
{
    if (fileUtils.dirExists(stickInstallerDir)) {
        stickTimer.start(stickPollInterval);
        return;
    }
    qDebug() << "Stick removed signal";
    stickTimer.stop();
    emit notifyStickRemoved();
}

void FileInstaller::writeLine(QString text)
{
    emit NotifyWriteLine(text);
}

bool FileInstaller::removeFiles(QString dir, QString pattern)
{
    // Bytes, not QString: a name that is not valid in the local encoding
    // must be matched and removed like any other.
    const QByteArray start = QFile::encodeName(QDir(dir).absolutePath());
    const QByteArray wildcard = QFile::encodeName(pattern);
    int error = 0;
    UniqueFd fd = DirWalk::openDirectory(start, &error);
    if (!fd.isValid()) {
        // A missing folder has nothing to remove. A linked one (or one behind
        // a link) is never entered: what it points to is not the device's.
        const bool missing = error == ENOENT || error == ENOTDIR;
        const QByteArray link = DirWalk::firstLink(start);
        if (!link.isEmpty()) {
            qDebug().noquote() << QStringLiteral("not entered, a link: ") + QFile::decodeName(link);
            return true;
        }
        if (!missing)
            qDebug().noquote() << QStringLiteral("error - cannot read: ") + QFile::decodeName(start);
        return missing;
    }

    // Every match is tried; one failed removal fails the whole call.
    bool result = true;
    DirWalk::Visitor visitor;
    // Hidden names have never been candidates, nor are hidden folders entered.
    visitor.enter = [](const char* entry, const QByteArray&) { return entry[0] != '.'; };
    // Directories are never candidates, whatever their name: a backup folder
    // "v1.2" is walked into, not reported as a file that would not go.
    visitor.entry = [&](int dirFd, const char* entry, const struct stat&, const QByteArray& path) {
        if (entry[0] == '.' || !matchesWildcard(wildcard.constData(), entry))
            return;
        if (::unlinkat(dirFd, entry, 0) == 0 || errno == ENOENT) {
            qDebug().noquote() << QStringLiteral("removed file: ") + QFile::decodeName(path);
        } else {
            qDebug().noquote() << QStringLiteral("error - removed file: ") + QFile::decodeName(path);
            result = false;
        }
    };
    visitor.failure = [&](const QByteArray& path, int) {
        // An unread folder may hold matches that stay behind.
        qDebug().noquote() << QStringLiteral("error - cannot read: ") + QFile::decodeName(path);
        result = false;
    };
    result &= DirWalk::walk(std::move(fd), start, visitor);
    return result;
}

bool FileInstaller::hasInstalledApplication()
{
    return fileUtils.fileExists(appExePath);
}

bool FileInstaller::hasBackup()
{
    const bool hasSystemBackup = fileUtils.dirExists(backupSystemDir);
    const bool hasAppBackup = fileUtils.dirExists(backupAppDir);
    return hasSystemBackup && hasAppBackup;
}

void FileInstaller::startProgram(QString path)
{
    // Detached: the terminal outlives the updater and no process object is kept.
    if (!QProcess::startDetached(path, QStringList()))
        qDebug() << "Failed to start" << path;
}

QString FileInstaller::joinPath(QString base, const char* suffix)
{
    return base + QString::fromLatin1(suffix);
}
