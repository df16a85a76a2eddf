#include "aes_encryption.h"
#include "db/dbtestsupport.h"
#include "fakeinstallercontrol.h"
#include "fileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <functional>

namespace {

// The lines the workflow itself writes after its start line, in order,
// without those of the settings store.
QStringList workflowLines()
{
    QStringList lines;
    for (const QString& m : MessageRecorder::lines()) {
        if (m.startsWith(QLatin1String("HandleEvents:")) || m == QLatin1String("Admin-DB not available.")
            || m == QLatin1String("Admin password not readable.") || m == QLatin1String("Enter Password..."))
            lines << m;
    }
    return lines;
}

const QString title = QStringLiteral("Zentavo Installer");
const QString stickQuestion = QStringLiteral("Nothing done. Remove stick to start Zentavo.");
const QString successQuestion = QStringLiteral("Update was successful. Remove stick to start Zentavo.");
const QString installedOutput = QStringLiteral("Installing update to Zentavo...\nDone");
const QStringList installCalls{"isUpdateAvailable", "updateVersion", "install", "deleteInstallerDirectory", "startStickWatch"};
// Every run ends with these, whatever came before.
const QStringList endCalls{"deleteInstallerDirectory", "startStickWatch"};
const QString cancelledLine = QStringLiteral("HandleEvents: WaitPassword: Cancelled.");

} // namespace

class TestInstallerViewManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void runsWithoutPassword_data();
    void runsWithoutPassword();
    void promptAttempts_data();
    void promptAttempts();
    void editingFinishedIsRelayedOnlyWhileUndecided();
    void unusableStoredPasswordNeverOpens_data();
    void unusableStoredPasswordNeverOpens();
    void onlyStickRemovalEndsTheRun();
    void nestedEventsStartNoSecondRun();

private:
    QString databasePath() const { return device->path() + "/FlashDisk/Zentavo/data/Administrator_setting.db"; }
    void writeDatabase(const QString& valueSql);
    // The password as the application stores it, as an SQL literal.
    static QString encrypted(const QString& plain) { return quoted(AES_Encryption().Encrypt(plain)); }
    static QString quoted(const QString& value) { return "'" + value + "'"; }
    QString label(const char* name) const { return view->findChild<QLabel*>(QLatin1String(name))->text(); }
    QString output() const { return view->findChild<QTextBrowser*>(QStringLiteral("txtOutput"))->toPlainText(); }
    void verifyFinalScreen(const QString& finalOutput, const QString& finalQuestion)
    {
        QCOMPARE(manager->currentState(), InstallerViewManager::WaitStickRemoved);
        QVERIFY(view->isVisible());
        QCOMPARE(label("txtTitle"), title);
        QCOMPARE(output(), finalOutput);
        QCOMPARE(label("txtQuestion"), finalQuestion);
        QVERIFY(view->findChild<QPushButton*>(QStringLiteral("button1"))->isHidden());
        QVERIFY(view->findChild<QPushButton*>(QStringLiteral("button2"))->isHidden());
    }
    // Runs action once the prompt has asked for the keyboard, as the keyboard's own slot would.
    void onPrompt(std::function<void()> action)
    {
        connect(manager, &InstallerViewManager::notifyShowInputPanel, manager, action);
    }
    // What the keyboard does on Enter: accept a match, clear the field otherwise.
    void compareOnEnter(QStringList* tried)
    {
        connect(manager, &InstallerViewManager::notifyKeyboardEnter, manager, [this, tried] {
            *tried << manager->enteredPassword();
            if (manager->enteredPassword() == manager->storedPassword())
                manager->setPasswordAccepted(true);
            else
                manager->passwordLineEdit()->clear();
        });
    }

    QTemporaryDir* device = nullptr;
    InstallerView* view = nullptr;
    FileInstaller* installer = nullptr;
    InstallerViewManager* manager = nullptr;
    FakeInstallerControl& control = FakeInstallerControl::instance();
};

