#include "aes_encryption.h"
#include "fakeinstallercontrol.h"
#include "fileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace {

QStringList& recordedMessages()
{
    static QStringList list;
    return list;
}

void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    recordedMessages().append(message);
}

// Captures every debug line while it lives.
class MessageCapture
{
public:
    MessageCapture()
    {
        recordedMessages().clear();
        previous = qInstallMessageHandler(recordMessage);
    }
    ~MessageCapture() { qInstallMessageHandler(previous); }
    QStringList messages() const { return recordedMessages(); }

private:
    QtMessageHandler previous;
};

// The lines the workflow itself writes, in order, without those of the
// settings store and the shared library.
QStringList workflowLines(const QStringList& messages)
{
    QStringList lines;
    for (const QString& message : messages) {
        if (message.startsWith(QLatin1String("Installer started at "))
            || message.startsWith(QLatin1String("HandleEvents:"))
            || message == QLatin1String("Admin-DB not available.")
            || message == QLatin1String("Admin password not readable.")
            || message == QLatin1String("Enter Password..."))
            lines << message;
    }
    return lines;
}

const char* const stickQuestion = "Nothing done. Remove stick to start Zentavo.";

} // namespace

class TestInstallerViewManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void runsWithoutPasswordDatabase_data();
    void runsWithoutPasswordDatabase();
    void installScreenShowsVersionBeforeInstalling_data();
    void installScreenShowsVersionBeforeInstalling();
    void anyEventInWaitPasswordOpensPrompt_data();
    void anyEventInWaitPasswordOpensPrompt();
    void promptFormAndFocus();
    void acceptedPasswordRunsUpdate();
    void wrongAttemptsThenCancel();
    void editingFinishedIsRelayedOnlyWhileUndecided();
    void noPromptForEmptyOrMissingValue_data();
    void noPromptForEmptyOrMissingValue();
    void undecryptableValueNeverOpens_data();
    void undecryptableValueNeverOpens();
    void unreadableDatabaseNeverOpens_data();
    void unreadableDatabaseNeverOpens();
    void waitStickRemovedIgnoresButtonsAndExitsOnStickRemoval();
    void closingPromptDoesNotEndApplication();
    void nestedEventsStartNoSecondRun();

private:
    void writeDatabase(const QVariant& value, bool withRow = true);
    QString encrypted(const QString& plain);
    QString title() const { return view->findChild<QLabel*>(QStringLiteral("txtTitle"))->text(); }
    QString question() const { return view->findChild<QLabel*>(QStringLiteral("txtQuestion"))->text(); }
    QString output() const { return view->findChild<QTextBrowser*>(QStringLiteral("txtOutput"))->toPlainText(); }
    bool buttonHidden(const char* name) const
    {
        return view->findChild<QPushButton*>(QLatin1String(name))->isHidden();
    }
    void onPrompt(std::function<void()> action);

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
    manager = nullptr;
    installer = nullptr;
    view = nullptr;
    device = nullptr;
    qunsetenv("ZENTAVO_DEVICE_ROOT");
}

void TestInstallerViewManager::writeDatabase(const QVariant& value, bool withRow)
{
    const QString dir = device->path() + QStringLiteral("/FlashDisk/Zentavo/data");
    QVERIFY(QDir().mkpath(dir));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("test-writer"));
        db.setDatabaseName(dir + QStringLiteral("/Administrator_setting.db"));
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("create table user (id integer primary key, name text, value text)")));
        QVERIFY(query.exec(QStringLiteral("insert into user (id, name, value) values (1, 'language', 'de')")));
        if (withRow) {
            QVERIFY(query.prepare(QStringLiteral("insert into user (id, name, value) values (3, 'admin', ?)")));
            query.addBindValue(value);
            QVERIFY(query.exec());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-writer"));
}

QString TestInstallerViewManager::encrypted(const QString& plain)
{
    AES_Encryption encryption;
    return encryption.Encrypt(plain);
}

// Runs action once the prompt has asked for the keyboard, the way the
// keyboard's own slot would run.
void TestInstallerViewManager::onPrompt(std::function<void()> action)
{
    connect(manager, &InstallerViewManager::notifyShowInputPanel, manager, action);
}

