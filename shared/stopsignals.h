#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include "installershared_global.h"

#include <csignal>

// While an object of this class lives, SIGTERM, SIGINT and SIGHUP do not end
// the process at once: they are noted, long file work asks pending() and
// winds down cleanly, and when the object goes the signal is raised again
// with the handling it had before, which usually ends the process.
class INSTALLERSHARED_EXPORT StopSignals
{
public:
    StopSignals();
    ~StopSignals();

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that asked to stop, or 0.
    static int pending();

private:
    struct sigaction previous[3];
};

#endif  // STOPSIGNALS_H
