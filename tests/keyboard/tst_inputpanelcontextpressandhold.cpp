#include "contexttestsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Holds in these tests last a little longer than the shortened interval, and
// taps are far shorter than the lengthened one.
const int shortHold = 80;
const int neverExpires = 60 * 60 * 1000;
} // namespace

// The press-and-hold gesture on real keys: timer, accent bars and the gate
// that swallows the release of a long press.
class TestInputPanelContextPressAndHold : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void holdOpensTheBarOfTheVowelHeld_data();
    void holdOpensTheBarOfTheVowelHeld();
    void tapShorterThanTheHoldTypesTheVowel();
    void productionHoldIsEightHundredMilliseconds();
    void keysWithoutBarNeverOpenOne_data();
    void keysWithoutBarNeverOpenOne();
    void barKeyTypesAccentedLetterOnceAndClosesBars();
    void quickTapOnVowelWhileBarIsOpen();
    void holdingAnotherVowelReplacesTheBar();
    void otherCharacterWhileBarIsOpenIsTypedAndClosesBar();
    void releaseAwayFromKeyStillOpensBar();
    void specialKeysCloseTheBarFirst_data();
    void specialKeysCloseTheBarFirst();
    void outsidePressClosesTheBar();
    void panelRequestsLeaveTheBarOpen();
    void expiryWithoutFocusShowsNoBar();

private:
    void tapField();
    void hold(const char* keyName);
    void tap(const char* keyName);
    void waitOutHold();

    QTemporaryDir deviceRoot;
    std::unique_ptr<ContextRig> rig;
    std::unique_ptr<FieldWindow> fields;
};