void TestInstallerViewManager::runsWithoutPasswordDatabase_data()
{
    QTest::addColumn<bool>("available");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("finalOutput");
    QTest::addColumn<QString>("finalQuestion");
    QTest::addColumn<QStringList>("calls");

    const QStringList start{QStringLiteral("Admin-DB not available."), QStringLiteral("HandleEvents: WaitPassword: Ok.")};
    const QStringList installCalls{QStringLiteral("isUpdateAvailable"), QStringLiteral("updateVersion"),
                                   QStringLiteral("install"), QStringLiteral("deleteInstallerDirectory"),
                                   QStringLiteral("startStickWatch")};
    QTest::newRow("success") << true << true
                             << (start + QStringList{QStringLiteral("HandleEvents: InitialState: Successful.")})
                             << QStringLiteral("Installing update to Zentavo...\nDone")
                             << QStringLiteral("Update was successful. Remove stick to start Zentavo.") << installCalls;
    QTest::newRow("failure") << true << false
                             << (start + QStringList{QStringLiteral("HandleEvents: InitialState: Failed.")})
                             << QStringLiteral("Installing update to Zentavo...\nFailed.")
                             << QStringLiteral("Update was not successful. Remove stick to start Zentavo.") << installCalls;
    QTest::newRow("nothing to do") << false << true
                                   << (start + QStringList{QStringLiteral("HandleEvents: InitialState: Nothing done.")})
                                   << QStringLiteral("Done") << QString::fromLatin1(stickQuestion)
                                   << QStringList{QStringLiteral("isUpdateAvailable"),
                                                  QStringLiteral("deleteInstallerDirectory"),
                                                  QStringLiteral("startStickWatch")};
}

void TestInstallerViewManager::runsWithoutPasswordDatabase()
{
    QFETCH(bool, available);
    QFETCH(bool, result);
    QFETCH(QStringList, lines);
    QFETCH(QString, finalOutput);
    QFETCH(QString, finalQuestion);
    QFETCH(QStringList, calls);
    control.updateAvailable = available;
    control.installResult = result;
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);

    MessageCapture capture;
    manager->onStartup();

    QStringList logged = workflowLines(capture.messages());
    QVERIFY(!logged.isEmpty());
    QVERIFY(logged.first().startsWith(QLatin1String("Installer started at ")));
    QVERIFY2(logged.first().contains(QLatin1String("UTC")), qPrintable(logged.first()));
    logged.removeFirst();
    QCOMPARE(logged, lines);
    QCOMPARE(prompts.count(), 0);
    QCOMPARE(control.calls, calls);
    QCOMPARE(manager->currentState(), InstallerViewManager::WaitStickRemoved);
    QVERIFY(view->isVisible());
    QCOMPARE(title(), QStringLiteral("Zentavo Installer"));
    QCOMPARE(output(), finalOutput);
    QCOMPARE(question(), finalQuestion);
    QVERIFY(buttonHidden("button1"));
    QVERIFY(buttonHidden("button2"));
}

void TestInstallerViewManager::installScreenShowsVersionBeforeInstalling_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("expected");
    QTest::newRow("version") << QStringLiteral("2.4.1") << QStringLiteral("Install version 2.4.1");
    QTest::newRow("empty version") << QString() << QStringLiteral("Install version ");
    QTest::newRow("placeholder-like version") << QStringLiteral("%2 x") << QStringLiteral("Install version %2 x");
}

void TestInstallerViewManager::installScreenShowsVersionBeforeInstalling()
{
    QFETCH(QString, version);
    QFETCH(QString, expected);
    control.updateAvailable = true;
    control.version = version;
    view->appendOutput(QStringLiteral("left over"));
    QString questionAtInstall;
    QString outputAtInstall;
    QString titleAtInstall;
    control.duringInstall = [&] {
        questionAtInstall = question();
        outputAtInstall = output();
        titleAtInstall = title();
    };

    manager->onStartup();

    QCOMPARE(questionAtInstall, expected);
    QCOMPARE(titleAtInstall, QStringLiteral("Zentavo Installer"));
    QCOMPARE(outputAtInstall, QString());
    QCOMPARE(output(), QStringLiteral("Installing update to Zentavo...\nDone"));
}

