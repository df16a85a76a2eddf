// Runs one FileInstaller::install() on the device tree below
// $ZENTAVO_DEVICE_ROOT and prints how long it took.
#include "fileinstaller.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&)
{
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("ZENTAVO_DEVICE_ROOT")) {
        std::fprintf(stderr, "installbench: set ZENTAVO_DEVICE_ROOT to the simulated device\n");
        return 2;
    }
    // The per-file log lines are not part of what is measured.
    qInstallMessageHandler(dropMessage);

    FileInstaller installer;
    QElapsedTimer timer;
    timer.start();
    const bool status = installer.install();
    const qint64 elapsed = timer.nsecsElapsed();
    std::printf("%.3f %s\n", double(elapsed) / 1e9, status ? "true" : "false");
    return status ? 0 : 1;
}
