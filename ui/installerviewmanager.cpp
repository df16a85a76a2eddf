#include "installerviewmanager.h"

#include "ifileinstaller.h"
#include "installerview.h"
#include "settingslayout.h"
#include "storedpassword.h"
#include "ui_mainform.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>

namespace {

const char* const installerTitle = "Zentavo Installer";
const int passwordMaxLength = 50;

// Stands in for a stored password that cannot be decrypted. It is longer than
// the field takes, so no typed text can ever equal it and only Cancel leads on.
QString unmatchablePassword()
{
    return QString(passwordMaxLength + 14, QChar(0xFFFF));
}

// No typed text can pass a prompt whose stored password cannot be read: a
// second line under the title tells the technician so. The title moves up to
// make room above the field, which the keyboard hangs from.
void showUnreadableNotice(QWidget* prompt, QLabel* title)
{
    const int top = 4;
    const int noticeHeight = 26;
    title->move(title->x(), top);
    auto* notice =
        new QLabel(QStringLiteral("The stored password cannot be read: only Cancel leads on."), prompt);
    notice->setObjectName(QStringLiteral("unreadableLabel"));
    QFont font = title->font();
    font.setPointSize(12);
    notice->setFont(font);
    notice->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    notice->setGeometry(0, top + title->height() + 2, prompt->width(), noticeHeight);
}

}  // namespace

InstallerViewManager::InstallerViewManager(QObject* parent, InstallerView* view, IFileInstaller* installer)
    : IPasswordPrompt(parent)
    , view(view)
    , installer(installer)
    , state(WaitPassword)
    , password(QLatin1String(""))
    , passwordAccepted(false)
    , passwordCancelled(false)
    , handlingEvent(false)
{
}

InstallerViewManager::~InstallerViewManager() = default;

void InstallerViewManager::onStartup()
{
    qDebug() << "Installer started at " << QDateTime::currentDateTime().toUTC();
    WireViewManager();
    HandleEvents(StartupEvent);
}

void InstallerViewManager::WireViewManager()
{
    connect(installer, &IFileInstaller::NotifyWriteLine, this, &InstallerViewManager::onOutputWriteLine);
}

void InstallerViewManager::onButton1Clicked()
{
    HandleEvents(Button1Event);
}

void InstallerViewManager::onButton2Clicked()
{
    HandleEvents(Button2Event);
}

void InstallerViewManager::onOutputWriteLine(QString text)
{
    view->appendOutput(text);
}

void InstallerViewManager::onStickRemoved()
{
    HandleEvents(StickRemovedEvent);
}

void InstallerViewManager::onEditingFinished()
{
    // A loss of focus while the decided prompt closes must not start another comparison.
    if (!passwordCancelled && !passwordAccepted)
        emit notifyKeyboardEnter();
}

void InstallerViewManager::setPasswordAccepted(bool accepted)
{
    passwordAccepted = accepted;
    if (accepted)
        wakeUpPrompt();
}

void InstallerViewManager::setPasswordCancelled()
{
    passwordCancelled = true;
    wakeUpPrompt();
}

bool InstallerViewManager::matchesPassword(const QString& entered) const
{
    return entered == password;
}

QString InstallerViewManager::storedPassword() const
{
    return password;
}

QString InstallerViewManager::enteredPassword() const
{
    return lineEdit ? lineEdit->text() : QString();
}

QLineEdit* InstallerViewManager::passwordLineEdit() const
{
    return lineEdit.data();
}

void InstallerViewManager::HandleEvents(InstallerEvent event)
{
    // The prompt and the installation process events from inside this call;
    // an event delivered meanwhile must not start a second run on top of it.
    if (handlingEvent)
        return;
    handlingEvent = true;

    switch (state) {
    case WaitPassword:
        if (!askPassword()) {
            qDebug() << "HandleEvents: WaitPassword: Cancelled.";
            view->showFullScreen();
            state = WaitStickRemoved;
            showCancelledScreen();
            installer->deleteInstallerDirectory();
            installer->startStickWatch();
            break;
        }
        qDebug() << "HandleEvents: WaitPassword: Ok.";
        view->showFullScreen();
        state = InitialState;
        Q_FALLTHROUGH();
    case InitialState:
        if (installer->isUpdateAvailable()) {
            showInstallScreen();
            if (runInstallation()) {
                qDebug() << "HandleEvents: InitialState: Successful.";
                state = WaitStickRemoved;
                showSuccessScreen();
            } else {
                qDebug() << "HandleEvents: InitialState: Failed.";
                state = WaitStickRemoved;
                showFailureScreen();
            }
        } else {
            qDebug() << "HandleEvents: InitialState: Nothing done.";
            state = WaitStickRemoved;
            showNothingDoneScreen();
        }
        installer->deleteInstallerDirectory();
        installer->startStickWatch();
        break;
    case WaitStickRemoved:
        if (event == StickRemovedEvent)
            exitInstaller();
        break;
    }

    handlingEvent = false;
}

