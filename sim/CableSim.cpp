#include "CableSim.h"

#include "ThreadCpuTime.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace pmsim {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

CableSim::CableSim()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        ThrowErrno("posix_openpt");
    }
    char name[PATH_MAX];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        int saved = errno;
        close(m_master);
        errno = saved;
        ThrowErrno("pseudo-terminal set-up");
    }
    m_slavePath = name;
    // The cable's thread never blocks on the master: replies wait in a queue until the client
    // takes them.
    if (fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0 ||
        pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        int saved = errno;
        close(m_master);
        errno = saved;
        ThrowErrno("cable set-up");
    }
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (...) {
        // The destructor does not run for an object whose constructor throws.
        close(m_master);
        close(m_wake[0]);
        close(m_wake[1]);
        throw;
    }
}

CableSim::~CableSim()
{
    StopThread();
    if (m_master >= 0) {
        close(m_master);
    }
    close(m_wake[0]);
    close(m_wake[1]);
}

void CableSim::StopThread()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CableSim::Unplug()
{
    StopThread();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
    m_changed.notify_all();
}

void CableSim::Wake()
{
    char b = 1;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    ssize_t r = write(m_wake[1], &b, 1);
    (void)r;
}

void CableSim::SetIdentification(std::string reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.SetIdentification(std::move(reply));
}

void CableSim::SetEcho(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.SetEcho(on);
}

void CableSim::AddReply(std::string request, std::string reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.AddReply(std::move(request), std::move(reply));
}

void CableSim::SetGuardTime(std::chrono::milliseconds guard)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.SetGuardTime(guard);
}

void CableSim::SetSilent(bool silent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.SetSilent(silent);
}

void CableSim::Send(std::string bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outQueue += bytes;
    }
    Wake();
}

bool CableSim::WaitSent(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_outHead == m_outQueue.size(); });
}

double CableSim::ThreadCpuSeconds() const
{
    return pmsim::ThreadCpuSeconds(m_thread);
}

std::string CableSim::Received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::size_t CableSim::ReceivedCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received.size();
}

bool CableSim::WaitReceived(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
}

void CableSim::ClearReceived()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
}

std::vector<CableSim::Command> CableSim::Commands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_phone.Commands();
}

bool CableSim::WaitCommands(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout,
                              [&] { return m_phone.Commands().size() >= count; });
}

bool CableSim::InCommandMode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_phone.InCommandMode();
}

int CableSim::ChargeState() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_phone.ChargeState();
}

void CableSim::QueueLocked(const std::string& bytes)
{
    m_outQueue += bytes;
}

void CableSim::Run()
{
    char buf[4096];
    for (;;) {
        bool wantOut;
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) {
                return;
            }
            wantOut = m_outHead < m_outQueue.size();
            if (auto due = m_phone.Due()) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(*due - Clock::now());
                timeoutMs = static_cast<int>(std::max<long long>(0, left.count() + 1));
            }
        }
        pollfd fds[2] = {{m_master, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0},
                         {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            while (read(m_wake[0], buf, sizeof buf) > 0) {
            }
        }
        bool idle = false; // no client on the slave side: nothing to read or write for now
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(m_master, buf, sizeof buf);
            if (n > 0) {
                OnBytes(buf, static_cast<std::size_t>(n), Clock::now());
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                idle = true;
            }
        }
        if (fds[0].revents & POLLOUT) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ssize_t n =
                write(m_master, m_outQueue.data() + m_outHead, m_outQueue.size() - m_outHead);
            if (n > 0) {
                // Written bytes are dropped in bulk: erasing each write's share off the front of a
                // megabyte would cost the cable more than the client's whole receive.
                m_outHead += static_cast<std::size_t>(n);
                if (m_outHead == m_outQueue.size() || m_outHead >= 65536) {
                    m_outQueue.erase(0, m_outHead);
                    m_outHead = 0;
                }
                if (m_outQueue.empty()) {
                    m_changed.notify_all();
                }
            }
        }
        OnGuardElapsed();
        if (idle) {
            // The master reports a hang-up until a client opens the slave; look again shortly
            // rather than spin, but stay responsive to a stop.
            pollfd wake = {m_wake[0], POLLIN, 0};
            poll(&wake, 1, 2);
        }
    }
}

void CableSim::OnBytes(const char* data, std::size_t n, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(data, n);
    QueueLocked(m_phone.Receive(data, n, now));
    m_changed.notify_all();
}

void CableSim::OnGuardElapsed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t before = m_phone.Commands().size();
    QueueLocked(m_phone.Tick(Clock::now()));
    if (m_phone.Commands().size() != before) {
        m_changed.notify_all();
    }
}

} // namespace pmsim
