// The port lock: every exported function that touches the port state (the transport in
// TheCommBase, the error record, the time-outs and speed, the device list) holds it for its whole
// length, so calls from several host threads run one after the other. It is recursive because the
// cable dialogue and the status record call exported functions from inside one. The reader thread
// never takes it, so a close that holds it can wait for the reader.
#ifndef PM_STD_MAC_PORTLOCK_H
#define PM_STD_MAC_PORTLOCK_H

#include <pthread.h>

#include "SysErr.h"

// The calling thread's exported calls in time (PortMdlState.cpp), so that each host thread reads
// the error record as its own last call left it, whatever a call running beside that one (such as
// the close that ended it) recorded later. CallBegins marks when the thread's outermost call
// began, before it waits for the port; a close marks it before it asks the running call to end.
// EnterCall and LeaveCall bracket each PortLock; the outermost LeaveCall runs with the port still
// held and keeps the record as the call leaves it.
void CallBegins();
void EnterCall();
void LeaveCall();

class PortLock {
  public:
    PortLock()
    {
        EnterCall();
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
        LeaveCall();
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
