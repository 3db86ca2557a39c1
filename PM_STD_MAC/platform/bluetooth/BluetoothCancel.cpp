// The host thread's cancel descriptor and the wait that watches it.
#include "BluetoothCancel.h"

#include <poll.h>

#include <cerrno>

namespace {

thread_local int t_cancelFd = -1;

bool readable(int fd)
{
    if (fd < 0) {
        return false;
    }
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

} // namespace

BluetoothCancelScope::BluetoothCancelScope(int fd) : m_nOuterFd(t_cancelFd)
{
    t_cancelFd = fd;
}

BluetoothCancelScope::~BluetoothCancelScope()
{
    t_cancelFd = m_nOuterFd;
}

int BluetoothCancelFd()
{
    return t_cancelFd;
}

bool BluetoothCancelled()
{
    return readable(t_cancelFd);
}

int BluetoothWait(int fd, short events, BluetoothWaitClock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 BluetoothWaitClock::now());
        // Rounded up, so that a wait never ends before its deadline.
        int ms = left.count() <= 0 ? 0 : static_cast<int>(left.count());
        pollfd p[2] = {{fd, events, 0}, {t_cancelFd, POLLIN, 0}};
        int r = poll(p, 2, ms);
        if (r < 0) {
            if (errno == EINTR) {
                continue; // a caught signal: on to the same deadline
            }
            return -errno;
        }
        if ((p[1].revents & POLLIN) != 0) {
            return -ECANCELED;
        }
        if (r > 0 && p[0].revents != 0) {
            return p[0].revents;
        }
        if (ms == 0) {
            return 0;
        }
    }
}
