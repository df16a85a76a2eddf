// Times 1,000 taps (QTest press + release) on the upper-case panel, offscreen:
//   panel            - the keys' own press/release handling up to
//                      characterGenerated, nothing else listening
//   context          - the taps routed through the panel's window, as a touch
//                      arrives, and typed into a focused QLineEdit by the input
//                      context installed as the application's event filter,
//                      as the updater runs it
//   without filter   - the same with the filter removed, so that the
//                      difference is what the filter costs on every event
// Prints the median of several runs per case, and checks that every tap
// produced exactly one character.

#include "fileinstaller.h"
#include "inputpanel.h"
#include "inputpanelcontext.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Taps = 1000;
constexpr int Runs = 7;

// Character keys only: the special keys switch panels.
QList<QPushButton*> characterKeys(QWidget* panel)
{
    QList<QPushButton*> keys;
    for (QPushButton* key : panel->findChildren<QPushButton*>()) {
        if (key->property("buttonValue").isValid())
            keys.append(key);
    }
    return keys;
}

double timeTaps(const QList<QPushButton*>& keys, bool throughWindow)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Taps; ++i) {
        QPushButton* key = keys.at(i % keys.size());
        if (throughWindow) {
            const QPoint centre = key->geometry().center();
            QTest::mousePress(key->window()->windowHandle(), Qt::LeftButton, {}, centre);
            QTest::mouseRelease(key->window()->windowHandle(), Qt::LeftButton, {}, centre);
        } else {
            QTest::mousePress(key, Qt::LeftButton);
            QTest::mouseRelease(key, Qt::LeftButton);
        }
    }
    return timer.nsecsElapsed() / 1e6;
}

// Runs a case Runs times; false when a run did not produce Taps characters.
bool report(const char* name, const std::function<double()>& run, const std::function<bool()>& typedAll)
{
    std::vector<double> times;
    for (int i = 0; i < Runs; ++i) {
        times.push_back(run());
        if (!typedAll()) {
            std::fprintf(stderr, "%s: run %d did not produce %d characters\n", name, i, Taps);
            return false;
        }
    }
    std::sort(times.begin(), times.end());
    const double ms = times[times.size() / 2];
    std::printf("  %-16s %8.1f ms per 1,000 taps  (%.1f us per tap)\n", name, ms, ms);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // An empty device: no settings database, so no prompt of the controller's own.
    QTemporaryDir device;
    qputenv("ZENTAVO_DEVICE_ROOT", device.path().toLocal8Bit());
    QApplication app(argc, argv);
    std::printf("  %d taps per run, median of %d runs, Qt %s, platform %s\n", Taps, Runs, qVersion(),
                qPrintable(QGuiApplication::platformName()));

    {
        InputPanel panel;
        const QList<QPushButton*> keys = characterKeys(&panel);
        int generated = 0;
        QObject::connect(&panel, &InputPanel::characterGenerated, [&generated](QChar) { ++generated; });
        auto run = [&] { generated = 0; return timeTaps(keys, false); };
        if (!report("panel", run, [&] { return generated == Taps; }))
            return 1;
    }

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager(nullptr, &view, &installer);
    InputPanelContext* context = new InputPanelContext(&manager);
    context->setParent(&app);
    app.installEventFilter(context);

    QWidget window;
    window.setGeometry(0, 0, 800, 480);
    QLineEdit* field = new QLineEdit(&window);
    field->setGeometry(60, 60, 590, 40);
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return 1;
    field->setFocus();
    // The tap on the field brings the keyboard up, through the filter.
    QTest::mouseClick(field, Qt::LeftButton, {}, QPoint(20, 20));

    InputPanel* panel = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if ((panel = qobject_cast<InputPanel*>(widget)) && panel->isVisible())
            break;
        panel = nullptr;
    }
    if (!panel || !QTest::qWaitForWindowExposed(panel)) {
        std::fprintf(stderr, "the upper-case panel did not come up\n");
        return 1;
    }
    const QList<QPushButton*> keys = characterKeys(panel);
    auto run = [&] { field->clear(); return timeTaps(keys, true); };
    auto typedAll = [&] { return field->text().size() == Taps && QApplication::focusWidget() == field; };
    if (!report("context", run, typedAll))
        return 1;
    app.removeEventFilter(context);
    if (!report("without filter", run, typedAll))
        return 1;

    // End as the updater does, through the event loop, which releases the keyboard.
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
