#ifndef IFILEINSTALLER_H
#define IFILEINSTALLER_H

#include <QObject>
#include <QString>

// What the update workflow asks of the installer: whether there is an
// update, its version, the install itself, the cleanup after it, and the
// start of the terminal application. FileInstaller does it on the device; a
// test can hand the workflow a scripted one instead.
class IFileInstaller : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(IFileInstaller)

public:
    explicit IFileInstaller(QObject* parent = nullptr);
    ~IFileInstaller() override;

    virtual bool isUpdateAvailable() = 0;
    virtual bool install() = 0;
    virtual bool deleteInstallerDirectory() = 0;
    virtual void startStickWatch() = 0;
    virtual void startTerminal() = 0;
    virtual QString updateVersion() = 0;

signals:
    // One line of progress for the screen's output.
    void NotifyWriteLine(QString text);
};

#endif  // IFILEINSTALLER_H