void TestInputPanelContextPressAndHold::initTestCase()
{
    QVERIFY(deviceRoot.isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", deviceRoot.path().toLocal8Bit());
}

void TestInputPanelContextPressAndHold::init()
{
    rig.reset(new ContextRig);
    rig->context->setPressAndHoldInterval(shortHold / 3);
    fields.reset(new FieldWindow);
    QVERIFY(fields->showAndFocus());
    tapField();
}

void TestInputPanelContextPressAndHold::cleanup()
{
    fields.reset();
    rig.reset();
}

void TestInputPanelContextPressAndHold::tapField()
{
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
}

// Past the shortened interval, with one more pass for a timer that came due
// while a loaded machine kept the test from running.
void TestInputPanelContextPressAndHold::waitOutHold()
{
    QTest::qWait(shortHold);
    QCoreApplication::processEvents();
}

// Press, wait out the hold, release on the key.
void TestInputPanelContextPressAndHold::hold(const char* keyName)
{
    QPushButton* key = keyOf(currentPanel(), keyName);
    QVERIFY2(key, keyName);
    QTest::mousePress(key, Qt::LeftButton);
    waitOutHold();
    QTest::mouseRelease(key, Qt::LeftButton);
}

void TestInputPanelContextPressAndHold::tap(const char* keyName)
{
    QPushButton* key = keyOf(currentPanel(), keyName);
    QVERIFY2(key, keyName);
    QTest::mouseClick(key, Qt::LeftButton);
}

void TestInputPanelContextPressAndHold::holdOpensTheBarOfTheVowelHeld_data()
{
    QTest::addColumn<bool>("lowerCase");
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QString>("bar");
    QTest::newRow("A") << false << "panelButton_A" << "KeyBar_A";
    QTest::newRow("E") << false << "panelButton_E" << "KeyBar_E";
    QTest::newRow("I") << false << "panelButton_I" << "KeyBar_I";
    QTest::newRow("O") << false << "panelButton_O" << "KeyBar_O";
    QTest::newRow("U") << false << "panelButton_U" << "KeyBar_U";
    QTest::newRow("a") << true << "panelButton_A" << "KeyBar_A_small";
    QTest::newRow("e") << true << "panelButton_E" << "KeyBar_E_small";
    QTest::newRow("i") << true << "panelButton_I" << "KeyBar_I_small";
    QTest::newRow("o") << true << "panelButton_O" << "KeyBar_O_small";
    QTest::newRow("u") << true << "panelButton_U" << "KeyBar_U_small";
}

void TestInputPanelContextPressAndHold::holdOpensTheBarOfTheVowelHeld()
{
    QFETCH(bool, lowerCase);
    QFETCH(QString, keyName);
    QFETCH(QString, bar);

    if (lowerCase)
        tap("shiftButton");
    KeyEventRecorder recorder(fields->field);
    QPushButton* key = keyOf(currentPanel(), keyName.toLatin1().constData());
    QTest::mousePress(key, Qt::LeftButton);
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QTRY_COMPARE(visibleBars(), bar);
    QTest::mouseRelease(key, Qt::LeftButton);

    // The release of the long press types nothing and leaves the bar up.
    QCOMPARE(recorder.keys.size(), 0);
    QCOMPARE(visibleBars(), bar);
    // Field 90,80 on screen with its last row at 119: bars at 80, 119 + 290.
    QCOMPARE(barTitled(bar)->pos(), QPoint(80, 409));
}

void TestInputPanelContextPressAndHold::tapShorterThanTheHoldTypesTheVowel()
{
    rig->context->setPressAndHoldInterval(neverExpires);
    tap("panelButton_A");
    QCOMPARE(fields->field->text(), QStringLiteral("A"));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    tap("shiftButton");
    tap("panelButton_U");
    QCOMPARE(fields->field->text(), QStringLiteral("Au"));
}

void TestInputPanelContextPressAndHold::productionHoldIsEightHundredMilliseconds()
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

void TestInputPanelContextPressAndHold::keysWithoutBarNeverOpenOne_data()
{
    QTest::addColumn<bool>("numberPanel");
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QString>("typed");
    QTest::newRow("consonant") << false << "panelButton_B" << "B";
    QTest::newRow("space") << false << "panelButton_space" << " ";
    QTest::newRow("digit") << true << "panelButton_1" << "1";
    QTest::newRow("symbol") << true << "panelButton_star" << "*";
}

void TestInputPanelContextPressAndHold::keysWithoutBarNeverOpenOne()
{
    QFETCH(bool, numberPanel);
    QFETCH(QString, keyName);
    QFETCH(QString, typed);
    if (numberPanel)
        tap("numberButton");
    hold(keyName.toLatin1().constData());
    waitOutHold();
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    // A long press of such a key is an ordinary tap.
    QCOMPARE(fields->field->text(), typed);
}

void TestInputPanelContextPressAndHold::barKeyTypesAccentedLetterOnceAndClosesBars()
{
    hold("panelButton_A");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_A"));

    KeyEventRecorder recorder(fields->field);
    QTest::mouseClick(keyOf(barTitled(QStringLiteral("KeyBar_A")), "panelButton_A_4"), Qt::LeftButton);
    QCOMPARE(fields->field->text(), QString(QChar(0x00C1)));
    QCOMPARE(recorder.keys.size(), 2);
    QCOMPARE(recorder.keys.at(0).key, 0x00C1);
    QCOMPARE(recorder.keys.at(0).text, QString(QChar(0x00C1)));
    QCOMPARE(recorder.keys.at(1).key, 0x00C1);
    QVERIFY(recorder.keys.at(1).text.isEmpty());
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QCOMPARE(QApplication::focusWidget(), fields->field);

    // The lower-case bar types small letters; its tilde key too.
    tap("shiftButton");
    hold("panelButton_O");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_O_small"));
    QTest::mouseClick(keyOf(barTitled(QStringLiteral("KeyBar_O_small")), "panelButton_O_6"), Qt::LeftButton);
    QCOMPARE(fields->field->text(), QString(QChar(0x00C1)) + QChar(0x00F5));
}

void TestInputPanelContextPressAndHold::quickTapOnVowelWhileBarIsOpen()
{
    hold("panelButton_A");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_A"));

    rig->context->setPressAndHoldInterval(neverExpires);
    tap("panelButton_A");
    QCOMPARE(fields->field->text(), QStringLiteral("A"));
    QCOMPARE(visibleBars(), QStringLiteral("none"));

    // A second hold reopens the bar and types nothing.
    rig->context->setPressAndHoldInterval(shortHold / 3);
    hold("panelButton_A");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    QCOMPARE(fields->field->text(), QStringLiteral("A"));

    // Holding the vowel of the open bar again: pressing with bar, expiry.
    hold("panelButton_A");
    QCOMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    QCOMPARE(fields->field->text(), QStringLiteral("A"));
}

void TestInputPanelContextPressAndHold::holdingAnotherVowelReplacesTheBar()
{
    hold("panelButton_A");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    hold("panelButton_E");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_E"));
    QVERIFY(fields->field->text().isEmpty());

    // A quick tap on a different vowel while a bar is up types it.
    rig->context->setPressAndHoldInterval(neverExpires);
    tap("panelButton_I");
    QCOMPARE(fields->field->text(), QStringLiteral("I"));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
}

void TestInputPanelContextPressAndHold::otherCharacterWhileBarIsOpenIsTypedAndClosesBar()
{
    hold("panelButton_U");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_U"));
    tap("panelButton_space");
    QCOMPARE(fields->field->text(), QStringLiteral(" "));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
}

void TestInputPanelContextPressAndHold::releaseAwayFromKeyStillOpensBar()
{
    QPushButton* key = keyOf(currentPanel(), "panelButton_E");
    QTest::mousePress(key, Qt::LeftButton);
    QTest::mouseRelease(key, Qt::LeftButton, Qt::NoModifier, QPoint(-30, -30));
    QVERIFY(fields->field->text().isEmpty());
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_E"));
    QVERIFY(fields->field->text().isEmpty());
}

void TestInputPanelContextPressAndHold::specialKeysCloseTheBarFirst_data()
{
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QString>("panelAfter");
    QTest::newRow("Shift") << "shiftButton" << "lower";
    QTest::newRow("123") << "numberButton" << "number";
    QTest::newRow("<==") << "backspaceButton" << "upper";
    QTest::newRow("Ok") << "enterButton" << "upper";
    QTest::newRow("Cancel") << "cancelButton" << "none";
}

void TestInputPanelContextPressAndHold::specialKeysCloseTheBarFirst()
{
    QFETCH(QString, keyName);
    QFETCH(QString, panelAfter);
    hold("panelButton_O");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_O"));
    tap(keyName.toLatin1().constData());
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QCOMPARE(visiblePanels(), panelAfter);
    QVERIFY(fields->field->text().isEmpty());
}

void TestInputPanelContextPressAndHold::outsidePressClosesTheBar()
{
    hold("panelButton_I");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_I"));
    // Below the last key row, left of "Ok": bare panel surface.
    QTest::mouseClick(currentPanel(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 370));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    QVERIFY(fields->field->text().isEmpty());

    // The "ABC" key of the number panel closes one too.
    hold("panelButton_I");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_I"));
    tap("numberButton");
    QCOMPARE(visibleBars(), QStringLiteral("none"));
    tap("panelButton_5");
    QCOMPARE(fields->field->text(), QStringLiteral("5"));
}

void TestInputPanelContextPressAndHold::panelRequestsLeaveTheBarOpen()
{
    hold("panelButton_A");
    QTRY_COMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    tapField();
    QCOMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    emit rig->manager.notifyShowInputPanel();
    QCOMPARE(visibleBars(), QStringLiteral("KeyBar_A"));
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
}

void TestInputPanelContextPressAndHold::expiryWithoutFocusShowsNoBar()
{
    rig->context->setPressAndHoldInterval(300);
    QPushButton* key = keyOf(currentPanel(), "panelButton_A");
    QTest::mousePress(key, Qt::LeftButton);
    // Let the press settle (window activation included) before focus goes.
    QTest::qWait(100);
    fields->field->clearFocus();
    QVERIFY(!QApplication::focusWidget());
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

QTEST_MAIN(TestInputPanelContextPressAndHold)
#include "tst_inputpanelcontextpressandhold.moc"
