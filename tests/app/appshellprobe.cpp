// Drives the application shell's pieces in a process of its own, for what
// only shows across processes:
//   appshellprobe fatal <text>   a fatal message through the log handler
//   appshellprobe hold <key>     claim the instance and wait; prints "claimed" or "refused"
#include "messagehandler.h"
#include "singleinstance.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3)
        return 2;
    if (arguments.at(1) == QLatin1String("fatal")) {
        qInstallMessageHandler(messageHandler);
        qFatal("%s", qPrintable(arguments.at(2)));
    }
    SingleInstance instance(arguments.at(2));
    const bool claimed = instance.claim();
    std::printf("%s\n", claimed ? "claimed" : "refused");
    std::fflush(stdout);
    return claimed ? app.exec() : 1;
}
