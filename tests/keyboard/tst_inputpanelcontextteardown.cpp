// The updater's own ending: the application object owns the context, the
// keyboard is up, and the event loop ends. The process must end cleanly, with
// every keyboard window gone before the application object goes.

#include "contexttestsupport.h"

#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QTemporaryDir device;
    qputenv("ZENTAVO_DEVICE_ROOT", device.path().toLocal8Bit());
    QApplication app(argc, argv);

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager(nullptr, &view, &installer);
    InputPanelContext* context = new InputPanelContext(&manager);
    context->setParent(&app);
    app.installEventFilter(context);
    context->setPressAndHoldInterval(10);

    FieldWindow fields;
    if (!fields.showAndFocus()) {
        std::fprintf(stderr, "the field did not get focus\n");
        return 1;
    }
    QTest::mouseClick(fields.field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QPushButton* key = keyOf(currentPanel(), "panelButton_A");
    QTest::mousePress(key, Qt::LeftButton);
    QTest::qWait(100);
    if (visiblePanels() != QLatin1String("upper") || visibleBars() != QLatin1String("KeyBar_A")) {
        std::fprintf(stderr, "keyboard not up: panels %s, bars %s\n", qPrintable(visiblePanels()),
                     qPrintable(visibleBars()));
        return 1;
    }

    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    const int result = app.exec();

    int keyboardWindows = 0;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (qobject_cast<KeyWindow*>(window))
            ++keyboardWindows;
    }
    if (keyboardWindows != 0) {
        std::fprintf(stderr, "%d keyboard windows outlived the event loop\n", keyboardWindows);
        return 1;
    }
    // A key event after the loop finds an inert context, not a deleted panel.
    QEvent request(QEvent::RequestSoftwareInputPanel);
    if (context->filterEvent(&request)) {
        std::fprintf(stderr, "the context still handles requests\n");
        return 1;
    }
    return result;
}
