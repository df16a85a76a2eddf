#include "devicefont.h"
#include "fileinstaller.h"
#include "inputpanelcontext.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "messagehandler.h"
#include "singleinstance.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);

    // Before the log handler: a refused second start must leave no trace on the stick.
    SingleInstance instance(SingleInstance::lockKey());
    QString lockError;
    switch (instance.claim(&lockError)) {
    case SingleInstance::Claimed:
        break;
    case SingleInstance::Held:
        instance.activateRunningInstance();
        return 0;
    case SingleInstance::Unavailable:
        // Without the lock we cannot know that we are alone on the device,
        // and two runs would install over each other: better none.
        if (instance.activateRunningInstance())
            return 0;
        std::fprintf(stderr, "zentavo-installer: single-instance lock not available: %s\n",
                     qPrintable(lockError));
        return 1;
    }
    QObject::connect(&instance, &SingleInstance::notifyActivationRequested,
                     &SingleInstance::activateVisibleWindow);

    qInstallMessageHandler(messageHandler);
    DeviceFont::apply();

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager viewManager(nullptr, &view, &installer);

    QObject::connect(&view, &InstallerView::NotifyButton1Clicked, &viewManager,
                     &InstallerViewManager::onButton1Clicked);
    QObject::connect(&view, &InstallerView::NotifyButton2Clicked, &viewManager,
                     &InstallerViewManager::onButton2Clicked);
    QObject::connect(&installer, &FileInstaller::notifyStickRemoved, &viewManager,
                     &InstallerViewManager::onStickRemoved);

    // The application object owns the keyboard from here on.
    InputPanelContext* context = new InputPanelContext(&viewManager);
    context->setParent(&app);
    app.installEventFilter(context);

    QTimer::singleShot(0, &viewManager, &InstallerViewManager::onStartup);

    const int result = app.exec();
    // Automatic objects go in reverse order of creation: controller, installer,
    // window, then the application object with the keyboard.
    return result;
}
