// The screens and the workflow against real settings databases and a scripted
// installer in place of FileInstaller.
#include "aes_encryption.h"
#include "db/dbtestsupport.h"
#include "ifileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <functional>

namespace {

// How the installer answers, and what the controller asked of it, in order.
struct Script
{
    bool updateAvailable = false;
    bool installResult = true;
    QStringList calls;
    std::function<void()> duringInstall;
} script;

Script& record(const char* call)
{
    script.calls << QLatin1String(call);
    return script;
}

// The workflow's own lines after its start line, without the settings store's.
QStringList workflowLines()
{
    return MessageRecorder::lines().filter(QRegularExpression(QStringLiteral("^(HandleEvents:|Admin|Enter Password)")));
}

const QString installedOutput = QStringLiteral("Installing update to Zentavo...\nDone");
const QStringList endCalls{"deleteInstallerDirectory", "startStickWatch"};
const QStringList installCalls = QStringList{"isUpdateAvailable", "updateVersion", "install"} + endCalls;
const QString okLine = QStringLiteral("HandleEvents: WaitPassword: Ok.");
const QString cancelledLine = QStringLiteral("HandleEvents: WaitPassword: Cancelled.");
const QString successLine = QStringLiteral("HandleEvents: InitialState: Successful.");
// Typed as whatever the controller holds in place of a stored password.
const QString standIn = QStringLiteral("<stand-in>");

// Output and question of the screen each result leaves.
QStringList finalScreen(const QString& lastLine)
{
    if (lastLine == successLine)
        return {installedOutput, "Update was successful. Remove stick to start Zentavo."};
    if (lastLine.endsWith(QLatin1String("Failed.")))
        return {"Installing update to Zentavo...\nFailed.", "Update was not successful. Remove stick to start Zentavo."};
    return {lastLine == cancelledLine ? "Cancelled" : "Done", "Nothing done. Remove stick to start Zentavo."};
}

// Answers from the script and records each call, as FileInstaller would be asked.
class ScriptedInstaller : public IFileInstaller
{
public:
    bool isUpdateAvailable() override { return record("isUpdateAvailable").updateAvailable; }
    bool deleteInstallerDirectory() override { record("deleteInstallerDirectory"); return true; }
    void startStickWatch() override { record("startStickWatch"); }
    void startTerminal() override { record("startTerminal"); }
    // A placeholder in the version must reach the screen as it is.
    QString updateVersion() override { record("updateVersion"); return QStringLiteral("%2 x"); }
    bool install() override
    {
        if (record("install").duringInstall)
            script.duringInstall();
        emit NotifyWriteLine(QStringLiteral("Installing update to Zentavo..."));
        return script.installResult;
    }
};

} // namespace

class TestInstallerViewManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void viewPaintsOutputAtOnceAndHidesItsMenu();
    void run_data();
    void run();
    void nestedEventsStartNoSecondRunAndOnlyTheStickEndsIt();

private:
    QString databasePath() const { return device->path() + "/FlashDisk/Zentavo/data/Administrator_setting.db"; }
    QString label(const char* name) const { return view->findChild<QLabel*>(QLatin1String(name))->text(); }
    QString output() const { return view->findChild<QTextBrowser*>(QStringLiteral("txtOutput"))->toPlainText(); }
    // Runs action once the prompt has asked for the keyboard, as the keyboard's own slot would.
    void onPrompt(std::function<void()> action) { connect(manager, &InstallerViewManager::notifyShowInputPanel, manager, action); }

    QTemporaryDir* device = nullptr;
    InstallerView* view = nullptr;
    ScriptedInstaller* installer = nullptr;
    InstallerViewManager* manager = nullptr;
};

