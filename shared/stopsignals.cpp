#include "stopsignals.h"

namespace {

const int stopSignals[3] = {SIGTERM, SIGINT, SIGHUP};
volatile sig_atomic_t pendingSignal = 0;

extern "C" void noteStopSignal(int signal)
{
    if (pendingSignal == 0)
        pendingSignal = signal;
}

}  // namespace

StopSignals::StopSignals()
{
    pendingSignal = 0;
    struct sigaction action = {};
    action.sa_handler = noteStopSignal;
    // These calls fail only for an invalid signal or address, which these are not.
    (void)sigemptyset(&action.sa_mask);
    // Without SA_RESTART a slow read or write returns EINTR, so the copy
    // notices the request within one block.
    action.sa_flags = 0;
    for (int i = 0; i < 3; ++i) {
        (void)sigaction(stopSignals[i], nullptr, &previous[i]);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (previous[i].sa_handler != SIG_IGN)
            (void)sigaction(stopSignals[i], &action, nullptr);
    }
}

StopSignals::~StopSignals()
{
    for (int i = 0; i < 3; ++i)
        (void)sigaction(stopSignals[i], &previous[i], nullptr);
    const int signal = pendingSignal;
    pendingSignal = 0;
    if (signal != 0)
        (void)raise(signal);  // the process's own handling decides what follows
}

int StopSignals::pending()
{
    return pendingSignal;
}