void TestInstallerViewManager::init()
{
    device = new QTemporaryDir;
    QVERIFY(device->isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", device->path().toLocal8Bit());
    QVERIFY(QDir().mkpath(QFileInfo(databasePath()).path()));
    control.reset();
    view = new InstallerView;
    installer = new FileInstaller;
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

void TestInstallerViewManager::writeDatabase(const QString& valueSql)
{
    QStringList sql{"create table user (id integer primary key, name text, value text)",
                    "insert into user values (1, 'language', 'de')"};
    if (!valueSql.isNull())
        sql << "insert into user values (3, 'admin', " + valueSql + ")";
    QCOMPARE(createSqliteFile(databasePath(), sql), QString());
}

void TestInstallerViewManager::runsWithoutPassword_data()
{
    QTest::addColumn<bool>("database");
    QTest::addColumn<QString>("valueSql");
    QTest::addColumn<bool>("available");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<QString>("finalOutput");
    QTest::addColumn<QString>("finalQuestion");

    QTest::newRow("success") << false << QString() << true << true << QStringLiteral("2.4.1")
                             << QStringLiteral("HandleEvents: InitialState: Successful.") << installedOutput << successQuestion;
    QTest::newRow("failure") << false << QString() << true << false << QStringLiteral("%2 x")
                             << QStringLiteral("HandleEvents: InitialState: Failed.")
                             << QStringLiteral("Installing update to Zentavo...\nFailed.")
                             << QStringLiteral("Update was not successful. Remove stick to start Zentavo.");
    const QString nothing = QStringLiteral("HandleEvents: InitialState: Nothing done.");
    const QString done = QStringLiteral("Done");
    QTest::newRow("nothing to do") << false << QString() << false << true << QString() << nothing << done << stickQuestion;
    // An empty stored value is how the application keeps "no password".
    QTest::newRow("empty value") << true << QStringLiteral("''") << false << true << QString() << nothing
                                 << done << stickQuestion;
    QTest::newRow("NULL value") << true << QStringLiteral("NULL") << false << true << QString() << nothing << done << stickQuestion;
    QTest::newRow("no row 3") << true << QString() << false << true << QString() << nothing << done << stickQuestion;
}

void TestInstallerViewManager::runsWithoutPassword()
{
    QFETCH(bool, database);
    QFETCH(QString, valueSql);
    QFETCH(bool, available);
    QFETCH(QString, version);
    QFETCH(QString, lastLine);
    if (database)
        writeDatabase(valueSql);
    control.updateAvailable = available;
    QFETCH(bool, result);
    control.installResult = result;
    control.version = version;
    QStringList atInstall;
    control.duringInstall = [&] { atInstall << label("txtTitle") << label("txtQuestion") << output(); };
    if (available)
        view->appendOutput(QStringLiteral("left over"));
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);

    MessageRecorder log;
    manager->onStartup();

    QVERIFY(log.lines().first().startsWith(QLatin1String("Installer started at ")));
    QVERIFY2(log.lines().first().contains(QLatin1String("UTC")), qPrintable(log.lines().first()));
    QStringList lines{"HandleEvents: WaitPassword: Ok.", lastLine};
    if (!database)
        lines.prepend(QStringLiteral("Admin-DB not available."));
    QCOMPARE(workflowLines(), lines);
    QCOMPARE(prompts.count(), 0);
    QVERIFY(manager->storedPassword().isEmpty());
    QCOMPARE(control.calls, available ? installCalls : QStringList{"isUpdateAvailable"} + endCalls);
    // While installing, the install screen stands with the output cleared.
    if (available)
        QCOMPARE(atInstall, (QStringList{title, "Install version " + version, QString()}));
    QFETCH(QString, finalOutput);
    QFETCH(QString, finalQuestion);
    verifyFinalScreen(finalOutput, finalQuestion);
}

void TestInstallerViewManager::promptAttempts_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<QStringList>("attempts");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("finalOutput");
    QTest::addColumn<QString>("finalQuestion");

    const QStringList cancelled{"Enter Password...", cancelledLine};
    QTest::newRow("wrong ones, then Cancel") << 0 << QStringList{"secret", "Secret ", " Secret", QString(), "SECRET"}
                                             << cancelled << endCalls << QStringLiteral("Cancelled") << stickQuestion;
    // Whatever event comes first, it meets the prompt: none gets past it.
    const char* const firstEvents[] = {"startup", "button 1", "button 2", "stick removed"};
    for (int event = 1; event < 4; ++event)
        QTest::newRow(firstEvents[event]) << event << QStringList() << cancelled << endCalls << QStringLiteral("Cancelled")
                                          << stickQuestion;
    QTest::newRow("wrong one, then the right one")
        << 0 << QStringList{"secret", "Secret"}
        << QStringList{"Enter Password...", "HandleEvents: WaitPassword: Ok.", "HandleEvents: InitialState: Successful."}
        << installCalls << installedOutput << successQuestion;
}

