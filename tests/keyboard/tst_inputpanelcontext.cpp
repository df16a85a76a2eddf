#include "contexttestsupport.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Panel switching, placement, the key events per character and the two
// requests that the application filter derives from taps and focus moves.
class TestInputPanelContext : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void createsThirteenHiddenWindows();
    void tapOnFocusedFieldShowsUpperCasePanelBelowIt();
    void filterNeverConsumesTheTapOrKeys();
    void tapsThatAreNoPanelRequest_data();
    void tapsThatAreNoPanelRequest();
    void focusMoveToWidgetWithoutInputMethodsHidesUpperCasePanel();
    void closeRequestLeavesNumberPanelUp();
    void panelSwitching_data();
    void panelSwitching();
    void placementFollowsFieldAndNumberPanelLeavesBars();
    void eachCharacterIsTwoKeyPresses_data();
    void eachCharacterIsTwoKeyPresses();
    void charactersAndSpecialKeysNeedAFocusWidget();
    void showRequestWithoutFocusLeavesPanelInPlace();
    void enterWithoutPasswordFieldChangesNothing();
    void cancelHidesEveryPanel();

private:
    QTemporaryDir deviceRoot;
    std::unique_ptr<ContextRig> rig;
    std::unique_ptr<FieldWindow> fields;
};

void TestInputPanelContext::initTestCase()
{
    // No settings database: the controller holds no password and no prompt.
    QVERIFY(deviceRoot.isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", deviceRoot.path().toLocal8Bit());
}

void TestInputPanelContext::init()
{
    rig.reset(new ContextRig);
    fields.reset(new FieldWindow);
    QVERIFY(fields->showAndFocus());
}

void TestInputPanelContext::cleanup()
{
    fields.reset();
    rig.reset();
}

void TestInputPanelContext::createsThirteenHiddenWindows()
{
    const char* barTitles[] = { "KeyBar_A", "KeyBar_E", "KeyBar_I", "KeyBar_O", "KeyBar_U",
                                "KeyBar_A_small", "KeyBar_E_small", "KeyBar_I_small", "KeyBar_O_small",
                                "KeyBar_U_small" };
    for (const char* title : barTitles) {
        QWidget* bar = barTitled(QLatin1String(title));
        QVERIFY2(bar, title);
        QVERIFY(bar->isWindow());
        QVERIFY(!bar->isVisible());
    }
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
    QVERIFY(keyboardWindow<InputPanel>()->isWindow());
    QVERIFY(!keyboardWindow<InputPanel>()->parent());
    QCOMPARE(rig->context->identifierName(), QStringLiteral("InputPanelContext"));
    QCOMPARE(rig->context->language(), QStringLiteral("en_US"));
    QVERIFY(!rig->context->isComposing());
}

void TestInputPanelContext::tapOnFocusedFieldShowsUpperCasePanelBelowIt()
{
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    // Field at 90,80 on screen, 40 rows high: its last row is 119.
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(90, 121));
    const char* upperBars[] = { "KeyBar_A", "KeyBar_E", "KeyBar_I", "KeyBar_O", "KeyBar_U" };
    for (const char* title : upperBars)
        QCOMPARE(barTitled(QLatin1String(title))->pos(), QPoint(80, 409));
    QCOMPARE(visibleBars(), QStringLiteral("none"));
}

void TestInputPanelContext::filterNeverConsumesTheTapOrKeys()
{
    KeyEventRecorder recorder(fields->field);
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(recorder.mouseReleases, 1);

    // A hardware key reaches the field untouched, as press and release.
    QTest::keyClick(fields->field, Qt::Key_K);
    QCOMPARE(fields->field->text(), QStringLiteral("k"));
    QCOMPARE(recorder.keys.size(), 2);
    QCOMPARE(recorder.keys.at(1).type, QEvent::KeyRelease);

    QKeyEvent hardwareKey(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, QStringLiteral("b"));
    QVERIFY(!rig->context->filterEvent(&hardwareKey));
    QMouseEvent hardwareRelease(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier);
    QVERIFY(!rig->context->eventFilter(fields->field, &hardwareRelease));
    QEvent request(QEvent::RequestSoftwareInputPanel);
    QVERIFY(rig->context->filterEvent(&request));
}

void TestInputPanelContext::tapsThatAreNoPanelRequest_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("right button on the field") << "right";
    QTest::newRow("read-only field") << "readonly";
    QTest::newRow("button") << "button";
}

