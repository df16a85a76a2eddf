#ifndef INSTALLERVIEWMANAGER_H
#define INSTALLERVIEWMANAGER_H

#include "fileutils.h"
#include "ipasswordprompt.h"

#include <QObject>
#include <QPointer>
#include <QString>

class InstallerView;
class IFileInstaller;
class QLineEdit;
class QWidget;

// Leads one update run: password prompt, install or cancel, result screen,
// and the end of the updater once the stick is gone.
class InstallerViewManager : public IPasswordPrompt
{
    Q_OBJECT
    Q_DISABLE_COPY(InstallerViewManager)

public:
    enum InstallerState { InitialState = 0, WaitPassword = 1, WaitStickRemoved = 2 };
    Q_ENUM(InstallerState)
    enum InstallerEvent { StartupEvent = 0, Button1Event = 1, Button2Event = 2, StickRemovedEvent = 3 };
    Q_ENUM(InstallerEvent)

    InstallerViewManager(QObject* parent, InstallerView* view, IFileInstaller* installer);
    ~InstallerViewManager() override;

    // The prompt as the keyboard input context sees it.
    void setPasswordAccepted(bool accepted) override;
    void setPasswordCancelled() override;
    bool matchesPassword(const QString& entered) const override;
    QLineEdit* passwordLineEdit() const override;
    QString storedPassword() const;
    QString enteredPassword() const;

    InstallerState currentState() const { return state; }

signals:
    void editingFinished();

public slots:
    void onStartup();
    void WireViewManager();
    void onButton1Clicked();
    void onButton2Clicked();
    void onOutputWriteLine(QString text);
    void onStickRemoved();
    void onEditingFinished();

private:
    void HandleEvents(InstallerEvent event);
    bool runInstallation();
    void showInstallScreen();
    // The screen a run ends on: its last output line, then its question.
    void showResultScreen(const QString& outputLine, const QString& question);
    void showSuccessScreen();
    void showFailureScreen();
    void showNothingDoneScreen();
    void showCancelledScreen();
    void exitInstaller();
    bool askPassword();
    QString readAdministratorPassword();
    QString unreadablePassword();
    void waitForActivation(QWidget* window);
    void wakeUpPrompt();

    InstallerView* view;
    IFileInstaller* installer;
    InstallerState state;
    FileUtils fileUtils;
    QString password;
    bool passwordAccepted;
    bool passwordCancelled;
    // A password is stored but cannot be read: the prompt says only Cancel leads on.
    bool passwordUnreadable = false;
    QPointer<QLineEdit> lineEdit;
    bool handlingEvent;
};

#endif  // INSTALLERVIEWMANAGER_H
