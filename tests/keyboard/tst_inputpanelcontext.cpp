#include "contexttestsupport.h"

#include "aes_encryption.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace {

// Holds last a little longer than the shortened interval; taps are far
// shorter than the lengthened one.
const int shortHold = 80;
const int neverExpires = 60 * 60 * 1000;

// Upper, lower, digit and an accented vowel: every way of typing is needed.
const QString storedText = QString::fromUtf8("Zé9x");

QStringList messages;

void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    messages.append(message);
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

// The context on real panels: panel switching, placement, the key events per
// character, the requests the application filter derives from taps and focus
// moves, press-and-hold with its accent bars, and the special keys against a
// controller whose prompt reads a real settings database.
class TestInputPanelContext : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tapOnFocusedFieldShowsPanelsAndBarsBelowIt();
    void onlyLeftTapsOnEditableFieldsRequestTheKeyboard();
    void focusMoves();
    void panelSwitching_data();
    void panelSwitching();
    void eachCharacterIsTwoKeyPresses_data();
    void eachCharacterIsTwoKeyPresses();
    void withoutFocus();
    void enterWithoutPasswordFieldChangesNothing();

    void holdOpensTheBarOfTheVowelHeld_data();
    void holdOpensTheBarOfTheVowelHeld();
    void productionHoldIsEightHundredMilliseconds();
    void keysWithoutBarNeverOpenOne();
    void tappingVowelsWhileBarIsOpen();
    void releaseAwayFromKeyStillOpensBar();
    void specialKeysCloseTheBarFirst_data();
    void specialKeysCloseTheBarFirst();
    void expiryWithoutFocusShowsNoBar();

    void rightPasswordIsAccepted();
    void wrongPasswordsEmptyTheFieldUntilCancel();

private:
    void tapField() { QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20)); }
    void tap(const char* keyName);
    void hold(const char* keyName);
    void waitOutHold();
    void runPrompt(const std::function<void()>& driver);
    void waitForKeyboard();
    void typePassword(bool capitalZ);
    QLineEdit* field() const { return rig->manager.passwordLineEdit(); }

    QTemporaryDir deviceRoot;
    std::unique_ptr<ContextRig> rig;
    std::unique_ptr<FieldWindow> fields;
};

// Only the controller's start-up reads the database: until then it holds an
// empty password and no prompt, as the tests without runPrompt() expect.
void TestInputPanelContext::initTestCase()
{
    QVERIFY(deviceRoot.isValid());
    const QString dataDir = deviceRoot.path() + QStringLiteral("/FlashDisk/Zentavo/data");
    QVERIFY(QDir().mkpath(dataDir));
    QVERIFY(QDir().mkpath(deviceRoot.path() + QStringLiteral("/USB HD/Zentavo_Installer")));
    const QString encrypted = AES_Encryption().Encrypt(storedText);
    QVERIFY(!encrypted.isEmpty());
    QVERIFY(writeSettingsDatabase(dataDir + QStringLiteral("/Administrator_setting.db"), encrypted));
    qputenv("ZENTAVO_DEVICE_ROOT", deviceRoot.path().toLocal8Bit());
}

void TestInputPanelContext::init()
{
    rig.reset(new ContextRig);
    rig->context->setPressAndHoldInterval(shortHold / 3);
    fields.reset(new FieldWindow);
    QVERIFY(fields->showAndFocus());
}

void TestInputPanelContext::cleanup()
{
    fields.reset();
    rig.reset();
}

void TestInputPanelContext::tap(const char* keyName)
{
    QPushButton* key = keyOf(currentPanel(), keyName);
    QVERIFY2(key, keyName);
    QTest::mouseClick(key, Qt::LeftButton);
}

// Press, wait out the hold, release on the key.
void TestInputPanelContext::hold(const char* keyName)
{
    QPushButton* key = keyOf(currentPanel(), keyName);
    QVERIFY2(key, keyName);
    QTest::mousePress(key, Qt::LeftButton);
    waitOutHold();
    QTest::mouseRelease(key, Qt::LeftButton);
}