void TestInstallerViewManager::init()
{
    device = new QTemporaryDir;
    QVERIFY(device->isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", device->path().toLocal8Bit());
    QVERIFY(QDir().mkpath(QFileInfo(databasePath()).path()));
    script = Script();
    view = new InstallerView;
    installer = new ScriptedInstaller;
    manager = new InstallerViewManager(nullptr, view, installer);
}

void TestInstallerViewManager::cleanup()
{
    delete manager;
    delete installer;
    delete view;
    delete device;
    qunsetenv("ZENTAVO_DEVICE_ROOT");
}

void TestInstallerViewManager::viewPaintsOutputAtOnceAndHidesItsMenu()
{
    // The installation keeps the event loop busy: each output operation
    // delivers what is pending, so every progress line is painted.
    int delivered = 0;
    QTimer::singleShot(0, view, [&] { ++delivered; });
    view->appendOutput(QStringLiteral("line"));
    QCOMPARE(delivered, 1);
    QTimer::singleShot(0, view, [&] { ++delivered; });
    view->clearOutput();
    QCOMPARE(delivered, 2);
    // The developer's Exit menu must never reach the technician.
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    QVERIFY(!view->menuBar()->isVisible());
}

void TestInstallerViewManager::run_data()
{
    QTest::addColumn<QByteArray>("settings");  // "-": no file; "sql:V": a database, V the value of row 3; else the file
    QTest::addColumn<int>("event");            // the first one: startup, button 1, button 2, stick removed
    QTest::addColumn<QStringList>("attempts"); // typed into the prompt, each with Return, then Cancel
    QTest::addColumn<int>("update");           // none, one that installs, one that fails
    QTest::addColumn<QStringList>("lines");

    const QString nothing = QStringLiteral("HandleEvents: InitialState: Nothing done.");
    const QString noDatabase = QStringLiteral("Admin-DB not available.");
    QTest::newRow("no database, installs") << QByteArray("-") << 0 << QStringList() << 1
                                           << QStringList{noDatabase, okLine, successLine};
    QTest::newRow("no database, install fails") << QByteArray("-") << 0 << QStringList() << 2
                                                << QStringList{noDatabase, okLine, "HandleEvents: InitialState: Failed."};
    QTest::newRow("no database, nothing to do") << QByteArray("-") << 0 << QStringList() << 0
                                                << QStringList{noDatabase, okLine, nothing};
    // An empty stored value is how the application keeps "no password".
    QTest::newRow("empty value") << QByteArray("sql:''") << 0 << QStringList() << 0 << QStringList{okLine, nothing};
    QTest::newRow("no row 3") << QByteArray("sql:") << 0 << QStringList() << 0 << QStringList{okLine, nothing};

    const QString good = AES_Encryption().Encrypt(QStringLiteral("Secret"));
    const QByteArray secret = "sql:'" + good.toLatin1() + "'";
    const QStringList cancelled{"Enter Password...", cancelledLine};
    QTest::newRow("wrong ones, then Cancel") << secret << 0 << QStringList{"secret", "Secret ", " Secret", "", "SECRET"} << 1
                                             << cancelled;
    // Whatever event comes first, it meets the prompt: none gets past it.
    for (const int event : {1, 2, 3})
        QTest::addRow("first event %d", event) << secret << event << QStringList() << 1 << cancelled;
    QTest::newRow("wrong one, then the right one") << secret << 0 << QStringList{"secret", "Secret"} << 1
                                                   << QStringList{"Enter Password...", okLine, successLine};

    // A stored password that cannot be read opens a prompt no text can pass.
    const QStringList unreadable{"Admin password not readable.", "Enter Password...", cancelledLine};
    QByteArray raw = QByteArray::fromBase64(good.toLatin1());
    raw[raw.size() / 2] = char(raw[raw.size() / 2] ^ 0x01);
    const QPair<const char*, QByteArray> values[] = {{"tampered", raw.toBase64()}, {"truncated", good.left(12).toLatin1()},
                                                     {"plain text", "Secret"}};
    for (const auto& value : values)
        QTest::newRow(value.first) << "sql:'" + value.second + "'" << 0
                                   << QStringList{"", standIn, value.second, "Secret"} << 1 << unreadable;
    QTest::newRow("text file") << QByteArray("settings, but not a database\n").repeated(100) << 0
                               << QStringList{"", standIn, "Secret"} << 1 << unreadable;
    QByteArray garbage(8192, '\x5a');
    garbage.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    QTest::newRow("database header over garbage") << garbage << 0 << QStringList{"", standIn, "Secret"} << 1 << unreadable;
}

void TestInstallerViewManager::run()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, event);
    QFETCH(QStringList, attempts);
    QFETCH(int, update);
    QFETCH(QStringList, lines);
    if (settings.startsWith("sql:")) {
        QStringList sql{"create table user (id integer primary key, name text, value text)",
                        "insert into user values (1, 'language', 'de')"};
        if (settings.size() > 4)
            sql << "insert into user values (3, 'admin', " + QString::fromLatin1(settings.mid(4)) + ")";
        QCOMPARE(createSqliteFile(databasePath(), sql), QString());
    } else if (settings != "-") {
        QVERIFY(writeBytes(databasePath(), settings));
    }
    script.updateAvailable = update > 0;
    script.installResult = update == 1;
    QStringList atInstall;
    script.duringInstall = [&] { atInstall << label("txtTitle") << label("txtQuestion") << output(); };
    view->appendOutput(QStringLiteral("left over"));
    // What the keyboard does on Enter: accept a match, clear the field otherwise.
    QStringList tried;
    connect(manager, &InstallerViewManager::notifyKeyboardEnter, manager, [&] {
        tried << manager->enteredPassword();
        if (manager->enteredPassword() == manager->storedPassword())
            manager->setPasswordAccepted(true);
        else
            manager->passwordLineEdit()->clear();
    });
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);
    onPrompt([&] {
        // Each Return goes through the line edit, which the controller relays
        // as the keyboard's Enter. Scheduled first, so that a failed check
        // below cannot leave the prompt open.
        QTimer::singleShot(10, manager, [&] {
            for (const QString& attempt : attempts) {
                manager->passwordLineEdit()->setText(attempt == standIn ? manager->storedPassword() : attempt);
                QTest::keyClick(manager->passwordLineEdit(), Qt::Key_Return);
            }
            QTimer::singleShot(0, manager, &InstallerViewManager::setPasswordCancelled);
        });
        QLineEdit* edit = manager->passwordLineEdit();
        QVERIFY(edit);
        // The keyboard positions itself by the focused field.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(edit));
        QVERIFY(edit->window()->isVisible());
        QVERIFY(!view->isVisible());
        QLabel* title = edit->window()->findChild<QLabel*>(QStringLiteral("label"));
        QCOMPARE(title->text(), QStringLiteral("Enter Administrator Password"));
        // A prompt no text can pass says so in a second line under its title;
        // the normal prompt is the form as it stands, nothing added or moved.
        const QList<QLabel*> labels = edit->window()->findChildren<QLabel*>();
        if (lines.contains(QStringLiteral("Admin password not readable."))) {
            QCOMPARE(labels.size(), 2);
            QLabel* notice = labels.at(labels.at(0) == title ? 1 : 0);
            QVERIFY(notice->isVisible());
            QCOMPARE(notice->text(), QStringLiteral("The stored password cannot be read: only Cancel leads on."));
            QVERIFY(notice->geometry().top() > title->geometry().bottom());
            QVERIFY(notice->geometry().bottom() < edit->geometry().top());
        } else {
            QCOMPARE(labels, QList<QLabel*>{title});
            QCOMPARE(title->geometry(), QRect(260, 20, 290, 25));
            QCOMPARE(edit->window()->findChildren<QWidget*>().size(), 2);
        }
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QCOMPARE(edit->maxLength(), 50);
        // Closing the prompt must not end the application on a platform
        // that quits with the last window.
        QVERIFY(!edit->window()->testAttribute(Qt::WA_QuitOnClose));
    });

    using Slot = void (InstallerViewManager::*)();
    const Slot handlers[] = {&InstallerViewManager::onStartup, &InstallerViewManager::onButton1Clicked,
                             &InstallerViewManager::onButton2Clicked, &InstallerViewManager::onStickRemoved};
    MessageRecorder log;
    (manager->*handlers[event])();

    if (event == 0) {
        QVERIFY(log.lines().first().startsWith(QLatin1String("Installer started at ")));
        QVERIFY2(log.lines().first().contains(QLatin1String("UTC")), qPrintable(log.lines().first()));
    }
    QCOMPARE(workflowLines(), lines);
    QCOMPARE(prompts.count(), lines.contains(QStringLiteral("Enter Password...")) ? 1 : 0);
    // Every Return was compared once; no attempt reaches the log.
    QCOMPARE(tried.size(), attempts.size());
    for (int i = 0; i < attempts.size(); ++i) {
        QVERIFY(attempts.at(i) == standIn || tried.at(i) == attempts.at(i));
        QVERIFY(attempts.at(i).isEmpty() || !log.text().contains(attempts.at(i)));
    }
    const QStringList calls = lines.last() == cancelledLine ? endCalls
        : update == 0                                       ? QStringList{"isUpdateAvailable"} + endCalls
                                                            : installCalls;
    QCOMPARE(script.calls, calls);
    // While installing, the install screen stands with the output cleared.
    if (calls.contains(QStringLiteral("install")))
        QCOMPARE(atInstall, (QStringList{"Zentavo Installer", "Install version %2 x", QString()}));
    const QStringList screen = finalScreen(lines.last());
    QCOMPARE(manager->currentState(), InstallerViewManager::WaitStickRemoved);
    QVERIFY(view->isVisible());
    QCOMPARE(label("txtTitle"), QStringLiteral("Zentavo Installer"));
    QCOMPARE(output(), calls.contains(QStringLiteral("install")) ? screen.at(0) : "left over\n" + screen.at(0));
    QCOMPARE(label("txtQuestion"), screen.at(1));
    QVERIFY(view->findChild<QPushButton*>(QStringLiteral("button1"))->isHidden());
    QVERIFY(view->findChild<QPushButton*>(QStringLiteral("button2"))->isHidden());
    QVERIFY(manager->passwordLineEdit() == nullptr);
    for (QWidget* window : QApplication::topLevelWidgets())
        QVERIFY2(window->objectName() != QLatin1String("MainForm"), "the prompt outlived askPassword");
}

