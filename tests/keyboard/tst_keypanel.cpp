// The three key panels and ten accent bars: every key against the layout
// (place, label, character) and what it emits, presses beside the keys, and
// keeping keyboard focus in the text field.

#include <QApplication>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

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

namespace {

// Every signal a window declares above QWidget, as text such as
// "characterGenerated(A)", so that a case can demand exactly one signal.
class SignalLog
{
public:
    explicit SignalLog(QObject *window)
    {
        const QMetaObject *meta = window->metaObject();
        for (int i = QWidget::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (method.methodType() == QMetaMethod::Signal)
                spies.emplace_back(QString::fromLatin1(method.name()),
                                   std::make_unique<QSignalSpy>(window, QByteArray("2") + method.methodSignature()));
        }
    }

    QStringList take()
    {
        QStringList emitted;
        for (auto &[name, spy] : spies) {
            for (const QList<QVariant> &args : *spy)
                emitted << name + '(' + (args.isEmpty() ? QString() : QString(args.first().toChar())) + ')';
            spy->clear();
        }
        return emitted;
    }

private:
    std::vector<std::pair<QString, std::unique_ptr<QSignalSpy>>> spies;
};

struct Window
{
    std::unique_ptr<QWidget> (*create)();
    const char *title;
    QString characters; // in reading order
    const char *shiftSignal = nullptr;
    const char *numberSignal = nullptr;
};

template <class W>
std::unique_ptr<QWidget> make()
{
    return std::make_unique<W>();
}

const QString letters = QStringLiteral("QWERTZUIOPASDFGHJKLYXCVBNM@ .,");
const Window windows[] = {
    {make<InputPanel>, "Input Panel", letters, "notifyShiftPressed", "notifyNumberPressed"},
    {make<InputPanelShift>, "Input Panel", letters.toLower(), "notifyUnShiftPressed", "notifyNumberPressed"},
    {make<InputPanelNumber>, "Input Panel Number", "1234567890@#()=+-*/!?$;:,.@ .,", nullptr, "notifyAlphaPressed"},
    {make<KeyBar_A>, "KeyBar_A", "ÄÂÁÀÃ"}, {make<KeyBar_A_small>, "KeyBar_A_small", "äâáàã"},
    {make<KeyBar_E>, "KeyBar_E", "ËÊÉÈ"},   {make<KeyBar_E_small>, "KeyBar_E_small", "ëêéè"},
    {make<KeyBar_I>, "KeyBar_I", "ÏÎÍÌ"},   {make<KeyBar_I_small>, "KeyBar_I_small", "ïîíì"},
    {make<KeyBar_O>, "KeyBar_O", "ÖÔÓÒÕ"}, {make<KeyBar_O_small>, "KeyBar_O_small", "öôóòõ"},
    {make<KeyBar_U>, "KeyBar_U", "ÜÛÚÙ"},   {make<KeyBar_U_small>, "KeyBar_U_small", "üûúù"},
};

// 50x50 keys on a 60 pixel pitch; on the panels rows 2 and 3 are indented by
// 40 and 60, and the bottom row has a wide space bar.
QList<QRect> characterRects(bool panel, int count)
{
    const QList<std::array<int, 3>> rows = panel ? QList<std::array<int, 3>>{{0, 20, 10}, {40, 80, 9}, {60, 140, 7}, {90, 200, 1}, {150, 200, 1}, {480, 200, 2}}
                                                 : QList<std::array<int, 3>>{{10, 10, count}};
    QList<QRect> rects;
    for (const auto &[x, y, n] : rows) {
        for (int i = 0; i < n; ++i)
            rects << QRect(x + 60 * i, y, 50, 50);
    }
    if (panel)
        rects[27].setWidth(320);
    return rects;
}

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
    void layout_data();
    void layout();
};

void TestKeyPanel::layout_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(std::size(windows)); ++i)
        QTest::addRow("%s%s", windows[i].title, i == 1 ? " small" : "") << i;
}