// One more pass for a timer that came due while a loaded machine kept the
// test from running.
void TestInputPanelContext::waitOutHold()
{
    QTest::qWait(shortHold);
    QCoreApplication::processEvents();
}

// Panels and bars of the current case go below the field when they come up;
// hidden ones keep their places, and the number panel moves no bar.
void TestInputPanelContext::tapOnFocusedFieldShowsPanelsAndBarsBelowIt()
{
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
    tapField();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    // Field at 90,80 on screen, 40 rows high: its last row is 119.
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(90, 121));
    for (const char* title : { "KeyBar_A", "KeyBar_E", "KeyBar_I", "KeyBar_O", "KeyBar_U" })
        QCOMPARE(barTitled(QLatin1String(title))->pos(), QPoint(80, 409));
    QWidget* upperBar = barTitled(QStringLiteral("KeyBar_E"));
    QWidget* lowerBar = barTitled(QStringLiteral("KeyBar_E_small"));
    const QPoint lowerBarBefore = lowerBar->pos();

    // A taller field elsewhere: 30+100, 20+150+59+2.
    fields->field->setGeometry(100, 150, 300, 60);
    tap("numberButton");
    QCOMPARE(keyboardWindow<InputPanelNumber>()->pos(), QPoint(130, 231));
    QCOMPARE(upperBar->pos(), QPoint(80, 409));
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(90, 121));

    tap("numberButton");
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(130, 231));
    QCOMPARE(upperBar->pos(), QPoint(120, 519));
    QCOMPARE(lowerBar->pos(), lowerBarBefore);

    tap("shiftButton");
    QCOMPARE(keyboardWindow<InputPanelShift>()->pos(), QPoint(130, 231));
    for (const char* title : { "KeyBar_A_small", "KeyBar_E_small", "KeyBar_I_small", "KeyBar_O_small", "KeyBar_U_small" })
        QCOMPARE(barTitled(QLatin1String(title))->pos(), QPoint(120, 519));
}

// The filter consumes nothing: every tap and hardware keys reach the field.
void TestInputPanelContext::onlyLeftTapsOnEditableFieldsRequestTheKeyboard()
{
    KeyEventRecorder recorder(fields->field);
    QTest::mouseClick(fields->field, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
    fields->button->setFocus();
    QTest::mouseClick(fields->button, Qt::LeftButton);
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
    fields->field->setFocus();
    fields->field->setReadOnly(true);
    tapField();
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
    fields->field->setReadOnly(false);
    tapField();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(recorder.mouseReleases, 3);

    QTest::keyClick(fields->field, Qt::Key_K);
    QCOMPARE(fields->field->text(), QStringLiteral("k"));
    QCOMPARE(recorder.keys, QStringList({ "press 4b 'k'", "release 4b 'k'" }));
    QKeyEvent hardwareKey(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, QStringLiteral("b"));
    QVERIFY(!rig->context->filterEvent(&hardwareKey));
}

// Focus moving to another text field keeps the keyboard up; moving to a widget
// without input methods closes the upper-case panel, and only that one.
void TestInputPanelContext::focusMoves()
{
    QLineEdit other(&fields->window);
    other.setGeometry(60, 200, 200, 40);
    other.show();
    tapField();
    other.setFocus();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    fields->button->setFocus();
    QCOMPARE(QApplication::focusWidget(), fields->button);
    QCOMPARE(visiblePanels(), QStringLiteral("none"));

    fields->field->setFocus();
    tapField();
    tap("shiftButton");
    tap("numberButton");
    fields->button->setFocus();
    QCOMPARE(visiblePanels(), QStringLiteral("number"));

    // The flags survived: back in the field, "ABC" returns to lower case.
    fields->field->setFocus();
    tap("numberButton");
    QCOMPARE(visiblePanels(), QStringLiteral("lower"));

    // A new request starts over with the upper-case panel alone.
    tap("numberButton");
    fields->button->setFocus();
    fields->field->setFocus();
    tapField();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
}

void TestInputPanelContext::panelSwitching_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("expected");
    // Each key is clicked on the panel that is up at that moment.
    QTest::newRow("request") << QStringList() << "upper";
    QTest::newRow("shift") << QStringList{ "shiftButton" } << "lower";
    QTest::newRow("shift twice") << QStringList{ "shiftButton", "shiftButton" } << "upper";
    QTest::newRow("123") << QStringList{ "numberButton" } << "number";
    QTest::newRow("123 ABC") << QStringList{ "numberButton", "numberButton" } << "upper";
    QTest::newRow("shift 123 ABC") << QStringList{ "shiftButton", "numberButton", "numberButton" } << "lower";
    QTest::newRow("shift key of number panel does nothing")
        << QStringList{ "numberButton", "shiftButton" } << "number";
    QTest::newRow("shift 123 shift ABC")
        << QStringList{ "shiftButton", "numberButton", "shiftButton", "numberButton" } << "lower";
    QTest::newRow("typing keeps the case")
        << QStringList{ "shiftButton", "panelButton_Q", "panelButton_space", "panelButton_W" } << "lower";
    QTest::newRow("backspace keeps the panel") << QStringList{ "numberButton", "backspaceButton" } << "number";
    QTest::newRow("cancel hides every panel") << QStringList{ "numberButton", "cancelButton" } << "none";
}

