// Behaviour of the three key panels: what each key emits on press and on
// release, presses beside the keys, hiding and closing, and keeping keyboard
// focus in the text field.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include "keyspecs.h"
#include "signallog.h"

using namespace KeySpecs;

namespace {

// What a special key emits when clicked, per panel; empty: nothing.
QString specialKeySignal(const QString &panel, const QString &key)
{
    if (key == QLatin1String("backspaceButton"))
        return QStringLiteral("notifyBackspacePressed()");
    if (key == QLatin1String("enterButton"))
        return QStringLiteral("notifyEnterPressed()");
    if (key == QLatin1String("cancelButton"))
        return QStringLiteral("notifyCancelPressed()");
    if (panel == QLatin1String("InputPanel"))
        return key == QLatin1String("shiftButton") ? QStringLiteral("notifyShiftPressed()")
                                                   : QStringLiteral("notifyNumberPressed()");
    if (panel == QLatin1String("InputPanelShift"))
        return key == QLatin1String("shiftButton") ? QStringLiteral("notifyUnShiftPressed()")
                                                   : QStringLiteral("notifyNumberPressed()");
    return key == QLatin1String("numberButton") ? QStringLiteral("notifyAlphaPressed()") : QString();
}

bool isVowel(char16_t c)
{
    return QStringLiteral("AEIOUaeiou").contains(QChar(c));
}

QPushButton *key(QWidget *panel, const QString &name)
{
    QPushButton *button = panel->findChild<QPushButton *>(name);
    if (!button)
        qFatal("no key %s", qPrintable(name));
    return button;
}

// A stand-in for the password prompt: a window of its own with a line edit.
struct FieldWindow
{
    QWidget window;
    QLineEdit *edit = new QLineEdit(&window);

    FieldWindow()
    {
        (new QVBoxLayout(&window))->addWidget(edit);
        window.setGeometry(0, 0, 400, 60);
    }

    bool focus()
    {
        window.show();
        window.activateWindow();
        edit->setFocus();
        return QTest::qWaitForWindowActive(&window) && edit->hasFocus();
    }
};

} // namespace

class TestKeyPanel : public QObject
{
    Q_OBJECT

private slots:
    void panelsDeclareTheirSignals_data();
    void panelsDeclareTheirSignals();
    void keyTap_data();
    void keyTap();
    void vowelReleasedOffTheKeyTypesNothing_data();
    void vowelReleasedOffTheKeyTypesNothing();
    void holdingAKeyDoesNotRepeat();
    void pressBesideTheKeysIsAnOutsidePress_data();
    void pressBesideTheKeysIsAnOutsidePress();
    void keyValueThatHoldsNoCharacterGivesNull();
    void hideAndCloseAreReported();
    void keysNeverTakeFocus();
    void activationReturnsToTheLastFocusedField();
    void activationBeforeAnyFocusChangeActivatesNothing();
    void destroyedFieldIsForgotten();
};

void TestKeyPanel::panelsDeclareTheirSignals_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QStringList>("signalNames");
    const QStringList common = {"characterGenerated", "notifyHideEvent", "notifyCloseEvent",
                                "notifyBackspacePressed", "notifyEnterPressed", "notifyCancelPressed",
                                "notifyKeyPressed", "notifyOutsidePressed"};
    QTest::newRow("InputPanel") << "InputPanel"
                                << (common + QStringList{"notifyShiftPressed", "notifyNumberPressed"});
    QTest::newRow("InputPanelShift") << "InputPanelShift"
                                     << (common + QStringList{"notifyUnShiftPressed", "notifyNumberPressed"});
    QTest::newRow("InputPanelNumber") << "InputPanelNumber" << (common + QStringList{"notifyAlphaPressed"});
}

void TestKeyPanel::panelsDeclareTheirSignals()
{
    QFETCH(QString, panel);
    QFETCH(QStringList, signalNames);

    const auto widget = createPanel(panel);
    QStringList declared;
    const QMetaObject *meta = widget->metaObject();
    for (int i = QWidget::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            declared << QString::fromLatin1(meta->method(i).methodSignature());
    }
    QStringList expected;
    for (const QString &name : signalNames)
        expected << name + (name == QLatin1String("characterGenerated") || name == QLatin1String("notifyKeyPressed")
                                ? QStringLiteral("(QChar)")
                                : QStringLiteral("()"));
    declared.sort();
    expected.sort();
    QCOMPARE(declared, expected);
}