bool InstallerViewManager::runInstallation()
{
    return installer->install();
}

// Each screen sets its question last: the output step before it paints
// everything else at once, the question follows with the next event pass.
void InstallerViewManager::showInstallScreen()
{
    const QString question = QString::fromLatin1("Install version %1").arg(installer->updateVersion());
    view->setTitle(QString::fromLatin1(installerTitle));
    view->setButtonsVisible(false);
    view->clearOutput();
    view->setQuestion(question);
}

void InstallerViewManager::showResultScreen(const QString& outputLine, const QString& question)
{
    view->setTitle(QString::fromLatin1(installerTitle));
    view->setButtonsVisible(false);
    view->appendOutput(outputLine);
    view->setQuestion(question);
}

void InstallerViewManager::showSuccessScreen()
{
    showResultScreen(QStringLiteral("Done"),
                     QStringLiteral("Update was successful. Remove stick to start Zentavo."));
}

void InstallerViewManager::showFailureScreen()
{
    showResultScreen(QStringLiteral("Failed."),
                     QStringLiteral("Update was not successful. Remove stick to start Zentavo."));
}

void InstallerViewManager::showNothingDoneScreen()
{
    showResultScreen(QStringLiteral("Done"), QStringLiteral("Nothing done. Remove stick to start Zentavo."));
}

void InstallerViewManager::showCancelledScreen()
{
    showResultScreen(QStringLiteral("Cancelled"),
                     QStringLiteral("Nothing done. Remove stick to start Zentavo."));
}

void InstallerViewManager::exitInstaller()
{
    installer->startTerminal();
    QCoreApplication::exit(0);
}

bool InstallerViewManager::askPassword()
{
    password = readAdministratorPassword();
    if (password.isEmpty())
        return true;

    qDebug() << "Enter Password...";

    QWidget prompt;
    Ui::MainForm form;
    form.setupUi(&prompt);
    // Closing the prompt must not count as closing the application's last window.
    prompt.setAttribute(Qt::WA_QuitOnClose, false);
    if (passwordUnreadable)
        showUnreadableNotice(&prompt, form.label);

    lineEdit = form.lineEdit;
    lineEdit->setMaxLength(passwordMaxLength);
    connect(form.lineEdit, &QLineEdit::editingFinished, this, &InstallerViewManager::onEditingFinished);

    prompt.showFullScreen();
    // The keyboard places itself below the focused field, so the field must
    // have the focus before the keyboard is asked for.
    prompt.activateWindow();
    form.lineEdit->setFocus();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    waitForActivation(&prompt);

    emit notifyShowInputPanel();

    // Sleep between events: an untouched prompt costs no CPU. The setters
    // wake the dispatcher, so the wait ends right after a flag is set.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    while (!passwordAccepted && !passwordCancelled)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);

    prompt.close();
    lineEdit = nullptr;
    return !passwordCancelled;
}

QString InstallerViewManager::readAdministratorPassword()
{
    const StoredPassword::Result stored = StoredPassword::read(SettingsLayout::databasePath());
    switch (stored.state) {
    case StoredPassword::Absent:
        qDebug() << "Admin-DB not available.";
        return QString();
    case StoredPassword::Unreadable:
        return unreadablePassword();
    case StoredPassword::Stored:
        break;
    }
    return stored.value;
}

QString InstallerViewManager::unreadablePassword()
{
    qDebug() << "Admin password not readable.";
    passwordUnreadable = true;
    return unmatchablePassword();
}

void InstallerViewManager::waitForActivation(QWidget* window)
{
    // Without a window manager the activation arrives a round trip after the
    // request; give it a moment, but never hang on a platform that has none.
    const int activationTimeout = 500;
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(10);
    while (!window->isActiveWindow() && clock.elapsed() < activationTimeout && !passwordAccepted
           && !passwordCancelled)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void InstallerViewManager::wakeUpPrompt()
{
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->wakeUp();
}
