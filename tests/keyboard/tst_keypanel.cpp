// The three key panels and ten accent bars: every key against the layout
// tables (place, label, character) and what it emits, presses beside the
// keys, hiding and closing, and keeping keyboard focus in the text field.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"
#include "keybar_a.h"
#include "keybar_a_small.h"
#include "keybar_e.h"
#include "keybar_e_small.h"
#include "keybar_i.h"
#include "keybar_i_small.h"
#include "keybar_o.h"
#include "keybar_o_small.h"
#include "keybar_u.h"
#include "keybar_u_small.h"
#include "signallog.h"

namespace {

struct Key
{
    QString name;
    QRect rect;
    QString label;
    QStringList atPress;
    QStringList atRelease;
};

struct WindowLayout
{
    QString className;
    QString form;
    QString title;
    QSize size;
    std::unique_ptr<QWidget> (*create)();
    QList<Key> keys;
    QList<QPoint> bare; // beside every key
};

template <class W>
std::unique_ptr<QWidget> make()
{
    return std::make_unique<W>();
}

Key characterKey(const QString &name, const QRect &rect, QChar c, bool reportsPress)
{
    return {name, rect, c == u' ' ? QString() : QString(c),
            reportsPress ? QStringList{SignalLog::describe("notifyKeyPressed", c.unicode())} : QStringList(),
            {SignalLog::describe("characterGenerated", c.unicode())}};
}

Key specialKey(const char *name, const QRect &rect, const char *label, const char *signal)
{
    return {name, rect, label, {}, signal ? QStringList{QString(signal) + "()"} : QStringList()};
}

// Typed from the layout tables, independently of the forms: 50x50 keys on a
// 60 pixel pitch, rows 2 and 3 indented by 40 and 60.
QList<Key> panelKeys(bool lower, bool number, const char *shiftSignal, const char *numberSignal)
{
    QList<Key> keys;
    const auto row = [&](int x, int y, const QString &chars, const QStringList &names) {
        for (int i = 0; i < chars.size(); ++i) {
            // Only the letter panels' vowels report going down: that starts press-and-hold.
            const bool vowel = !number && QStringLiteral("AEIOU").contains(chars.at(i));
            keys << characterKey("panelButton_" + (names.isEmpty() ? QString(chars.at(i)) : names.at(i)),
                                 QRect(x + 60 * i, y, 50, 50), lower ? chars.at(i).toLower() : chars.at(i), vowel);
        }
    };
    if (number) {
        row(0, 20, "1234567890", {});
        row(40, 80, "@#()=+-*/", {"at2", "hash", "bracketOpen", "bracketClose", "equal", "plus", "minus", "star", "slash"});
        row(60, 140, "!?$;:,.", {"exclamation", "question", "dollar", "semicolon", "colon", "comma2", "point2"});
    } else {
        row(0, 20, "QWERTZUIOP", {});
        row(40, 80, "ASDFGHJKL", {});
        row(60, 140, "YXCVBNM", {});
    }
    row(90, 200, "@", {"at"});
    keys << characterKey("panelButton_space", QRect(150, 200, 320, 50), u' ', false);
    row(480, 200, ".,", {"point", "comma"});
    keys << specialKey("shiftButton", {0, 140, 50, 50}, "Shift", shiftSignal)
         << specialKey("backspaceButton", {480, 140, 110, 50}, "<==", "notifyBackspacePressed")
         << specialKey("numberButton", {0, 200, 80, 50}, number ? "ABC" : "123", numberSignal)
         << specialKey("enterButton", {480, 288, 110, 60}, "Ok", "notifyEnterPressed")
         << specialKey("cancelButton", {630, 288, 80, 60}, "Cancel", "notifyCancelPressed");
    return keys;
}

const QList<WindowLayout> &windows()
{
    static const QList<WindowLayout> list = [] {
        // Between keys, margins, between rows, around Ok and Cancel.
        const QList<QPoint> panelBare = {{55, 45}, {20, 100}, {300, 75}, {300, 380}, {610, 318}, {715, 100}};
        QList<WindowLayout> layouts = {
            {"InputPanel", "InputPanelForm", "Input Panel", {720, 400}, make<InputPanel>,
             panelKeys(false, false, "notifyShiftPressed", "notifyNumberPressed"), panelBare},
            {"InputPanelShift", "InputPanelShiftForm", "Input Panel", {720, 400}, make<InputPanelShift>,
             panelKeys(true, false, "notifyUnShiftPressed", "notifyNumberPressed"), panelBare},
            {"InputPanelNumber", "InputPanelNumberForm", "Input Panel Number", {720, 400}, make<InputPanelNumber>,
             panelKeys(false, true, nullptr, "notifyAlphaPressed"), panelBare},
        };
        // Accent keys from position 2 on.
        const struct
        {
            const char *className;
            std::unique_ptr<QWidget> (*create)();
            QString accents;
        } bars[] = {
            {"KeyBar_A", make<KeyBar_A>, "ÄÂÁÀÃ"}, {"KeyBar_A_small", make<KeyBar_A_small>, "äâáàã"},
            {"KeyBar_E", make<KeyBar_E>, "ËÊÉÈ"},   {"KeyBar_E_small", make<KeyBar_E_small>, "ëêéè"},
            {"KeyBar_I", make<KeyBar_I>, "ÏÎÍÌ"},   {"KeyBar_I_small", make<KeyBar_I_small>, "ïîíì"},
            {"KeyBar_O", make<KeyBar_O>, "ÖÔÓÒÕ"}, {"KeyBar_O_small", make<KeyBar_O_small>, "öôóòõ"},
            {"KeyBar_U", make<KeyBar_U>, "ÜÛÚÙ"},   {"KeyBar_U_small", make<KeyBar_U_small>, "üûúù"},
        };
        for (const auto &bar : bars) {
            const QString name = QLatin1String(bar.className);
            const int width = 10 + 60 * bar.accents.size();
            QList<Key> keys;
            for (int i = 0; i < bar.accents.size(); ++i)
                keys << characterKey(QStringLiteral("panelButton_%1_%2").arg(name.at(7)).arg(i + 2),
                                     QRect(10 + 60 * i, 10, 50, 50), bar.accents.at(i), false);
            layouts.append({name, name + "_Form", name, {width, 70}, bar.create, keys,
                          {{5, 35}, {35, 5}, {65, 35}, {100, 65}, {width - 5, 35}}});
        }
        return layouts;
    }();
    return list;
}

const WindowLayout &layoutOf(const QString &className)
{
    for (const WindowLayout &w : windows()) {
        if (w.className == className)
            return w;
    }
    qFatal("unknown window %s", qPrintable(className));
}

// A stand-in for the password prompt: a window of its own with a line edit.
struct FieldWindow
{
    QWidget window;
    QLineEdit *edit = new QLineEdit(&window);

