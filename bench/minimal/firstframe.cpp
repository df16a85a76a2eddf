// Preloaded into a Qt program (LD_PRELOAD) by bench/startup/run: writes the
// CLOCK_MONOTONIC time at which the program has painted its first frame to
// the file named by FIRST_FRAME_FILE. The same probe goes into the updater and
// into the minimal program, so "first frame" means the same in both: the
// first paint event has been handled and the event loop is back.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

void writeFirstFrameTime()
{
    const char* path = std::getenv("FIRST_FRAME_FILE");
    if (!path)
        return;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (FILE* file = std::fopen(path, "w")) {
        std::fprintf(file, "%ld.%09ld\n", static_cast<long>(now.tv_sec), now.tv_nsec);
        std::fclose(file);
    }
}

class FirstPaintFilter : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            QCoreApplication::instance()->removeEventFilter(this);
            QTimer::singleShot(0, &writeFirstFrameTime);
        }
        return false;
    }
};

void installProbe()
{
    QCoreApplication::instance()->installEventFilter(new FirstPaintFilter);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