void TestInstallerViewManager::anyEventInWaitPasswordOpensPrompt_data()
{
    QTest::addColumn<int>("event");
    QTest::newRow("startup") << int(InstallerViewManager::StartupEvent);
    QTest::newRow("button 1") << int(InstallerViewManager::Button1Event);
    QTest::newRow("button 2") << int(InstallerViewManager::Button2Event);
    QTest::newRow("stick removed") << int(InstallerViewManager::StickRemovedEvent);
}

void TestInstallerViewManager::anyEventInWaitPasswordOpensPrompt()
{
    QFETCH(int, event);
    writeDatabase(encrypted(QStringLiteral("Secret")));
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);
    onPrompt([this] { QTimer::singleShot(20, manager, &InstallerViewManager::setPasswordCancelled); });

    MessageCapture capture;
    switch (event) {
    case InstallerViewManager::StartupEvent:
        manager->onStartup();
        break;
    case InstallerViewManager::Button1Event:
        manager->onButton1Clicked();
        break;
    case InstallerViewManager::Button2Event:
        manager->onButton2Clicked();
        break;
    default:
        manager->onStickRemoved();
        break;
    }

    QCOMPARE(prompts.count(), 1);
    QVERIFY(capture.messages().contains(QStringLiteral("Enter Password...")));
    QVERIFY(capture.messages().contains(QStringLiteral("HandleEvents: WaitPassword: Cancelled.")));
    QCOMPARE(manager->currentState(), InstallerViewManager::WaitStickRemoved);
    QVERIFY(!control.calls.contains(QStringLiteral("startTerminal")));
}

void TestInstallerViewManager::promptFormAndFocus()
{
    writeDatabase(encrypted(QStringLiteral("Secret")));
    QVERIFY(manager->passwordLineEdit() == nullptr);
    bool checked = false;
    onPrompt([&] {
        // Scheduled first, so that a failed check cannot leave the prompt open.
        QTimer::singleShot(0, manager, &InstallerViewManager::setPasswordCancelled);
        QLineEdit* edit = manager->passwordLineEdit();
        QVERIFY(edit);
        QWidget* prompt = edit->window();
        // The keyboard positions itself by the focused field.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(edit));
        QVERIFY(prompt->isVisible());
        QVERIFY(!view->isVisible());
        QCOMPARE(prompt->objectName(), QStringLiteral("MainForm"));
        QCOMPARE(prompt->windowTitle(), QStringLiteral("Input Panel Example"));
        QVERIFY(prompt->parentWidget() == nullptr);
        QCOMPARE(edit->objectName(), QStringLiteral("lineEdit"));
        QCOMPARE(edit->geometry(), QRect(60, 60, 590, 40));
        QCOMPARE(edit->font().pointSize(), 16);
        QCOMPARE(edit->maxLength(), 50);
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QCOMPARE(edit->inputMask(), QString());
        QCOMPARE(edit->text(), QString());
        QCOMPARE(edit->placeholderText(), QString());
        QLabel* label = prompt->findChild<QLabel*>(QStringLiteral("label"));
        QVERIFY(label);
        QCOMPARE(label->geometry(), QRect(260, 20, 277, 25));
        QCOMPARE(label->font().pointSize(), 16);
        QCOMPARE(label->layoutDirection(), Qt::LeftToRight);
        QCOMPARE(label->alignment(), Qt::AlignBottom | Qt::AlignLeft);
        QCOMPARE(label->buddy(), static_cast<QWidget*>(edit));
        QCOMPARE(label->text(), QStringLiteral("Enter Administrator Password"));
        QCOMPARE(manager->storedPassword(), QStringLiteral("Secret"));
        QTest::keyClicks(edit, QString(60, QLatin1Char('x')));
        QCOMPARE(manager->enteredPassword(), QString(50, QLatin1Char('x')));
        checked = true;
    });

    manager->onStartup();

    QVERIFY(checked);
    QVERIFY(manager->passwordLineEdit() == nullptr);
    QCOMPARE(manager->enteredPassword(), QString());
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows)
        QVERIFY2(window->objectName() != QLatin1String("MainForm"), "the prompt outlived askPassword");
}

