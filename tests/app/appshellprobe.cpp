// The shell's pieces in a process of their own, for what only shows across processes:
//   appshellprobe fatal <text>   a fatal message through the log handler
//   appshellprobe hold <key>     claim the instance and wait; prints "claimed" or "refused"
#include "messagehandler.h"
#include "singleinstance.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    if (qstrcmp(argv[1], "fatal") == 0) {
        qInstallMessageHandler(messageHandler);
        qFatal("%s", argv[2]);
    }
    SingleInstance instance(QString::fromLocal8Bit(argv[2]));
    const bool claimed = instance.claim() == SingleInstance::Claimed;
    std::printf("%s\n", claimed ? "claimed" : "refused");
    std::fflush(stdout);
    return claimed ? app.exec() : 1;
}