void TestKeyPanel::keyTap_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("atPress");
    QTest::addColumn<QStringList>("atRelease");

    const auto addRow = [](const char *panel, const char *name, char16_t value) {
        QStringList atPress;
        QStringList atRelease;
        if (value == 0) {
            const QString signal = specialKeySignal(QLatin1String(panel), QLatin1String(name));
            if (!signal.isEmpty())
                atRelease << signal;
        } else {
            // Only the letter panels' vowels report going down.
            if (isVowel(value) && qstrcmp(panel, "InputPanelNumber") != 0)
                atPress << SignalLog::describe(QStringLiteral("notifyKeyPressed"), value);
            atRelease << SignalLog::describe(QStringLiteral("characterGenerated"), value);
        }
        QTest::addRow("%s/%s", panel, name) << panel << name << atPress << atRelease;
    };
    for (const LetterKeySpec &k : letterKeys) {
        addRow("InputPanel", k.name, k.upperValue);
        addRow("InputPanelShift", k.name, k.lowerValue);
    }
    for (const KeySpec &k : numberKeys)
        addRow("InputPanelNumber", k.name, k.value);
}

void TestKeyPanel::keyTap()
{
    QFETCH(QString, panel);
    QFETCH(QString, name);
    QFETCH(QStringList, atPress);
    QFETCH(QStringList, atRelease);

    const auto widget = createPanel(panel);
    widget->show();
    SignalLog log(widget.get());
    QPushButton *button = key(widget.get(), name);

    QTest::mousePress(button, Qt::LeftButton);
    QCOMPARE(log.take(), atPress);
    QTest::mouseRelease(button, Qt::LeftButton);
    QCOMPARE(log.take(), atRelease);
}

void TestKeyPanel::vowelReleasedOffTheKeyTypesNothing_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("vowel");
    for (const char *vowel : {"A", "E", "I", "O", "U"}) {
        const QString name = QStringLiteral("panelButton_") + QLatin1String(vowel);
        QTest::addRow("InputPanel/%s", vowel) << "InputPanel" << name << vowel;
        QTest::addRow("InputPanelShift/%s", vowel) << "InputPanelShift" << name << QString::fromLatin1(vowel).toLower();
    }
}

void TestKeyPanel::vowelReleasedOffTheKeyTypesNothing()
{
    QFETCH(QString, panel);
    QFETCH(QString, name);
    QFETCH(QString, vowel);

    const auto widget = createPanel(panel);
    widget->show();
    SignalLog log(widget.get());
    QPushButton *button = key(widget.get(), name);

    QTest::mousePress(button, Qt::LeftButton);
    QCOMPARE(log.take(), QStringList{SignalLog::describe(QStringLiteral("notifyKeyPressed"), vowel.at(0).unicode())});
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-10, button->height() / 2));
    QCOMPARE(log.take(), QStringList());
}

void TestKeyPanel::holdingAKeyDoesNotRepeat()
{
    InputPanel panel;
    panel.show();
    SignalLog log(&panel);

    // Longer than a push button's auto-repeat delay and several intervals.
    for (const char *name : {"backspaceButton", "panelButton_X"}) {
        QPushButton *button = key(&panel, QLatin1String(name));
        QTest::mousePress(button, Qt::LeftButton);
        QTest::qWait(button->autoRepeatDelay() + 4 * button->autoRepeatInterval());
        QCOMPARE(log.take(), QStringList());
        QTest::mouseRelease(button, Qt::LeftButton);
        QCOMPARE(log.take().size(), 1);
    }
}

void TestKeyPanel::pressBesideTheKeysIsAnOutsidePress_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QPoint>("point");
    for (const char *panel : panelNames) {
        QTest::addRow("%s/between first two keys", panel) << panel << QPoint(55, 45);
        QTest::addRow("%s/left margin of row 2", panel) << panel << QPoint(20, 100);
        QTest::addRow("%s/between rows", panel) << panel << QPoint(300, 75);
        QTest::addRow("%s/below bottom row", panel) << panel << QPoint(300, 380);
        QTest::addRow("%s/left of Ok", panel) << panel << QPoint(300, 300);
        QTest::addRow("%s/between Ok and Cancel", panel) << panel << QPoint(610, 318);
        QTest::addRow("%s/right margin", panel) << panel << QPoint(715, 100);
    }
}

void TestKeyPanel::pressBesideTheKeysIsAnOutsidePress()
{
    QFETCH(QString, panel);
    QFETCH(QPoint, point);

    const auto widget = createPanel(panel);
    widget->move(0, 0);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    QCOMPARE(widget->childAt(point), nullptr);
    SignalLog log(widget.get());

    // Through the window, as a touch arrives, so the press finds its own
    // target widget.
    QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, point);
    QCOMPARE(log.take(), QStringList{"notifyOutsidePressed()"});
    QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, point);
    QCOMPARE(log.take(), QStringList());

    // A press on a key is the key's, not an outside press.
    QPushButton *space = key(widget.get(), QStringLiteral("panelButton_space"));
    const QPoint onKey = space->geometry().center();
    QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, onKey);
    QCOMPARE(log.take(), QStringList());
    QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, onKey);
    QCOMPARE(log.take(), QStringList{"characterGenerated(U+0020)"});
}

