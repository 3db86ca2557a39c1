// Ending the backends' waits early. A listing or an open waits on the stack (connections, the
// bus, writes, the alert) for seconds; a close asked for on another thread must end it at once.
// The module lends the host's thread a descriptor that is readable while such a close is pending,
// for the length of the call it may end; the backends poll it beside what they wait for. Other
// threads (the close itself, the stack's own) see no descriptor, so their waits run to their end.
#ifndef PM_STD_MAC_PLATFORM_BLUETOOTHCANCEL_H
#define PM_STD_MAC_PLATFORM_BLUETOOTHCANCEL_H

#include <chrono>

class BluetoothCancelScope {
  public:
    // fd: readable while the wait should end (-1: nothing ends it). The thread's earlier
    // descriptor comes back when the scope ends.
    explicit BluetoothCancelScope(int fd);
    ~BluetoothCancelScope();
    BluetoothCancelScope(const BluetoothCancelScope&) = delete;
    BluetoothCancelScope& operator=(const BluetoothCancelScope&) = delete;

  private:
    int m_nOuterFd;
};

// The calling thread's descriptor, -1 outside a scope.
int BluetoothCancelFd();
// Whether the calling thread's descriptor is readable now.
bool BluetoothCancelled();

using BluetoothWaitClock = std::chrono::steady_clock;

// Waits until fd (when not -1) has one of events, the calling thread's cancel descriptor is
// readable, or deadline passes; a caught signal resumes the wait to the same deadline. Answers
// the events of fd (> 0), 0 at the deadline, -ECANCELED when cancelled, or another -errno.
int BluetoothWait(int fd, short events, BluetoothWaitClock::time_point deadline);

#endif
