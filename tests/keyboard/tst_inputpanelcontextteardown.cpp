// The updater's own ending: the application object owns the context, the
// keyboard is up, and the event loop ends. The process must end cleanly, with
// every keyboard window gone before the application object goes.

#include "contexttestsupport.h"

#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

// A failure may return with the keyboard still up. Its windows go here, while
// the application is whole: in the application's destructor they would crash
// the process instead of letting it end with the message.
static int fail(InputPanelContext* context, const QString& message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
    delete context;
    return 1;
}

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
    if (!fields.showAndFocus())
        return fail(context, QStringLiteral("the field did not get focus"));
    QTest::mouseClick(fields.field, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QTest::mousePress(keyOf(currentPanel(), "panelButton_A"), Qt::LeftButton);
    // The bar opens after the (shortened) hold; an emulated or busy machine takes its time.
    (void)QTest::qWaitFor([] { return visibleBars() == QLatin1String("KeyBar_A"); }, 10000);
    if (visiblePanels() != QLatin1String("InputPanel") || visibleBars() != QLatin1String("KeyBar_A"))
        return fail(context, QStringLiteral("keyboard not up: panels %1, bars %2").arg(visiblePanels(), visibleBars()));

    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    const int result = app.exec();

    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->inherits("KeyWindow"))
            return fail(context, QStringLiteral("keyboard windows outlived the event loop"));
    }
    // A key event after the loop finds an inert context, not a deleted panel.
    QEvent request(QEvent::RequestSoftwareInputPanel);
    if (context->filterEvent(&request))
        return fail(context, QStringLiteral("the context still handles requests"));
    return result;
}
