// Threads the module starts take none of the host's signals. A host's timer, SIGCHLD or SIGWINCH
// is meant for the host's own threads; delivered to one of ours it would only cut short a wait
// in a library call we do not control (an SDP request) and run the host's handler on a thread
// the host does not know.
#ifndef PM_STD_MAC_THREADSIGNALS_H
#define PM_STD_MAC_THREADSIGNALS_H

#include <csignal>
#include <pthread.h>

// Blocks the asynchronous signals in the calling thread while it lives, so that a thread started
// meanwhile inherits them blocked; the caller's own mask comes back at the end of the scope.
class SignalsBlockedForNewThread {
  public:
    SignalsBlockedForNewThread()
    {
        sigset_t all;
        sigfillset(&all);
        // Faults of the thread's own code stay deliverable, as they must.
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
            sigdelset(&all, fault);
        }
        pthread_sigmask(SIG_BLOCK, &all, &m_saved);
    }
    ~SignalsBlockedForNewThread() { pthread_sigmask(SIG_SETMASK, &m_saved, nullptr); }
    SignalsBlockedForNewThread(const SignalsBlockedForNewThread&) = delete;
    SignalsBlockedForNewThread& operator=(const SignalsBlockedForNewThread&) = delete;

  private:
    sigset_t m_saved;
};

#endif