void TestInstallerViewManager::acceptedPasswordRunsUpdate()
{
    writeDatabase(encrypted(QStringLiteral("Secret")));
    control.updateAvailable = true;
    onPrompt([this] {
        QTimer::singleShot(30, manager, [this] {
            manager->passwordLineEdit()->setText(QStringLiteral("Secret"));
            if (manager->enteredPassword() == manager->storedPassword())
                manager->setPasswordAccepted(true);
        });
    });

    MessageCapture capture;
    manager->onStartup();

    QStringList logged = workflowLines(capture.messages());
    QVERIFY(!logged.isEmpty());
    logged.removeFirst();
    QCOMPARE(logged, (QStringList{QStringLiteral("Enter Password..."), QStringLiteral("HandleEvents: WaitPassword: Ok."),
                                  QStringLiteral("HandleEvents: InitialState: Successful.")}));
    QCOMPARE(control.calls, (QStringList{QStringLiteral("isUpdateAvailable"), QStringLiteral("updateVersion"),
                                         QStringLiteral("install"), QStringLiteral("deleteInstallerDirectory"),
                                         QStringLiteral("startStickWatch")}));
    QCOMPARE(output(), QStringLiteral("Installing update to Zentavo...\nDone"));
    QVERIFY(manager->passwordLineEdit() == nullptr);
}

