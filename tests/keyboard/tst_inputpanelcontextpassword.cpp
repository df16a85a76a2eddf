#include "contexttestsupport.h"

#include "aes_encryption.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Upper, lower, digit and an accented vowel: every way of typing is needed.
const QString storedText = QString::fromUtf8("Zé9x");

QStringList& messages()
{
    static QStringList list;
    return list;
}

void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    messages().append(message);
}

bool writeSettingsDatabase(const QString& path, const QString& encrypted)
{
    bool ok = false;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        database.setDatabaseName(path);
        if (database.open()) {
            QSqlQuery query(database);
            ok = query.exec(QStringLiteral("create table user (id integer, value text)"))
                && query.prepare(QStringLiteral("insert into user (id, value) values (3, ?)"));
            query.addBindValue(encrypted);
            ok = ok && query.exec();
            database.close();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
    return ok;
}

} // namespace

// The keyboard's special keys against a real controller that opens its real
// prompt from a real settings database.
class TestInputPanelContextPassword : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rightPasswordTypedWithShiftNumberAndAccentIsAccepted();
    void wrongPasswordsEmptyTheFieldUntilCancel();
    void backspaceEditsOnlyThePasswordField();
    void returnAtTheFieldChecksLikeOk();
    void tapOnTheFieldStartsOver();

private:
    void runPrompt(const std::function<void()>& driver);
    void waitForKeyboard();
    void tap(const char* keyName);
    void typeStoredPassword();
    QLineEdit* field() const { return rig->manager.passwordLineEdit(); }

    QTemporaryDir deviceRoot;
    std::unique_ptr<ContextRig> rig;
    QtMessageHandler previousHandler = nullptr;
    bool driverStarted = false;
    bool driverFinished = false;
};

void TestInputPanelContextPassword::initTestCase()
{
    QVERIFY(deviceRoot.isValid());
    const QString dataDir = deviceRoot.path() + QStringLiteral("/FlashDisk/Zentavo/data");
    QVERIFY(QDir().mkpath(dataDir));
    QVERIFY(QDir().mkpath(deviceRoot.path() + QStringLiteral("/USB HD/Zentavo_Installer")));
    AES_Encryption encryption;
    const QString encrypted = encryption.Encrypt(storedText);
    QVERIFY(!encrypted.isEmpty());
    QVERIFY(writeSettingsDatabase(dataDir + QStringLiteral("/Administrator_setting.db"), encrypted));
    qputenv("ZENTAVO_DEVICE_ROOT", deviceRoot.path().toLocal8Bit());
}

void TestInputPanelContextPassword::init()
{
    messages().clear();
    previousHandler = qInstallMessageHandler(recordMessage);
    rig.reset(new ContextRig);
    // Only the accent needs a hold here; keep it short.
    rig->context->setPressAndHoldInterval(20);
}

void TestInputPanelContextPassword::cleanup()
{
    rig.reset();
    qInstallMessageHandler(previousHandler);
}

// Runs the controller's start-up, which opens the prompt and waits in it;
// the driver types while the prompt waits. A driver that fails half way
// cancels, so that the prompt never waits for ever.
void TestInputPanelContextPassword::runPrompt(const std::function<void()>& driver)
{
    driverStarted = false;
    driverFinished = false;
    // Start typing once the prompt has asked for the keyboard and waits.
    QMetaObject::Connection start;
    start = connect(&rig->manager, &InstallerViewManager::notifyShowInputPanel, this, [this, driver, &start]() {
        disconnect(start);
        QTimer::singleShot(0, this, [this, driver]() {
            driverStarted = true;
            [&]() {
                waitForKeyboard();
                if (QTest::currentTestFailed())
                    return;
                driver();
                if (!QTest::currentTestFailed())
                    driverFinished = true;
            }();
            if (!driverFinished)
                rig->manager.setPasswordCancelled();
        });
    });
    rig->manager.onStartup();
    QVERIFY(driverStarted);
    QVERIFY(driverFinished);
    QCOMPARE(rig->manager.currentState(), InstallerViewManager::WaitStickRemoved);
    QVERIFY(!field());
}

void TestInputPanelContextPassword::waitForKeyboard()
{
    QTRY_VERIFY(field());
    QTRY_VERIFY(keyboardWindow<InputPanel>()->isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(field()));
    // The prompt fills the screen from its corner; the field sits at 60,60
    // and is 40 rows high, so the panel starts at row 101.
    const QPoint corner = field()->window()->geometry().topLeft();
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), corner + QPoint(60, 101));
}

void TestInputPanelContextPassword::tap(const char* keyName)
{
    QPushButton* key = keyOf(currentPanel(), keyName);
    QVERIFY2(key, keyName);
    QTest::mouseClick(key, Qt::LeftButton);
}

