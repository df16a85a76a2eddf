// Times 1,000 taps (press + release) on the upper-case panel, offscreen:
//   panel      - the key's own press/release handling up to characterGenerated
//   window     - the same taps routed through the panel's window, as a touch
//                arrives, so the tap also finds its key
//   field      - window routing plus delivery of each character to a focused
//                QLineEdit as two key presses, the way the keyboard types;
//                the field ends up 1,000 characters long
//   field16    - the same, the field emptied whenever it holds 16 characters,
//                as long as a password gets
// Prints the median of several runs per case.

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "inputpanel.h"

namespace {

constexpr int Taps = 1000;
constexpr int Runs = 7;

enum class Route { Key, Window };

double timeTaps(InputPanel &panel, const QList<QPushButton *> &keys, Route route)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Taps; ++i) {
        QPushButton *key = keys.at(i % keys.size());
        if (route == Route::Key) {
            QTest::mousePress(key, Qt::LeftButton);
            QTest::mouseRelease(key, Qt::LeftButton);
        } else {
            const QPoint centre = key->geometry().center();
            QTest::mousePress(panel.windowHandle(), Qt::LeftButton, {}, centre);
            QTest::mouseRelease(panel.windowHandle(), Qt::LeftButton, {}, centre);
        }
    }
    return timer.nsecsElapsed() / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // As in the updater, the panel exists before the field takes focus.
    InputPanel panel;

    QWidget fieldWindow;
    auto *edit = new QLineEdit(&fieldWindow);
    (new QVBoxLayout(&fieldWindow))->addWidget(edit);
    fieldWindow.show();
    fieldWindow.activateWindow();
    edit->setFocus();
    if (!QTest::qWaitForWindowActive(&fieldWindow) || !edit->hasFocus()) {
        std::fprintf(stderr, "the line edit did not get focus\n");
        return 1;
    }

    panel.move(0, 80);
    panel.show();
    if (!QTest::qWaitForWindowExposed(&panel))
        return 1;
    // A window system that activates the panel on showing gets activation
    // handed back to the field by the panel.
    if (!QTest::qWaitFor([&] { return QApplication::activeWindow() == &fieldWindow; }) || !edit->hasFocus()) {
        std::fprintf(stderr, "the line edit lost focus to the panel\n");
        return 1;
    }

    // Character keys only: the special keys switch panels in the real keyboard.
    QList<QPushButton *> keys;
    for (QPushButton *key : panel.findChildren<QPushButton *>()) {
        if (key->property("buttonValue").isValid())
            keys << key;
    }

    int generated = 0;
    QObject::connect(&panel, &InputPanel::characterGenerated, [&generated](QChar) { ++generated; });

    struct Case
    {
        const char *name;
        Route route;
        bool typeIntoField;
        int clearAt; // empty the field when it holds this many characters; 0: never
    };
    const Case cases[] = {
        {"panel", Route::Key, false, 0},
        {"window", Route::Window, false, 0},
        {"field", Route::Window, true, 0},
        {"field16", Route::Window, true, 16},
    };

    std::printf("%d taps per run, median of %d runs, Qt %s, platform %s\n", Taps, Runs, qVersion(),
                qPrintable(QGuiApplication::platformName()));
    for (const Case &c : cases) {
        QMetaObject::Connection typing;
        if (c.typeIntoField) {
            typing = QObject::connect(&panel, &InputPanel::characterGenerated, [edit, &c](QChar character) {
                if (c.clearAt && edit->text().size() >= c.clearAt)
                    edit->clear();
                QWidget *target = QApplication::focusWidget();
                if (!target)
                    return;
                QKeyEvent withText(QEvent::KeyPress, character.unicode(), Qt::NoModifier, QString(character));
                QCoreApplication::sendEvent(target, &withText);
                QKeyEvent empty(QEvent::KeyPress, character.unicode(), Qt::NoModifier, QString());
                QCoreApplication::sendEvent(target, &empty);
            });
        }
        std::vector<double> runs;
        for (int run = 0; run < Runs; ++run) {
            edit->clear();
            generated = 0;
            runs.push_back(timeTaps(panel, keys, c.route));
            const int expectedLength = !c.typeIntoField ? 0 : c.clearAt ? (Taps - 1) % c.clearAt + 1 : Taps;
            if (generated != Taps || edit->text().size() != expectedLength || !edit->hasFocus()) {
                std::fprintf(stderr, "%s: %d characters, field holds %d, focus %s\n", c.name, generated,
                             int(edit->text().size()), edit->hasFocus() ? "kept" : "lost");
                return 1;
            }
        }
        const double ms = median(runs);
        std::printf("%-7s %8.2f ms per %d taps  %7.2f us per tap  (min %.2f ms, max %.2f ms)\n", c.name, ms, Taps,
                    ms * 1000.0 / Taps, *std::min_element(runs.begin(), runs.end()),
                    *std::max_element(runs.begin(), runs.end()));
        QObject::disconnect(typing);
    }
    return 0;
}