void TestInstallerViewManager::wrongAttemptsThenCancel()
{
    writeDatabase(encrypted(QStringLiteral("Secret")));
    control.updateAvailable = true;
    const QStringList attempts{QStringLiteral("secret"), QStringLiteral("Secret "), QStringLiteral(" Secret"),
                               QString(), QStringLiteral("SECRET")};
    int compared = 0;
    // Every attempt goes through the line edit's own Return, which the
    // controller relays as the keyboard's Enter.
    connect(manager, &InstallerViewManager::notifyKeyboardEnter, manager, [&] {
        ++compared;
        if (manager->enteredPassword() == manager->storedPassword())
            manager->setPasswordAccepted(true);
        else
            manager->passwordLineEdit()->clear();
    });
    onPrompt([&] {
        int delay = 10;
        for (const QString& attempt : attempts) {
            QTimer::singleShot(delay, manager, [this, attempt] {
                QLineEdit* edit = manager->passwordLineEdit();
                edit->setText(attempt);
                QTest::keyClick(edit, Qt::Key_Return);
                QCOMPARE(edit->text(), QString());
            });
            delay += 10;
        }
        QTimer::singleShot(delay, manager, &InstallerViewManager::setPasswordCancelled);
    });

    MessageCapture capture;
    manager->onStartup();

    QCOMPARE(compared, attempts.size());
    QStringList logged = workflowLines(capture.messages());
    logged.removeFirst();
    QCOMPARE(logged, (QStringList{QStringLiteral("Enter Password..."), QStringLiteral("HandleEvents: WaitPassword: Cancelled.")}));
    // The attempts leave nothing: apart from the offscreen platform's own
    // remarks there is only the start line and the two workflow lines.
    QStringList others = capture.messages();
    others.erase(std::remove_if(others.begin(), others.end(),
                                [](const QString& m) { return m.startsWith(QLatin1String("This plugin does not support")); }),
                 others.end());
    QCOMPARE(others.size(), 3);
    QCOMPARE(control.calls, (QStringList{QStringLiteral("deleteInstallerDirectory"), QStringLiteral("startStickWatch")}));
    QVERIFY(view->isVisible());
    QCOMPARE(title(), QStringLiteral("Zentavo Installer"));
    QCOMPARE(output(), QStringLiteral("Cancelled"));
    QCOMPARE(question(), QString::fromLatin1(stickQuestion));
    QVERIFY(buttonHidden("button1"));
    QVERIFY(buttonHidden("button2"));
    QCOMPARE(manager->currentState(), InstallerViewManager::WaitStickRemoved);
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

void TestInstallerViewManager::noPromptForEmptyOrMissingValue_data()
{
    QTest::addColumn<bool>("withRow");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("empty value") << true << QVariant(QStringLiteral(""));
    QTest::newRow("null value") << true << QVariant();
    QTest::newRow("no row 3") << false << QVariant();
}

void TestInstallerViewManager::noPromptForEmptyOrMissingValue()
{
    QFETCH(bool, withRow);
    QFETCH(QVariant, value);
    writeDatabase(value, withRow);
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);

    MessageCapture capture;
    manager->onStartup();

    QCOMPARE(prompts.count(), 0);
    QVERIFY(capture.messages().contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
    QVERIFY(!capture.messages().contains(QStringLiteral("Admin-DB not available.")));
    QVERIFY(!capture.messages().contains(QStringLiteral("Admin password not readable.")));
    QCOMPARE(manager->storedPassword(), QString());
    QCOMPARE(output(), QStringLiteral("Done"));
}

void TestInstallerViewManager::undecryptableValueNeverOpens_data()
{
    QTest::addColumn<QString>("stored");
    const QString good = encrypted(QStringLiteral("Secret"));
    QVERIFY(!good.isEmpty());
    QByteArray raw = QByteArray::fromBase64(good.toLatin1());
    raw[raw.size() / 2] = char(raw[raw.size() / 2] ^ 0x01);
    QTest::newRow("tampered") << QString::fromLatin1(raw.toBase64());
    QTest::newRow("truncated") << good.left(12);
    QTest::newRow("plain text") << QStringLiteral("Secret");
    QTest::newRow("not base64") << QStringLiteral("!!!***");
}

void TestInstallerViewManager::undecryptableValueNeverOpens()
{
    QFETCH(QString, stored);
    writeDatabase(stored);
    control.updateAvailable = true;
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);
    QStringList tried;
    connect(manager, &InstallerViewManager::notifyKeyboardEnter, manager, [&] {
        tried << manager->enteredPassword();
        if (manager->enteredPassword() == manager->storedPassword())
            manager->setPasswordAccepted(true);
        else
            manager->passwordLineEdit()->clear();
    });
    onPrompt([&] {
        QTimer::singleShot(10, manager, [&] {
            QLineEdit* edit = manager->passwordLineEdit();
            // Whatever fits into the field: empty, the stored text itself, the raw value.
            for (const QString& attempt : {QString(), manager->storedPassword(), stored, QStringLiteral("Secret")}) {
                edit->setText(attempt);
                QTest::keyClick(edit, Qt::Key_Return);
            }
            QTimer::singleShot(0, manager, &InstallerViewManager::setPasswordCancelled);
        });
    });

    MessageCapture capture;
    manager->onStartup();

    QCOMPARE(prompts.count(), 1);
    QCOMPARE(tried.size(), 4);
    QCOMPARE(capture.messages().count(QStringLiteral("Admin password not readable.")), 1);
    QVERIFY(capture.messages().contains(QStringLiteral("HandleEvents: WaitPassword: Cancelled.")));
    QVERIFY(!control.calls.contains(QStringLiteral("install")));
    QCOMPARE(output(), QStringLiteral("Cancelled"));
}

void TestInstallerViewManager::unreadableDatabaseNeverOpens_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("text file") << QByteArray("settings, but not a database\n").repeated(100);
    QByteArray garbage(8192, '\x5a');
    garbage.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    QTest::newRow("database header over garbage") << garbage;
}

