#ifndef FAKEINSTALLERCONTROL_H
#define FAKEINSTALLERCONTROL_H

#include <QString>
#include <QStringList>

#include <functional>

// Scripts the test build of FileInstaller (fakefileinstaller.cpp) and records
// what the controller asked of it, in order.
struct FakeInstallerControl
{
    bool updateAvailable = false;
    bool installResult = true;
    QString version;
    QStringList calls;
    std::function<void()> duringInstall;

    static FakeInstallerControl& instance()
    {
        static FakeInstallerControl control;
        return control;
    }
    static FakeInstallerControl& record(const char* call)
    {
        instance().calls << QLatin1String(call);
        return instance();
    }
    void reset() { *this = FakeInstallerControl(); }
};

#endif // FAKEINSTALLERCONTROL_H