void TestInputPanelContext::panelSwitching()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, expected);
    tapField();
    for (const QString& name : keys)
        tap(name.toLatin1().constData());
    QCOMPARE(visiblePanels(), expected);
    if (currentPanel())
        QCOMPARE(currentPanel()->pos(), QPoint(90, 121));
    QCOMPARE(QApplication::focusWidget(), fields->field);
}

void TestInputPanelContext::eachCharacterIsTwoKeyPresses_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<int>("code");
    QTest::newRow("A") << "" << "panelButton_A" << 0x41;
    QTest::newRow("a, not Key_A") << "shiftButton" << "panelButton_A" << 0x61;
    QTest::newRow("space") << "" << "panelButton_space" << 0x20;
    QTest::newRow("9") << "numberButton" << "panelButton_9" << 0x39;
    QTest::newRow("second comma") << "numberButton" << "panelButton_comma2" << 0x2C;
}

// Never a release: it would make Qt ask for the input panel again. The code
// is the character's, not a Qt::Key.
void TestInputPanelContext::eachCharacterIsTwoKeyPresses()
{
    QFETCH(QString, before);
    QFETCH(QString, keyName);
    QFETCH(int, code);

    tapField();
    if (!before.isEmpty())
        tap(before.toLatin1().constData());
    KeyEventRecorder recorder(fields->field);
    tap(keyName.toLatin1().constData());

    QCOMPARE(recorder.keys, twoPresses(QChar(code)));
    QCOMPARE(fields->field->text(), QString(QChar(code)));
}

// Keys act only for a focused field; a show request without one leaves the
// panel where it is.
void TestInputPanelContext::withoutFocus()
{
    tapField();
    KeyEventRecorder recorder(fields->field);
    fields->field->clearFocus();
    QVERIFY(!QApplication::focusWidget());
    for (const char* key : { "panelButton_Q", "shiftButton", "numberButton", "cancelButton" })
        tap(key);
    QCOMPARE(recorder.keys, QStringList());
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));

    keyboardWindow<InputPanel>()->move(5, 7);
    emit rig->manager.notifyShowInputPanel();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(5, 7));

    // With the field focused it goes below the field, and resets the case.
    fields->field->setFocus();
    tap("shiftButton");
    emit rig->manager.notifyShowInputPanel();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(90, 121));
}

void TestInputPanelContext::enterWithoutPasswordFieldChangesNothing()
{
    // No prompt is open: an empty field must not count as the (empty) stored
    // password, and nothing is cleared.
    QVERIFY(!rig->manager.passwordLineEdit());
    tapField();
    tap("panelButton_W");
    tap("enterButton");
    emit rig->manager.notifyKeyboardEnter();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(fields->field->text(), QStringLiteral("W"));
    // Backspace acts on the password field only.
    tap("backspaceButton");
    QCOMPARE(fields->field->text(), QStringLiteral("W"));
}

