// Times 1,000 taps (QTest press + release, routed through the panel's window
// as a touch arrives) on the upper-case panel, typed into a focused QLineEdit
// through the input context, offscreen:
//   context          - the context installed as the application's event
//                      filter, as the updater runs it
//   without filter   - the same taps with the filter removed, so that the
//                      difference is what the filter costs on every event
// Prints the median of several runs per case, and checks that every tap
// typed exactly one character.

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
#include <vector>

namespace {

constexpr int Taps = 1000;
constexpr int Runs = 7;

double timeTaps(QWidget* panel, const QList<QPushButton*>& keys)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Taps; ++i) {
        const QPoint centre = keys.at(i % keys.size())->geometry().center();
        QTest::mousePress(panel->windowHandle(), Qt::LeftButton, {}, centre);
        QTest::mouseRelease(panel->windowHandle(), Qt::LeftButton, {}, centre);
    }
    return timer.nsecsElapsed() / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    QList<QPushButton*> keys;
    for (QPushButton* key : panel->findChildren<QPushButton*>()) {
        if (key->property("buttonValue").isValid())
            keys.append(key);
    }

    std::printf("  %d character keys, %d taps per run, median of %d runs\n", int(keys.size()), Taps, Runs);
    for (bool filtered : { true, false }) {
        if (!filtered)
            app.removeEventFilter(context);
        std::vector<double> times;
        for (int run = 0; run < Runs; ++run) {
            field->clear();
            times.push_back(timeTaps(panel, keys));
            if (field->text().size() != Taps || QApplication::focusWidget() != field) {
                std::fprintf(stderr, "run %d typed %d characters, expected %d\n", run, int(field->text().size()),
                             Taps);
                return 1;
            }
        }
        const double ms = median(times);
        std::printf("  %-16s %8.1f ms per 1,000 taps  (%.1f us per tap)\n",
                    filtered ? "context" : "without filter", ms, ms);
    }
    // End as the updater does, through the event loop, which releases the keyboard.
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
