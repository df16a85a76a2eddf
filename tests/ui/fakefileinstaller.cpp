// The update installer as the controller sees it, without touching any file:
// linked into the controller test in place of the real one.
#include "fileinstaller.h"

#include "fakeinstallercontrol.h"

using Control = FakeInstallerControl;

FileInstaller::FileInstaller(QObject* parent) : QObject(parent) {}
FileInstaller::~FileInstaller() = default;

bool FileInstaller::isUpdateAvailable() { return Control::record("isUpdateAvailable").updateAvailable; }
bool FileInstaller::deleteInstallerDirectory() { Control::record("deleteInstallerDirectory"); return true; }
void FileInstaller::startStickWatch() { Control::record("startStickWatch"); }
void FileInstaller::startTerminal() { Control::record("startTerminal"); }
QString FileInstaller::updateVersion() { return Control::record("updateVersion").version; }
QString FileInstaller::productVersion(const QString&) { return QString(); }
void FileInstaller::setStickPollInterval(int milliseconds) { stickPollInterval = milliseconds; }
void FileInstaller::onTimerTimeout() {}
void FileInstaller::writeLine(QString text) { emit NotifyWriteLine(text); }

bool FileInstaller::install()
{
    Control& control = Control::record("install");
    if (control.duringInstall)
        control.duringInstall();
    writeLine(QStringLiteral("Installing update to Zentavo..."));
    return control.installResult;
}