void TestInputPanelContext::holdOpensTheBarOfTheVowelHeld_data()
{
    QTest::addColumn<bool>("lowerCase");
    QTest::addColumn<char>("vowel");
    QTest::addColumn<QString>("diaeresis");
    const QString upper = QString::fromUtf8("ÄËÏÖÜ");
    for (int i = 0; i < 5; ++i) {
        const char vowel = "AEIOU"[i];
        QTest::addRow("%c", vowel) << false << vowel << upper.mid(i, 1);
        QTest::addRow("%c small", vowel) << true << vowel << upper.mid(i, 1).toLower();
    }
}

// The bar of the vowel and case held comes up; its first key types the
// diaeresis once, as two presses, and closes the bar.
void TestInputPanelContext::holdOpensTheBarOfTheVowelHeld()
{
    QFETCH(bool, lowerCase);
    QFETCH(char, vowel);
    QFETCH(QString, diaeresis);
    const QString bar = QStringLiteral("KeyBar_") + QLatin1Char(vowel) + (lowerCase ? "_small" : "");

    tapField();
    if (lowerCase)
        tap("shiftButton");
    KeyEventRecorder recorder(fields->field);
    QPushButton* key = keyOf(currentPanel(), QByteArray("panelButton_").append(vowel).constData());
    QTest::mousePress(key, Qt::LeftButton);
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QTRY_COMPARE(visibleBars(), bar);
    QTest::mouseRelease(key, Qt::LeftButton);

    // The release of the long press types nothing and leaves the bar up.
    QCOMPARE(recorder.keys, QStringList());
    QCOMPARE(visibleBars(), bar);
    QCOMPARE(barTitled(bar)->pos(), QPoint(80, 409));

    QTest::mouseClick(keyOf(barTitled(bar), QByteArray("panelButton_").append(vowel).append("_2").constData()), Qt::LeftButton);
    QCOMPARE(recorder.keys, twoPresses(diaeresis.at(0)));
    QCOMPARE(fields->field->text(), diaeresis);
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QCOMPARE(QApplication::focusWidget(), fields->field);
}