void TestInstallerViewManager::unreadableDatabaseNeverOpens()
{
    QFETCH(QByteArray, content);
    const QString dir = device->path() + QStringLiteral("/FlashDisk/Zentavo/data");
    QVERIFY(QDir().mkpath(dir));
    QFile file(dir + QStringLiteral("/Administrator_setting.db"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    control.updateAvailable = true;
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);
    onPrompt([&] {
        QTimer::singleShot(10, manager, [&] {
            QLineEdit* edit = manager->passwordLineEdit();
            edit->setText(QString());
            QCOMPARE(manager->enteredPassword() == manager->storedPassword(), false);
            manager->setPasswordCancelled();
        });
    });

    MessageCapture capture;
    manager->onStartup();

    QCOMPARE(prompts.count(), 1);
    QCOMPARE(capture.messages().count(QStringLiteral("Admin password not readable.")), 1);
    QVERIFY(!capture.messages().contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
    QVERIFY(!control.calls.contains(QStringLiteral("install")));
    QCOMPARE(output(), QStringLiteral("Cancelled"));
}

void TestInstallerViewManager::waitStickRemovedIgnoresButtonsAndExitsOnStickRemoval()
{
    control.updateAvailable = false;
    connect(view, &InstallerView::NotifyButton1Clicked, manager, &InstallerViewManager::onButton1Clicked);
    connect(view, &InstallerView::NotifyButton2Clicked, manager, &InstallerViewManager::onButton2Clicked);
    connect(installer, &FileInstaller::notifyStickRemoved, manager, &InstallerViewManager::onStickRemoved);
    QStringList callsBeforeButtons;
    QString outputBeforeButtons;
    QStringList callsAfterButtons;
    QString outputAfterButtons;
    QStringList callsAtExit;

    QTimer::singleShot(0, manager, &InstallerViewManager::onStartup);
    QTimer::singleShot(50, manager, [&] {
        callsBeforeButtons = control.calls;
        outputBeforeButtons = output();
        emit view->NotifyButton1Clicked();
        emit view->NotifyButton2Clicked();
        callsAfterButtons = control.calls;
        outputAfterButtons = output();
        emit installer->notifyStickRemoved();
        callsAtExit = control.calls;
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);

    const int result = QApplication::exec();

    QCOMPARE(result, 0);
    QCOMPARE(callsAfterButtons, callsBeforeButtons);
    QCOMPARE(outputAfterButtons, outputBeforeButtons);
    QCOMPARE(callsAtExit, callsBeforeButtons + QStringList{QStringLiteral("startTerminal")});
    QCOMPARE(manager->currentState(), InstallerViewManager::WaitStickRemoved);
}

void TestInstallerViewManager::closingPromptDoesNotEndApplication()
{
    QVERIFY(QApplication::quitOnLastWindowClosed());
    writeDatabase(encrypted(QStringLiteral("Secret")));
    control.updateAvailable = false;
    connect(installer, &FileInstaller::notifyStickRemoved, manager, &InstallerViewManager::onStickRemoved);
    onPrompt([this] { QTimer::singleShot(10, manager, &InstallerViewManager::setPasswordCancelled); });
    QTimer::singleShot(0, manager, &InstallerViewManager::onStartup);
    QTimer::singleShot(300, installer, [this] { emit installer->notifyStickRemoved(); });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);

    const int result = QApplication::exec();

    QCOMPARE(result, 0);
    // Only the stick ends the run: the terminal was started before the loop left.
    QCOMPARE(control.calls.last(), QStringLiteral("startTerminal"));
}

void TestInstallerViewManager::nestedEventsStartNoSecondRun()
{
    writeDatabase(encrypted(QStringLiteral("Secret")));
    control.updateAvailable = true;
    QSignalSpy prompts(manager, &InstallerViewManager::notifyShowInputPanel);
    onPrompt([this] {
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

    MessageCapture capture;
    manager->onStartup();

    QCOMPARE(prompts.count(), 1);
    QCOMPARE(capture.messages().count(QStringLiteral("Enter Password...")), 1);
    QCOMPARE(control.calls.count(QStringLiteral("install")), 1);
    QVERIFY(!control.calls.contains(QStringLiteral("startTerminal")));
    QCOMPARE(manager->currentState(), InstallerViewManager::WaitStickRemoved);
    QCOMPARE(output(), QStringLiteral("Installing update to Zentavo...\nDone"));
}

QTEST_MAIN(TestInstallerViewManager)
#include "tst_installerviewmanager.moc"
