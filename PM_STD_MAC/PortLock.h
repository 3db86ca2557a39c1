// The port lock: every exported function that touches the port state (the transport in
// TheCommBase, the error record, the time-outs and speed, the device list) holds it for its whole
// length, so calls from several host threads run one after the other. It is recursive because the
// cable dialogue and the status record call exported functions from inside one. The reader thread
// never takes it, so a close that holds it can wait for the reader.
#ifndef PM_STD_MAC_PORTLOCK_H
#define PM_STD_MAC_PORTLOCK_H

#include <pthread.h>

#include "SysErr.h"

class PortLock {
  public:
    PortLock()
    {
        pthread_mutex_lock(&s_mutex);
        // An exported call begins: a system error an earlier call recorded but no failure took
        // must not be reported for this call's failure.
        if (s_depth++ == 0) {
            ForgetSysErr();
        }
    }
    ~PortLock()
    {
        --s_depth;
        pthread_mutex_unlock(&s_mutex);
    }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

  private:
    // A pthread mutex: its static initialiser needs no constructor, and locking cannot throw.
    static pthread_mutex_t s_mutex;
    static int s_depth; // how many PortLocks the holding thread has; changed only while held
};

#endif