void TestInputPanelContext::productionHoldIsEightHundredMilliseconds()
{
    // A fresh context, without the shortened interval.
    fields.reset();
    rig.reset(new ContextRig);
    fields.reset(new FieldWindow);
    QVERIFY(fields->showAndFocus());
    tapField();

    QPushButton* key = keyOf(currentPanel(), "panelButton_O");
    QElapsedTimer clock;
    clock.start();
    QTest::mousePress(key, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(visibleBars(), QStringLiteral("KeyBar_O"), 5000);
    // A coarse timer may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 760, qPrintable(QString::number(clock.elapsed())));
    QTest::mouseRelease(key, Qt::LeftButton);
    QVERIFY(fields->field->text().isEmpty());
}

// A long press of any other key is an ordinary tap.
void TestInputPanelContext::keysWithoutBarNeverOpenOne()
{
    tapField();
    hold("panelButton_B");
    tap("numberButton");
    hold("panelButton_1");
    waitOutHold();
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QCOMPARE(fields->field->text(), QStringLiteral("B1"));
}

// Which taps and holds type while a bar is up, and which bar they leave.
void TestInputPanelContext::tappingVowelsWhileBarIsOpen()
{
    tapField();
    hold("panelButton_A");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    rig->context->setPressAndHoldInterval(neverExpires);
    tap("panelButton_A");
    QCOMPARE(fields->field->text(), QStringLiteral("A"));
    QCOMPARE(visibleBars(), QStringLiteral("none"));

    // A second hold reopens the bar and types nothing; holding the vowel of
    // the open bar again keeps it.
    rig->context->setPressAndHoldInterval(shortHold / 3);
    hold("panelButton_A");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    hold("panelButton_A");
    QCOMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    QCOMPARE(fields->field->text(), QStringLiteral("A"));

    // Holding another vowel replaces the bar.
    hold("panelButton_E");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_E"));
    QCOMPARE(fields->field->text(), QStringLiteral("A"));

    // A quick tap on a different vowel, or any other character, types it.
    rig->context->setPressAndHoldInterval(neverExpires);
    tap("panelButton_I");
    QCOMPARE(fields->field->text(), QStringLiteral("AI"));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    rig->context->setPressAndHoldInterval(shortHold / 3);
    hold("panelButton_U");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_U"));
    tap("panelButton_space");
    QCOMPARE(fields->field->text(), QStringLiteral("AI "));
    QCOMPARE(visibleBars(), QStringLiteral("none"));

    // Without any bar a quick tap is just the vowel.
    rig->context->setPressAndHoldInterval(neverExpires);
    tap("shiftButton");
    tap("panelButton_U");
    QCOMPARE(fields->field->text(), QStringLiteral("AI u"));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
}

void TestInputPanelContext::releaseAwayFromKeyStillOpensBar()
{
    tapField();
    QPushButton* key = keyOf(currentPanel(), "panelButton_E");
    QTest::mousePress(key, Qt::LeftButton);
    QTest::mouseRelease(key, Qt::LeftButton, Qt::NoModifier, QPoint(-30, -30));
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_E"));
    QVERIFY(fields->field->text().isEmpty());
}

void TestInputPanelContext::specialKeysCloseTheBarFirst_data()
{
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QString>("panelAfter");
    QTest::newRow("Shift") << "shiftButton" << "lower";
    QTest::newRow("123") << "numberButton" << "number";
    QTest::newRow("<==") << "backspaceButton" << "upper";
    QTest::newRow("Ok") << "enterButton" << "upper";
    QTest::newRow("Cancel") << "cancelButton" << "none";
    QTest::newRow("press beside the keys") << "" << "upper";
}

void TestInputPanelContext::specialKeysCloseTheBarFirst()
{
    QFETCH(QString, keyName);
    QFETCH(QString, panelAfter);
    tapField();
    hold("panelButton_O");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_O"));
    if (keyName.isEmpty()) // below the last key row, left of "Ok"
        QTest::mouseClick(currentPanel(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 370));
    else
        tap(keyName.toLatin1().constData());
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QCOMPARE(visiblePanels(), panelAfter);
    QVERIFY(fields->field->text().isEmpty());
}

void TestInputPanelContext::expiryWithoutFocusShowsNoBar()
{
    tapField();
    rig->context->setPressAndHoldInterval(300);
    QPushButton* key = keyOf(currentPanel(), "panelButton_A");
    QTest::mousePress(key, Qt::LeftButton);
    // Let the press settle (window activation included) before focus goes.
    QTest::qWait(100);
    fields->field->clearFocus();
    QTest::qWait(300);
    QCoreApplication::processEvents();
    QVERIFY(!QApplication::focusWidget());
    QCOMPARE(visibleBars(), QStringLiteral("none"));

    // The expiry still counted as a long press: its release types nothing.
    fields->field->setFocus();
    QTest::mouseRelease(key, Qt::LeftButton);
    QVERIFY(fields->field->text().isEmpty());
    QCOMPARE(visibleBars(), QStringLiteral("none"));

    // The next tap is an ordinary one again.
    rig->context->setPressAndHoldInterval(neverExpires);
    tap("panelButton_A");
    QCOMPARE(fields->field->text(), QStringLiteral("A"));
}

// Runs the controller's start-up, which opens the prompt and waits in it;
// the driver types while the prompt waits. A driver that fails half way
// cancels, so that the prompt never waits for ever.
void TestInputPanelContext::runPrompt(const std::function<void()>& driver)
{
    fields.reset();
    rig->context->setPressAndHoldInterval(20);
    messages.clear();
    bool finished = false;
    QMetaObject::Connection start;
    start = connect(&rig->manager, &InstallerViewManager::notifyShowInputPanel, this, [&]() {
        disconnect(start);
        QTimer::singleShot(0, this, [&]() {
            waitForKeyboard();
            if (!QTest::currentTestFailed())
                driver();
            finished = !QTest::currentTestFailed();
            if (!finished)
                rig->manager.setPasswordCancelled();
        });
    });
    const QtMessageHandler previous = qInstallMessageHandler(recordMessage);
    rig->manager.onStartup();
    qInstallMessageHandler(previous);
    QVERIFY(finished);
    QCOMPARE(rig->manager.currentState(), InstallerViewManager::WaitStickRemoved);
    QVERIFY(!field());
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
    QVERIFY(messages.contains(QStringLiteral("Enter Password...")));
}

void TestInputPanelContext::waitForKeyboard()
{
    QTRY_VERIFY(field());
    QTRY_VERIFY(keyboardWindow<InputPanel>()->isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(field()));
    // The prompt fills the screen from its corner; the field sits at 60,60
    // and is 40 rows high, so the panel starts at row 101.
    const QPoint corner = field()->window()->geometry().topLeft();
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), corner + QPoint(60, 101));
}

