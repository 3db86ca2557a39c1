// How the daemon and the simulator programs stop: SIGINT and SIGTERM, taken by a wait in the main
// thread rather than by a handler, so that stopping runs as ordinary code.
#ifndef PMMODEMD_STOPSIGNALS_H
#define PMMODEMD_STOPSIGNALS_H

#include <pthread.h>
#include <signal.h>

// Blocks SIGINT and SIGTERM in the calling thread and so in every thread it starts afterwards:
// call it before the first thread starts. The set returned is for the wait (sigwait).
inline sigset_t BlockStopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

#endif