// Presses go through the window, as a touch arrives, so each finds its own
// target. The character comes on release only, and not when the release
// lands off the key. As in the application, the window exists before the
// field takes focus, and neither its keys nor its activation take it away.
void TestKeyPanel::layout()
{
    QFETCH(int, index);
    const Window &w = windows[index];
    const auto widget = w.create();
    auto owner = std::make_unique<FieldWindow>();
    FieldWindow &field = *owner;
    QVERIFY(field.focus());
    const bool panel = qobject_cast<KeyPanel *>(widget.get());

    QCOMPARE(widget->windowTitle(), QString::fromUtf8(w.title));
    QCOMPARE(widget->size(), panel ? QSize(720, 400) : QSize(10 + 60 * w.characters.size(), 70));
    QVERIFY(!widget->parentWidget());
    QCOMPARE(widget->windowType(), Qt::Tool);
    const Qt::WindowFlags hints = Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus;
    QCOMPARE(widget->windowFlags() & hints, hints);

    QList<QPushButton *> keys = widget->findChildren<QPushButton *>();
    QCOMPARE(keys.size(), widget->findChildren<QWidget *>().size());
    std::sort(keys.begin(), keys.end(), [](QPushButton *a, QPushButton *b) {
        return std::make_pair(a->y(), a->x()) < std::make_pair(b->y(), b->x());
    });
    const struct
    {
        QString label;
        QRect rect;
        const char *signal;
    } specials[] = {
        {"Shift", {0, 140, 50, 50}, w.shiftSignal},
        {"<==", {480, 140, 110, 50}, "notifyBackspacePressed"},
        {w.shiftSignal ? "123" : "ABC", {0, 200, 80, 50}, w.numberSignal},
        {"Ok", {480, 288, 110, 60}, "notifyEnterPressed"},
        {"Cancel", {630, 288, 80, 60}, "notifyCancelPressed"},
    };

    widget->move(0, 0);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    QTRY_COMPARE(QApplication::activeWindow(), &field.window);
    SignalLog log(widget.get());
    QString typed;
    QList<QRect> rects;
    std::size_t special = 0;
    for (QPushButton *key : keys) {
        QCOMPARE(key->font().family(), QStringLiteral("Arial"));
        QCOMPARE(key->font().pointSize(), 12);
        QCOMPARE(key->focusPolicy(), Qt::NoFocus);
        QVERIFY(!key->autoRepeat() && !key->isCheckable());
        QStringList atPress, atRelease;
        const QVariant value = key->property("buttonValue");
        if (value.isValid()) {
            QCOMPARE(value.userType(), int(QMetaType::QChar));
            const QChar c = value.toChar();
            typed += c;
            rects << key->geometry();
            QCOMPARE(key->text(), c == u' ' ? QString() : QString(c));
            // Only the letter panels' vowels report going down: that starts press-and-hold.
            if (panel && QStringLiteral("AEIOUaeiou").contains(c))
                atPress << QStringLiteral("notifyKeyPressed(%1)").arg(c);
            atRelease << QStringLiteral("characterGenerated(%1)").arg(c);
        } else {
            QVERIFY2(special < std::size(specials), qPrintable(key->text()));
            QCOMPARE(key->text(), specials[special].label);
            QCOMPARE(key->geometry(), specials[special].rect);
            if (specials[special].signal)
                atRelease << QString::fromLatin1(specials[special].signal) + "()";
            ++special;
        }
        const QPoint center = key->geometry().center();
        QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, center);
        QCOMPARE(log.take(), atPress);
        QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, center);
        QCOMPARE(log.take(), atRelease);
        // Released in the gap below the key.
        QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, center);
        QCOMPARE(log.take(), atPress);
        QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, QPoint(center.x(), key->geometry().bottom() + 5));
        QCOMPARE(log.take(), QStringList());
        QCOMPARE(QApplication::focusWidget(), field.edit);
    }
    QCOMPARE(typed, w.characters);
    QCOMPARE(rects, characterRects(panel, w.characters.size()));
    QCOMPARE(special, panel ? std::size(specials) : 0);

    // Between keys, in the margins, between rows, around Ok and Cancel; a bar
    // reports nothing.
    const QList<QPoint> bare = panel ? QList<QPoint>{{55, 45}, {20, 100}, {300, 75}, {300, 380}, {610, 318}, {715, 100}}
                                     : QList<QPoint>{{5, 35}, {35, 5}, {widget->width() - 5, 35}};
    for (const QPoint &point : bare) {
        QCOMPARE(widget->childAt(point), nullptr);
        QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, point);
        QCOMPARE(log.take(), panel ? QStringList{"notifyOutsidePressed()"} : QStringList());
        QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, point);
        QCOMPARE(log.take(), QStringList());
    }

    // Another window takes activation; this one hands it back, never to
    // itself or its keys, nor to a field that has gone.
    QWidget other;
    QVERIFY(activate(other));
    for (QWidget *newFocus : {widget.get(), static_cast<QWidget *>(keys.first())})
        QVERIFY(QMetaObject::invokeMethod(widget.get(), "saveFocusWidget", Q_ARG(QWidget *, nullptr), Q_ARG(QWidget *, newFocus)));
    QEvent activation(QEvent::WindowActivate);
    QCoreApplication::sendEvent(widget.get(), &activation);
    QTRY_COMPARE(QApplication::activeWindow(), &field.window);
    QCOMPARE(QApplication::focusWidget(), field.edit);
    owner.reset();
    QVERIFY(activate(other));
    QCoreApplication::sendEvent(widget.get(), &activation);
    QTest::qWait(20);
    QCOMPARE(QApplication::activeWindow(), &other);
}

QTEST_MAIN(TestKeyPanel)
#include "tst_keypanel.moc"