// "Zé9x", or "zé9x" with the wrong case; starts on the upper-case panel and
// ends on the lower-case one.
void TestInputPanelContext::typePassword(bool capitalZ)
{
    if (!capitalZ)
        tap("shiftButton");
    tap("panelButton_Z");
    if (capitalZ)
        tap("shiftButton");
    QPushButton* e = keyOf(currentPanel(), "panelButton_E");
    QTest::mousePress(e, Qt::LeftButton);
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_E_small"));
    QTest::mouseRelease(e, Qt::LeftButton);
    QTest::mouseClick(keyOf(barTitled(QStringLiteral("KeyBar_E_small")), "panelButton_E_4"), Qt::LeftButton);
    tap("numberButton");
    tap("panelButton_9");
    tap("numberButton");
    tap("panelButton_X");
    QCOMPARE(field()->text(), capitalZ ? storedText : QString::fromUtf8("zé9x"));
}

// Backspace edits the field without key events; Return at the field checks
// like Ok.
void TestInputPanelContext::rightPasswordIsAccepted()
{
    runPrompt([this]() {
        tap("panelButton_Q");
        tap("panelButton_W");
        KeyEventRecorder recorder(field());
        tap("backspaceButton");
        QCOMPARE(field()->text(), QStringLiteral("Q"));
        QCOMPARE(recorder.keys, QStringList());
        QTest::keyClick(field(), Qt::Key_Return);
        QVERIFY(field()->text().isEmpty());
        QCOMPARE(visiblePanels(), QStringLiteral("upper"));
        tap("backspaceButton");
        typePassword(true);
        tap("enterButton");
    });
    QVERIFY(messages.contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
    QVERIFY(!messages.contains(QStringLiteral("HandleEvents: WaitPassword: Cancelled.")));
}

void TestInputPanelContext::wrongPasswordsEmptyTheFieldUntilCancel()
{
    runPrompt([this]() {
        typePassword(false);
        tap("enterButton");
        QVERIFY(field()->text().isEmpty());
        QCOMPARE(visiblePanels(), QStringLiteral("lower"));

        // A tap on the field starts over: empty field, upper-case panel.
        tap("numberButton");
        tap("panelButton_1");
        QCOMPARE(field()->text(), QStringLiteral("1"));
        QTest::mouseClick(field(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(field()->text().isEmpty());
        QCOMPARE(visiblePanels(), QStringLiteral("upper"));

        // A trailing space counts; Ok on the number panel compares the same way.
        typePassword(true);
        tap("panelButton_space");
        tap("numberButton");
        tap("enterButton");
        QVERIFY(field()->text().isEmpty());
        QCOMPARE(visiblePanels(), QStringLiteral("number"));

        // An empty field is a mismatch too.
        tap("enterButton");
        tap("cancelButton");
    });
    QVERIFY(messages.contains(QStringLiteral("HandleEvents: WaitPassword: Cancelled.")));
    QVERIFY(!messages.contains(QStringLiteral("HandleEvents: WaitPassword: Ok.")));
}

QTEST_MAIN(TestInputPanelContext)
#include "tst_inputpanelcontext.moc"
