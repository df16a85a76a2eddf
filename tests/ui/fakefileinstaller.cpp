// The update installer as the controller sees it, without touching any file:
// linked into the controller test in place of the real one.
#include "fileinstaller.h"

#include "fakeinstallercontrol.h"

FileInstaller::FileInstaller(QObject* parent)
    : QObject(parent)
{
}

FileInstaller::~FileInstaller() = default;

bool FileInstaller::isUpdateAvailable()
{
    FakeInstallerControl::instance().calls << QStringLiteral("isUpdateAvailable");
    return FakeInstallerControl::instance().updateAvailable;
}

bool FileInstaller::install()
{
    FakeInstallerControl& control = FakeInstallerControl::instance();
    control.calls << QStringLiteral("install");
    if (control.duringInstall)
        control.duringInstall();
    writeLine(QStringLiteral("Installing update to Zentavo..."));
    return control.installResult;
}

bool FileInstaller::deleteInstallerDirectory()
{
    FakeInstallerControl::instance().calls << QStringLiteral("deleteInstallerDirectory");
    return true;
}

void FileInstaller::startStickWatch()
{
    FakeInstallerControl::instance().calls << QStringLiteral("startStickWatch");
}

void FileInstaller::startTerminal()
{
    FakeInstallerControl::instance().calls << QStringLiteral("startTerminal");
}

QString FileInstaller::updateVersion()
{
    FakeInstallerControl::instance().calls << QStringLiteral("updateVersion");
    return FakeInstallerControl::instance().version;
}

QString FileInstaller::productVersion(const QString&)
{
    return QString();
}

void FileInstaller::setStickPollInterval(int milliseconds)
{
    stickPollInterval = milliseconds;
}

void FileInstaller::onTimerTimeout()
{
}

void FileInstaller::writeLine(QString text)
{
    emit NotifyWriteLine(text);
}