void TestInputPanelContext::tapsThatAreNoPanelRequest()
{
    QFETCH(QString, what);
    if (what == QLatin1String("right")) {
        QTest::mouseClick(fields->field, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
    } else if (what == QLatin1String("readonly")) {
        fields->field->setReadOnly(true);
        QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    } else {
        fields->button->setFocus();
        QTest::mouseClick(fields->button, Qt::LeftButton);
    }
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
}

void TestInputPanelContext::focusMoveToWidgetWithoutInputMethodsHidesUpperCasePanel()
{
    QLineEdit other(&fields->window);
    other.setGeometry(60, 200, 200, 40);
    other.show();

    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));

    // Another text field keeps the keyboard up.
    other.setFocus();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));

    fields->button->setFocus();
    QCOMPARE(QApplication::focusWidget(), fields->button);
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
}

void TestInputPanelContext::closeRequestLeavesNumberPanelUp()
{
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QTest::mouseClick(keyOf(currentPanel(), "shiftButton"), Qt::LeftButton);
    QTest::mouseClick(keyOf(currentPanel(), "numberButton"), Qt::LeftButton);
    QCOMPARE(visiblePanels(), QStringLiteral("number"));

    fields->button->setFocus();
    QCOMPARE(visiblePanels(), QStringLiteral("number"));

    // The flags survived: back in the field, "ABC" returns to lower case.
    fields->field->setFocus();
    QTest::mouseClick(keyOf(currentPanel(), "numberButton"), Qt::LeftButton);
    QCOMPARE(visiblePanels(), QStringLiteral("lower"));

    // A new request starts over with the upper-case panel alone.
    QTest::mouseClick(keyOf(currentPanel(), "numberButton"), Qt::LeftButton);
    fields->button->setFocus();
    fields->field->setFocus();
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
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
}

void TestInputPanelContext::panelSwitching()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, expected);
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    for (const QString& name : keys) {
        QPushButton* key = keyOf(currentPanel(), name.toLatin1().constData());
        QVERIFY2(key, qPrintable(name));
        QTest::mouseClick(key, Qt::LeftButton);
    }
    QCOMPARE(visiblePanels(), expected);
    QCOMPARE(currentPanel()->pos(), QPoint(90, 121));
}

void TestInputPanelContext::placementFollowsFieldAndNumberPanelLeavesBars()
{
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QWidget* lowerBar = barTitled(QStringLiteral("KeyBar_E_small"));
    QWidget* upperBar = barTitled(QStringLiteral("KeyBar_E"));
    const QPoint lowerBarBefore = lowerBar->pos();

    // A taller field elsewhere on screen.
    fields->field->setGeometry(100, 150, 300, 60);
    QTest::mouseClick(keyOf(currentPanel(), "numberButton"), Qt::LeftButton);
    // 30+100, 20+150+59+2
    QCOMPARE(keyboardWindow<InputPanelNumber>()->pos(), QPoint(130, 231));
    QCOMPARE(upperBar->pos(), QPoint(80, 409));
    QCOMPARE(lowerBar->pos(), lowerBarBefore);
    // Hidden panels keep their places until they come up.
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(90, 121));

    QTest::mouseClick(keyOf(currentPanel(), "numberButton"), Qt::LeftButton);
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(130, 231));
    QCOMPARE(upperBar->pos(), QPoint(120, 519));
    QCOMPARE(lowerBar->pos(), lowerBarBefore);

    QTest::mouseClick(keyOf(currentPanel(), "shiftButton"), Qt::LeftButton);
    QCOMPARE(keyboardWindow<InputPanelShift>()->pos(), QPoint(130, 231));
    const char* lowerBars[] = { "KeyBar_A_small", "KeyBar_E_small", "KeyBar_I_small", "KeyBar_O_small",
                                "KeyBar_U_small" };
    for (const char* title : lowerBars)
        QCOMPARE(barTitled(QLatin1String(title))->pos(), QPoint(120, 519));
}

void TestInputPanelContext::eachCharacterIsTwoKeyPresses_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<int>("code");

    QTest::newRow("A") << QStringList() << "panelButton_A" << 0x41;
    QTest::newRow("Z") << QStringList() << "panelButton_Z" << 0x5A;
    QTest::newRow("a, not Key_A") << QStringList{ "shiftButton" } << "panelButton_A" << 0x61;
    QTest::newRow("y") << QStringList{ "shiftButton" } << "panelButton_Y" << 0x79;
    QTest::newRow("space") << QStringList() << "panelButton_space" << 0x20;
    QTest::newRow("@") << QStringList() << "panelButton_at" << 0x40;
    QTest::newRow("9") << QStringList{ "numberButton" } << "panelButton_9" << 0x39;
    QTest::newRow("#") << QStringList{ "numberButton" } << "panelButton_hash" << 0x23;
    QTest::newRow("second comma") << QStringList{ "numberButton" } << "panelButton_comma2" << 0x2C;
}