    bool focus()
    {
        window.show();
        window.activateWindow();
        edit->setFocus();
        return QTest::qWaitForWindowActive(&window) && edit->hasFocus();
    }
};

// Another window takes activation.
bool activate(QWidget &other)
{
    other.show();
    other.activateWindow();
    return QTest::qWaitForWindowActive(&other);
}

} // namespace

class TestKeyPanel : public QObject
{
    Q_OBJECT

private slots:
    void window_data();
    void window();
    void key_data();
    void key();
    void keysNeverTakeFocusAndActivationReturns();
    void activationSkipsTheKeyboardAndGoneFields();
};

void TestKeyPanel::window_data()
{
    QTest::addColumn<QString>("className");
    for (const WindowLayout &w : windows())
        QTest::newRow(qPrintable(w.className)) << w.className;
}

void TestKeyPanel::window()
{
    QFETCH(QString, className);
    const WindowLayout &w = layoutOf(className);
    const auto widget = w.create();

    QCOMPARE(widget->objectName(), w.form);
    QCOMPARE(widget->windowTitle(), w.title);
    QCOMPARE(widget->size(), w.size);
    QVERIFY(!widget->parentWidget());
    QVERIFY(widget->isHidden());
    const Qt::WindowFlags flags = widget->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowDoesNotAcceptFocus));

    // Only keys, each once.
    QStringList children, expected;
    for (QWidget *child : widget->findChildren<QWidget *>()) {
        QVERIFY(qobject_cast<QPushButton *>(child));
        children << child->objectName();
    }
    for (const Key &k : w.keys)
        expected << k.name;
    children.sort();
    expected.sort();
    QCOMPARE(children, expected);

    // A bar reports no hiding, closing or press beside its keys.
    const bool panel = qobject_cast<KeyPanel *>(widget.get());
    SignalLog log(widget.get());
    widget->show();
    widget->hide();
    QCOMPARE(log.take(), panel ? QStringList{"notifyHideEvent()"} : QStringList());
    widget->show();
    QVERIFY(widget->close());
    QVERIFY(widget->isHidden());
    QStringList emitted = log.take();
    emitted.sort();
    QCOMPARE(emitted, panel ? QStringList({"notifyCloseEvent()", "notifyHideEvent()"}) : QStringList());

    // Through the window, as a touch arrives, so the press finds its own target.
    widget->move(0, 0);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    for (const QPoint &point : w.bare) {
        QCOMPARE(widget->childAt(point), nullptr);
        QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, point);
        QCOMPARE(log.take(), panel ? QStringList{"notifyOutsidePressed()"} : QStringList());
        QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, point);
        QCOMPARE(log.take(), QStringList());
    }
    // A press on a key is the key's.
    const Key &first = w.keys.first();
    QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, first.rect.center());
    QCOMPARE(log.take(), first.atPress);
    QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, first.rect.center());
    QCOMPARE(log.take(), first.atRelease);
}