void TestInputPanelContextPassword::typeStoredPassword()
{
    tap("panelButton_Z");
    tap("shiftButton");
    QPushButton* e = keyOf(currentPanel(), "panelButton_E");
    QTest::mousePress(e, Qt::LeftButton);
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_E_small"));
    QTest::mouseRelease(e, Qt::LeftButton);
    QTest::mouseClick(keyOf(barTitled(QStringLiteral("KeyBar_E_small")), "panelButton_E_4"), Qt::LeftButton);
    tap("numberButton");
    tap("panelButton_9");
    tap("numberButton");
    QCOMPARE(visiblePanels(), QStringLiteral("lower"));
    tap("panelButton_X");
    QCOMPARE(rig->manager.enteredPassword(), storedText);
}

void TestInputPanelContextPassword::rightPasswordTypedWithShiftNumberAndAccentIsAccepted()
{
    runPrompt([this]() {
        typeStoredPassword();
        tap("enterButton");
        QCOMPARE(visiblePanels(), QStringLiteral("none"));
    });
    QVERIFY(messages().contains(QStringLiteral("Enter Password...")));
    QVERIFY(messages().contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
    QVERIFY(!messages().contains(QStringLiteral("HandleEvents: WaitPassword: Cancelled.")));
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
}

void TestInputPanelContextPassword::wrongPasswordsEmptyTheFieldUntilCancel()
{
    runPrompt([this]() {
        // Only the letter case differs.
        tap("shiftButton");
        tap("panelButton_Z");
        QPushButton* e = keyOf(currentPanel(), "panelButton_E");
        QTest::mousePress(e, Qt::LeftButton);
        QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_E_small"));
        QTest::mouseRelease(e, Qt::LeftButton);
        QTest::mouseClick(keyOf(barTitled(QStringLiteral("KeyBar_E_small")), "panelButton_E_4"), Qt::LeftButton);
        tap("numberButton");
        tap("panelButton_9");
        tap("numberButton");
        tap("panelButton_X");
        QCOMPARE(field()->text(), QString::fromUtf8("zé9x"));
        tap("enterButton");
        QVERIFY(field()->text().isEmpty());
        QCOMPARE(visiblePanels(), QStringLiteral("lower"));

        // A trailing space counts; Ok on the number panel compares the same way.
        tap("shiftButton");
        typeStoredPassword();
        tap("panelButton_space");
        tap("numberButton");
        tap("enterButton");
        QVERIFY(field()->text().isEmpty());
        QCOMPARE(visiblePanels(), QStringLiteral("number"));

        // An empty field is a mismatch too.
        tap("enterButton");
        QVERIFY(field()->text().isEmpty());
        tap("cancelButton");
        QCOMPARE(visiblePanels(), QStringLiteral("none"));
    });
    QVERIFY(messages().contains(QStringLiteral("HandleEvents: WaitPassword: Cancelled.")));
    QVERIFY(!messages().contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
}

void TestInputPanelContextPassword::backspaceEditsOnlyThePasswordField()
{
    runPrompt([this]() {
        tap("panelButton_Q");
        tap("panelButton_W");
        KeyEventRecorder recorder(field());
        tap("backspaceButton");
        QCOMPARE(field()->text(), QStringLiteral("Q"));
        QCOMPARE(recorder.keys.size(), 0);
        tap("backspaceButton");
        tap("backspaceButton");
        QVERIFY(field()->text().isEmpty());
        typeStoredPassword();
        tap("enterButton");
    });
    QVERIFY(messages().contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
}

void TestInputPanelContextPassword::returnAtTheFieldChecksLikeOk()
{
    runPrompt([this]() {
        tap("panelButton_Q");
        QTest::keyClick(field(), Qt::Key_Return);
        QVERIFY(field()->text().isEmpty());
        QVERIFY(keyboardWindow<InputPanel>()->isVisible());
        typeStoredPassword();
        QTest::keyClick(field(), Qt::Key_Return);
        QCOMPARE(visiblePanels(), QStringLiteral("none"));
    });
    QVERIFY(messages().contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
}

void TestInputPanelContextPassword::tapOnTheFieldStartsOver()
{
    runPrompt([this]() {
        tap("shiftButton");
        tap("panelButton_Q");
        tap("numberButton");
        tap("panelButton_1");
        QCOMPARE(field()->text(), QStringLiteral("q1"));
        QTest::mouseClick(field(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(field()->text().isEmpty());
        QCOMPARE(visiblePanels(), QStringLiteral("upper"));
        tap("cancelButton");
    });
    QVERIFY(messages().contains(QStringLiteral("HandleEvents: WaitPassword: Cancelled.")));
}

QTEST_MAIN(TestInputPanelContextPassword)
#include "tst_inputpanelcontextpassword.moc"
