// Drives the application shell's pieces in a process of its own, for the
// behaviours that only show across processes: appends of separate runs, a
// fatal message, and the single-instance guard against a live or killed owner.
//
//   appshellprobe log <text>      one message before and one after installing the log handler
//   appshellprobe fatal <text>    a fatal message through the log handler
//   appshellprobe hold <key>      claim the instance and wait; prints "claimed" or "refused",
//                                 then "activated" for each activation request
//   appshellprobe second <key>    what main does: claim, or ask the holder and leave with 0
#include "messagehandler.h"
#include "singleinstance.h"

#include <QApplication>
#include <QDebug>
#include <QWidget>

#include <cstdio>

namespace {

void say(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3)
        return 2;
    const QString mode = arguments.at(1);
    const QString text = arguments.at(2);

    if (mode == QLatin1String("log")) {
        qDebug().noquote() << "before the handler:" << text;
        qInstallMessageHandler(messageHandler);
        qDebug().noquote() << text;
        return 0;
    }
    if (mode == QLatin1String("fatal")) {
        qInstallMessageHandler(messageHandler);
        qFatal("%s", qPrintable(text));
        return 0;
    }

    SingleInstance instance(text);
    if (mode == QLatin1String("second")) {
        if (!instance.claim()) {
            instance.activateRunningInstance();
            return 0;
        }
        say("claimed");
        return 3;
    }
    if (mode == QLatin1String("hold")) {
        if (!instance.claim()) {
            say("refused");
            return 1;
        }
        QWidget window;
        window.show();
        QObject::connect(&instance, &SingleInstance::notifyActivationRequested, [] { say("activated"); });
        say("claimed");
        return app.exec();
    }
    return 2;
}