void TestInstallerViewManager::nestedEventsStartNoSecondRunAndOnlyTheStickEndsIt()
{
    QCOMPARE(createSqliteFile(databasePath(), {"create table user (id integer primary key, value text)",
                                               "insert into user values (3, '" + AES_Encryption().Encrypt("Secret") + "')"}),
             QString());
    script.updateAvailable = true;
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);
    onPrompt([this] {
        // Ends a second prompt, should one open, instead of hanging.
        QTimer::singleShot(1000, manager, &InstallerViewManager::setPasswordCancelled);
        QTimer::singleShot(10, manager, [this] {
            manager->onButton1Clicked();
            manager->onStickRemoved();
            manager->setPasswordAccepted(true);
        });
    });
    script.duringInstall = [this] {
        manager->onButton2Clicked();
        manager->onStickRemoved();
    };

    MessageRecorder log;
    manager->onStartup();

    QCOMPARE(prompts.count(), 1);
    QCOMPARE(log.lines().count(QStringLiteral("Enter Password...")), 1);
    QCOMPARE(script.calls, installCalls);
    QCOMPARE(output(), installedOutput);
    // On the final screen the buttons do nothing; pulling the stick ends the run.
    manager->onButton1Clicked();
    manager->onButton2Clicked();
    QCOMPARE(script.calls, installCalls);
    QCOMPARE(output(), installedOutput);
    manager->onStickRemoved();
    QCOMPARE(script.calls, installCalls + QStringList{"startTerminal"});
}

QTEST_MAIN(TestInstallerViewManager)
#include "tst_installerviewmanager.moc"
