// The shell's pieces in a process of their own, for what only shows across processes:
//   appshellprobe fatal <text>   a fatal message through the log handler
//   appshellprobe hold <key>     claim the instance and wait; prints "claimed" or "refused"
//   appshellprobe lines <count>  that many lines through the log handler; prints the time per line
#include "messagehandler.h"
#include "singleinstance.h"

#include <QApplication>
#include <QElapsedTimer>

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
    if (qstrcmp(argv[1], "lines") == 0) {
        const int count = QByteArray(argv[2]).toInt();
        const QString line = QStringLiteral("CopyRecursivelyOverwrite: a line of a typical length for the log");
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i)
            messageHandler(QtDebugMsg, QMessageLogContext(), line);
        std::printf("%d lines, %.1f us per line\n", count, double(clock.nsecsElapsed()) / 1000.0 / qMax(count, 1));
        return 0;
    }
    SingleInstance instance(QString::fromLocal8Bit(argv[2]));
    const bool claimed = instance.claim() == SingleInstance::Claimed;
    std::printf("%s\n", claimed ? "claimed" : "refused");
    std::fflush(stdout);
    return claimed ? app.exec() : 1;
}