void TestKeyPanel::keyValueThatHoldsNoCharacterGivesNull()
{
    InputPanel panel;
    panel.show();
    SignalLog log(&panel);
    QPushButton *button = key(&panel, QStringLiteral("panelButton_Q"));
    button->setProperty("buttonValue", QRect(1, 2, 3, 4));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(log.take(), QStringList{"characterGenerated(U+0000)"});
}

void TestKeyPanel::hideAndCloseAreReported()
{
    for (const char *name : panelNames) {
        const auto widget = createPanel(QLatin1String(name));
        SignalLog log(widget.get());
        widget->show();
        QCOMPARE(log.take(), QStringList());

        widget->hide();
        QCOMPARE(log.take(), QStringList{"notifyHideEvent()"});

        widget->show();
        QVERIFY(widget->close());
        QVERIFY(widget->isHidden());
        QStringList emitted = log.take();
        emitted.sort();
        QCOMPARE(emitted, QStringList({"notifyCloseEvent()", "notifyHideEvent()"}));
    }
}

void TestKeyPanel::keysNeverTakeFocus()
{
    // As in the application, the panels exist before the field takes focus.
    std::vector<std::unique_ptr<QWidget>> panels;
    for (const char *name : panelNames)
        panels.push_back(createPanel(QLatin1String(name)));
    FieldWindow field;
    QVERIFY(field.focus());

    for (const auto &panel : panels) {
        panel->move(0, 80);
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        // Should the window system activate the panel on showing it, the
        // panel hands activation back to the field.
        QTRY_COMPARE(QApplication::activeWindow(), &field.window);
        QVERIFY(field.edit->hasFocus());

        SignalLog log(panel.get());
        int clicks = 0;
        for (QPushButton *button : panel->findChildren<QPushButton *>()) {
            QTest::mouseClick(panel->windowHandle(), Qt::LeftButton, {}, button->geometry().center());
            ++clicks;
            QVERIFY2(field.edit->hasFocus(), qPrintable(button->objectName()));
            QCOMPARE(QApplication::focusWidget(), field.edit);
        }
        QCOMPARE(clicks, 35);
        // Every key but the number panel's Shift answered its click.
        const bool numberPanel = qobject_cast<InputPanelNumber *>(panel.get()) != nullptr;
        QCOMPARE(log.take().filter(QRegularExpression("^(characterGenerated|notify(?!KeyPressed))")).size(),
                 numberPanel ? 34 : 35);
        QCOMPARE(QApplication::activeWindow(), &field.window);
        panel->hide();
    }
}

void TestKeyPanel::activationReturnsToTheLastFocusedField()
{
    InputPanel panel;
    panel.show();
    FieldWindow field;
    QVERIFY(field.focus());

    // Focus leaving for no widget, or landing on the panel or one of its
    // keys, does not replace the remembered field.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(QApplication::focusWidget(), nullptr);
    for (QWidget *newFocus : {static_cast<QWidget *>(&panel),
                              static_cast<QWidget *>(key(&panel, QStringLiteral("panelButton_A")))}) {
        QVERIFY(QMetaObject::invokeMethod(&panel, "saveFocusWidget", Q_ARG(QWidget *, nullptr),
                                          Q_ARG(QWidget *, newFocus)));
    }

    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(&panel, &activate);
    QTRY_COMPARE(QApplication::activeWindow(), &field.window);
    QCOMPARE(QApplication::focusWidget(), field.edit);
}

void TestKeyPanel::activationBeforeAnyFocusChangeActivatesNothing()
{
    FieldWindow field;
    QVERIFY(field.focus());
    InputPanelNumber panel; // created after the field took focus
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));

    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));

    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(&panel, &activate);
    QTest::qWait(50);
    QCOMPARE(QApplication::activeWindow(), &other);
}

void TestKeyPanel::destroyedFieldIsForgotten()
{
    InputPanelShift panel;
    panel.show();
    auto field = std::make_unique<FieldWindow>();
    QVERIFY(field->focus());
    field.reset();

    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));

    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(&panel, &activate);
    QTest::qWait(50);
    QCOMPARE(QApplication::activeWindow(), &other);
}

QTEST_MAIN(TestKeyPanel)
#include "tst_keypanel.moc"