void TestKeyPanel::key_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("atPress");
    QTest::addColumn<QStringList>("atRelease");
    for (const WindowLayout &w : windows()) {
        for (const Key &k : w.keys) {
            QTest::addRow("%s/%s", qPrintable(w.className), qPrintable(k.name))
                << w.className << k.name << k.rect << k.label << k.atPress << k.atRelease;
        }
    }
}

// The character comes on release only, and not when the release lands off the key.
void TestKeyPanel::key()
{
    QFETCH(QString, className);
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, label);
    QFETCH(QStringList, atPress);
    QFETCH(QStringList, atRelease);

    const auto widget = layoutOf(className).create();
    QPushButton *button = widget->findChild<QPushButton *>(name);
    QVERIFY(button);
    QCOMPARE(button->parentWidget(), widget.get());
    QCOMPARE(button->geometry(), geometry);
    QCOMPARE(button->text(), label);
    QCOMPARE(button->font().family(), QStringLiteral("Arial"));
    QCOMPARE(button->font().pointSize(), 12);
    QCOMPARE(button->focusPolicy(), Qt::NoFocus);
    QVERIFY(!button->autoRepeat());
    QVERIFY(!button->isCheckable());
    const QVariant value = button->property("buttonValue");
    if (atRelease.value(0).startsWith("characterGenerated"))
        QCOMPARE(value.userType(), int(QMetaType::QChar));
    else
        QVERIFY2(!value.isValid(), "a special key carries no character");

    widget->show();
    SignalLog log(widget.get());
    QTest::mousePress(button, Qt::LeftButton);
    QCOMPARE(log.take(), atPress);
    QTest::mouseRelease(button, Qt::LeftButton);
    QCOMPARE(log.take(), atRelease);

    QTest::mousePress(button, Qt::LeftButton);
    QCOMPARE(log.take(), atPress);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-10, button->height() / 2));
    QCOMPARE(log.take(), QStringList());
}

void TestKeyPanel::keysNeverTakeFocusAndActivationReturns()
{
    // As in the application, the windows exist before the field takes focus.
    std::vector<std::unique_ptr<QWidget>> widgets;
    for (const WindowLayout &w : windows())
        widgets.push_back(w.create());
    FieldWindow field;
    QVERIFY(field.focus());
    QWidget other;

    for (const auto &widget : widgets) {
        widget->move(0, 80);
        widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
        // Should the window system activate the window on showing it, it
        // hands activation back to the field.
        QTRY_COMPARE(QApplication::activeWindow(), &field.window);

        SignalLog log(widget.get());
        int answering = 0;
        for (const Key &k : layoutOf(widget->metaObject()->className()).keys) {
            QTest::mouseClick(widget->windowHandle(), Qt::LeftButton, {}, k.rect.center());
            QVERIFY2(QApplication::focusWidget() == field.edit, qPrintable(k.name));
            answering += k.atRelease.size();
        }
        QCOMPARE(log.take().filter(QRegularExpression("^(characterGenerated|notify(?!KeyPressed))")).size(), answering);
        QCOMPARE(QApplication::activeWindow(), &field.window);

        // Another window takes activation; this one hands it back.
        QVERIFY(activate(other));
        QEvent activation(QEvent::WindowActivate);
        QCoreApplication::sendEvent(widget.get(), &activation);
        QTRY_COMPARE(QApplication::activeWindow(), &field.window);
        QCOMPARE(QApplication::focusWidget(), field.edit);
        widget->hide();
    }
}

// Activation never goes to the keyboard itself or to a field that has gone,
// and nowhere before any field had focus.
void TestKeyPanel::activationSkipsTheKeyboardAndGoneFields()
{
    QEvent activation(QEvent::WindowActivate);
    QWidget other;
    {
        FieldWindow early;
        QVERIFY(early.focus());
        InputPanelNumber late;
        late.show();
        QVERIFY(activate(other));
        QCoreApplication::sendEvent(&late, &activation);
        QTest::qWait(50);
        QCOMPARE(QApplication::activeWindow(), &other);
    }

    InputPanel panel;
    panel.show();
    auto field = std::make_unique<FieldWindow>();
    QVERIFY(field->focus());
    QVERIFY(activate(other));
    QCOMPARE(QApplication::focusWidget(), nullptr);
    for (QWidget *newFocus : {static_cast<QWidget *>(&panel),
                              static_cast<QWidget *>(panel.findChild<QPushButton *>("panelButton_A"))}) {
        QVERIFY(QMetaObject::invokeMethod(&panel, "saveFocusWidget", Q_ARG(QWidget *, nullptr),
                                          Q_ARG(QWidget *, newFocus)));
    }
    QCoreApplication::sendEvent(&panel, &activation);
    QTRY_COMPARE(QApplication::activeWindow(), &field->window);
    QCOMPARE(QApplication::focusWidget(), field->edit);

    field.reset();
    QVERIFY(activate(other));
    QCoreApplication::sendEvent(&panel, &activation);
    QTest::qWait(50);
    QCOMPARE(QApplication::activeWindow(), &other);
}

QTEST_MAIN(TestKeyPanel)
#include "tst_keypanel.moc"