void TestInstallerViewManager::promptAttempts()
{
    QFETCH(int, event);
    QFETCH(QStringList, attempts);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, calls);
    writeDatabase(encrypted(QStringLiteral("Secret")));
    control.updateAvailable = true;
    QStringList tried;
    compareOnEnter(&tried);
    QVERIFY(manager->passwordLineEdit() == nullptr);
    bool checked = false;
    onPrompt([&] {
        QLineEdit* edit = manager->passwordLineEdit();
        QVERIFY(edit);
        // The keyboard positions itself by the focused field.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(edit));
        QVERIFY(edit->window()->isVisible());
        QVERIFY(!view->isVisible());
        QCOMPARE(edit->window()->findChild<QLabel*>(QStringLiteral("label"))->text(),
                 QStringLiteral("Enter Administrator Password"));
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        // Closing the prompt must not end the application on a platform
        // that quits with the last window (the offscreen one does not).
        QVERIFY(!edit->window()->testAttribute(Qt::WA_QuitOnClose));
        QCOMPARE(manager->storedPassword(), QStringLiteral("Secret"));
        QTest::keyClicks(edit, QString(60, QLatin1Char('x')));
        QCOMPARE(manager->enteredPassword(), QString(50, QLatin1Char('x')));
        checked = true;
    });
    // Every attempt goes through the line edit's own Return, which the
    // controller relays as the keyboard's Enter; Cancel follows the last one.
    onPrompt([&] {
        int delay = 10;
        for (const QString& attempt : attempts) {
            QTimer::singleShot(delay += 10, manager, [this, attempt] {
                manager->passwordLineEdit()->setText(attempt);
                QTest::keyClick(manager->passwordLineEdit(), Qt::Key_Return);
            });
        }
        QTimer::singleShot(delay + 10, manager, &InstallerViewManager::setPasswordCancelled);
    });

    using Slot = void (InstallerViewManager::*)();
    const Slot handlers[] = {&InstallerViewManager::onStartup, &InstallerViewManager::onButton1Clicked,
                             &InstallerViewManager::onButton2Clicked, &InstallerViewManager::onStickRemoved};
    MessageRecorder log;
    (manager->*handlers[event])();

    QCOMPARE(tried, attempts);
    QCOMPARE(workflowLines(), lines);
    // No attempt reaches the log: apart from the offscreen platform's own
    // remarks there is only the start line (at startup) and the workflow lines.
    QCOMPARE(log.lines().size() - log.lines().filter(QStringLiteral("This plugin does not support")).size(),
             (event == 0 ? 1 : 0) + lines.size());
    QCOMPARE(control.calls, calls);
    QFETCH(QString, finalOutput);
    QFETCH(QString, finalQuestion);
    verifyFinalScreen(finalOutput, finalQuestion);
    QVERIFY(checked);
    QVERIFY(manager->passwordLineEdit() == nullptr);
    QCOMPARE(manager->enteredPassword(), QString());
    for (QWidget* window : QApplication::topLevelWidgets())
        QVERIFY2(window->objectName() != QLatin1String("MainForm"), "the prompt outlived askPassword");
}

void TestInstallerViewManager::editingFinishedIsRelayedOnlyWhileUndecided()
{
    writeDatabase(encrypted(QStringLiteral("Secret")));
    QSignalSpy enters(manager, &InstallerViewManager::notifyKeyboardEnter);
    int beforeDecision = -1;
    onPrompt([&] {
        QTimer::singleShot(10, manager, [&] {
            QTest::keyClick(manager->passwordLineEdit(), Qt::Key_Return);
            beforeDecision = enters.count();
            manager->setPasswordAccepted(true);
            // After the decision neither the line edit nor a direct call relays.
            manager->onEditingFinished();
            manager->passwordLineEdit()->clearFocus();
        });
    });

    manager->onStartup();

    QCOMPARE(beforeDecision, 1);
    QCOMPARE(enters.count(), 1);
    manager->setPasswordCancelled();
    manager->onEditingFinished();
    QCOMPARE(enters.count(), 1);
}