void TestInputPanelContext::eachCharacterIsTwoKeyPresses()
{
    QFETCH(QStringList, before);
    QFETCH(QString, keyName);
    QFETCH(int, code);

    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    for (const QString& name : before)
        QTest::mouseClick(keyOf(currentPanel(), name.toLatin1().constData()), Qt::LeftButton);

    KeyEventRecorder recorder(fields->field);
    QTest::mouseClick(keyOf(currentPanel(), keyName.toLatin1().constData()), Qt::LeftButton);

    const QString character(QChar(static_cast<char16_t>(code)));
    QCOMPARE(recorder.keys.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const RecordedKey& key = recorder.keys.at(i);
        QCOMPARE(key.type, QEvent::KeyPress);
        QCOMPARE(key.key, code);
        QCOMPARE(key.modifiers, Qt::KeyboardModifiers(Qt::NoModifier));
        QVERIFY(!key.autoRepeat);
        QCOMPARE(key.count, 1);
    }
    QCOMPARE(recorder.keys.at(0).text, character);
    QVERIFY(recorder.keys.at(1).text.isEmpty());
    QCOMPARE(fields->field->text(), character);
    QCOMPARE(QApplication::focusWidget(), fields->field);
}

void TestInputPanelContext::charactersAndSpecialKeysNeedAFocusWidget()
{
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    KeyEventRecorder recorder(fields->field);
    fields->field->clearFocus();
    QVERIFY(!QApplication::focusWidget());

    QTest::mouseClick(keyOf(currentPanel(), "panelButton_Q"), Qt::LeftButton);
    QTest::mouseClick(keyOf(currentPanel(), "shiftButton"), Qt::LeftButton);
    QTest::mouseClick(keyOf(currentPanel(), "numberButton"), Qt::LeftButton);
    QTest::mouseClick(keyOf(currentPanel(), "cancelButton"), Qt::LeftButton);
    QCOMPARE(recorder.keys.size(), 0);
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
}

void TestInputPanelContext::showRequestWithoutFocusLeavesPanelInPlace()
{
    fields->field->clearFocus();
    keyboardWindow<InputPanel>()->move(5, 7);
    emit rig->manager.notifyShowInputPanel();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(5, 7));

    // With the field focused it goes below the field, and resets the case.
    fields->field->setFocus();
    QTest::mouseClick(keyOf(currentPanel(), "shiftButton"), Qt::LeftButton);
    QCOMPARE(visiblePanels(), QStringLiteral("lower"));
    emit rig->manager.notifyShowInputPanel();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(keyboardWindow<InputPanel>()->pos(), QPoint(90, 121));
}

void TestInputPanelContext::enterWithoutPasswordFieldChangesNothing()
{
    // No prompt is open: an empty field must not count as the (empty) stored
    // password, and nothing is cleared.
    QVERIFY(!rig->manager.passwordLineEdit());
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QTest::mouseClick(keyOf(currentPanel(), "panelButton_W"), Qt::LeftButton);
    QTest::mouseClick(keyOf(currentPanel(), "enterButton"), Qt::LeftButton);
    emit rig->manager.notifyKeyboardEnter();
    QCOMPARE(visiblePanels(), QStringLiteral("upper"));
    QCOMPARE(fields->field->text(), QStringLiteral("W"));
    // Backspace acts on the password field only.
    QTest::mouseClick(keyOf(currentPanel(), "backspaceButton"), Qt::LeftButton);
    QCOMPARE(fields->field->text(), QStringLiteral("W"));
}

void TestInputPanelContext::cancelHidesEveryPanel()
{
    QTest::mouseClick(fields->field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QTest::mouseClick(keyOf(currentPanel(), "numberButton"), Qt::LeftButton);
    QTest::mouseClick(keyOf(currentPanel(), "cancelButton"), Qt::LeftButton);
    QCOMPARE(visiblePanels(), QStringLiteral("none"));
    QCOMPARE(QApplication::focusWidget(), fields->field);
}

QTEST_MAIN(TestInputPanelContext)
#include "tst_inputpanelcontext.moc"