void TestInstallerViewManager::unusableStoredPasswordNeverOpens_data()
{
    // Either a stored value that does not decrypt, or a file that is no readable database.
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("file");
    const QString good = AES_Encryption().Encrypt(QStringLiteral("Secret"));
    QVERIFY(!good.isEmpty());
    QByteArray raw = QByteArray::fromBase64(good.toLatin1());
    raw[raw.size() / 2] = char(raw[raw.size() / 2] ^ 0x01);
    QTest::newRow("tampered") << QString::fromLatin1(raw.toBase64()) << QByteArray();
    QTest::newRow("truncated") << good.left(12) << QByteArray();
    QTest::newRow("plain text") << QStringLiteral("Secret") << QByteArray();
    QTest::newRow("not base64") << QStringLiteral("!!!***") << QByteArray();
    QTest::newRow("text file") << QString() << QByteArray("settings, but not a database\n").repeated(100);
    QByteArray garbage(8192, '\x5a');
    garbage.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    QTest::newRow("database header over garbage") << QString() << garbage;
}

void TestInstallerViewManager::unusableStoredPasswordNeverOpens()
{
    QFETCH(QString, stored);
    QFETCH(QByteArray, file);
    if (file.isEmpty()) {
        writeDatabase(quoted(stored));
    } else {
        QFile database(databasePath());
        QVERIFY(database.open(QIODevice::WriteOnly));
        QCOMPARE(database.write(file), qint64(file.size()));
    }
    control.updateAvailable = true;
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);
    QStringList tried;
    compareOnEnter(&tried);
    onPrompt([&] {
        QTimer::singleShot(10, manager, [&] {
            // Whatever fits into the field: empty, the stored text itself, the raw value.
            for (const QString& attempt : {QString(), manager->storedPassword(), stored, QStringLiteral("Secret")}) {
                manager->passwordLineEdit()->setText(attempt);
                QTest::keyClick(manager->passwordLineEdit(), Qt::Key_Return);
            }
            QTimer::singleShot(0, manager, &InstallerViewManager::setPasswordCancelled);
        });
    });

    MessageRecorder log;
    manager->onStartup();

    QCOMPARE(prompts.count(), 1);
    QCOMPARE(tried.size(), 4);
    QCOMPARE(workflowLines(), (QStringList{"Admin password not readable.", "Enter Password...", cancelledLine}));
    QCOMPARE(control.calls, endCalls);
    QCOMPARE(output(), QStringLiteral("Cancelled"));
}

void TestInstallerViewManager::onlyStickRemovalEndsTheRun()
{
    // Neither closing the prompt (the main window is not shown yet then) nor
    // a button on the final screen ends the run; pulling the stick does.
    QVERIFY(QApplication::quitOnLastWindowClosed());
    writeDatabase(encrypted(QStringLiteral("Secret")));
    connect(view, &InstallerView::NotifyButton1Clicked, manager, &InstallerViewManager::onButton1Clicked);
    connect(view, &InstallerView::NotifyButton2Clicked, manager, &InstallerViewManager::onButton2Clicked);
    connect(installer, &FileInstaller::notifyStickRemoved, manager, &InstallerViewManager::onStickRemoved);
    QStringList callsAfterButtons, callsAtExit;
    QString outputBefore, outputAfterButtons;
    onPrompt([&] {
        QTimer::singleShot(10, manager, &InstallerViewManager::setPasswordCancelled);
        QTimer::singleShot(300, manager, [&] {
            outputBefore = output();
            emit view->NotifyButton1Clicked();
            emit view->NotifyButton2Clicked();
            callsAfterButtons = control.calls;
            outputAfterButtons = output();
            emit installer->notifyStickRemoved();
            callsAtExit = control.calls;
        });
    });
    QTimer::singleShot(0, manager, &InstallerViewManager::onStartup);
    QTimer::singleShot(10000, manager, [] { QCoreApplication::exit(99); });

    QCOMPARE(QApplication::exec(), 0);
    QCOMPARE(callsAfterButtons, endCalls);
    QCOMPARE(outputAfterButtons, outputBefore);
    QCOMPARE(callsAtExit, endCalls + QStringList{"startTerminal"});
}

void TestInstallerViewManager::nestedEventsStartNoSecondRun()
{
    writeDatabase(encrypted(QStringLiteral("Secret")));
    control.updateAvailable = true;
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
    control.duringInstall = [this] {
        manager->onButton2Clicked();
        manager->onStickRemoved();
    };

    MessageRecorder log;
    manager->onStartup();

    QCOMPARE(prompts.count(), 1);
    QCOMPARE(log.lines().count(QStringLiteral("Enter Password...")), 1);
    QCOMPARE(control.calls, installCalls);
    QCOMPARE(output(), installedOutput);
}

QTEST_MAIN(TestInstallerViewManager)
#include "tst_installerviewmanager.moc"
