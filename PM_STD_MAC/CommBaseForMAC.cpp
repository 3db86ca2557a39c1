// The transport base: error code, time-outs, the reader thread and the receive side on the shared
// queue.
#include "CommBaseForMAC.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "PortMdlState.h"
#include "SysErr.h"
#include "ThreadSignals.h"
#include "portmdl/PortMdl.h"

namespace {

// The pending-close request shared by every transport: a count of closes waiting for the port and
// an event descriptor that is readable while any is.
struct CancelSignal {
    std::atomic<int32_t> pending{0};
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Given back when the library unloads, so that loading it again and again costs nothing.
    ~CancelSignal()
    {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
};

CancelSignal& cancelSignal()
{
    static CancelSignal signal;
    return signal;
}

// Made while the module loads, like the queue's pipe, so no call creates it later.
const bool g_bCancelSignalReady = cancelSignal().fd >= 0;

void signalFd(int fd)
{
    uint64_t one = 1;
    while (fd >= 0 && write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void drainFd(int fd)
{
    uint64_t value;
    while (fd >= 0 && read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

} // namespace

EI_CommBaseForMAC::EI_CommBaseForMAC()
    : m_nReadTimeOut(0), m_nWriteTimeOut(0), m_nLastError(0), m_bRunning(0), m_hThread(),
      m_bHasThread(false), m_mutex(), m_nRxTimeout(1), m_nRxSleepTime(1), m_bIsOpen(0),
      m_nStopFd(-1), m_bReaderStarted(0), m_bReaderReading(0), m_bHostHolds(0), m_bReaderAside(0),
      m_nAsideFd(-1), m_nRecheckFd(-1), m_sourceMutex()
{
}

// Owners stop the reader and close the device through Close before they delete an open transport.
EI_CommBaseForMAC::~EI_CommBaseForMAC() = default;

int EI_CommBaseForMAC::PM_Exit(uint32_t code)
{
    if (code != 0) {
        m_nLastError = code;
    }
    return 0;
}

int EI_CommBaseForMAC::readBuffer(unsigned char* buf, int len)
{
    if (!m_bIsOpen || len < 0) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    // More than the queue can ever hold would never arrive whole: fail now, taking nothing.
    if (len > g_cRingBuff.Capacity()) {
        return PM_Exit(EI_ERR_TIMEOUT);
    }
    uint32_t deadline = MACTickCount() + m_nReadTimeOut;
    bool direct = readsDirect();
    bool held = false;
    int result = 1;
    for (;;) {
        if (g_cRingBuff.m_nCount < len) {
            takeQueued(direct);
        }
        if (held && !direct) {
            ReleaseDevice(true); // the reader meets the device's failure now, not at the deadline
            held = false;
        }
        if (g_cRingBuff.m_nCount >= len) {
            int got = 0;
            g_cRingBuff.Get(buf, len, &got);
            break;
        }
        uint32_t now = MACTickCount();
        if (now > deadline || CancelPending()) {
            result = PM_Exit(EI_ERR_TIMEOUT);
            break;
        }
        if (direct && !held) {
            HoldDevice();
            held = true;
        }
        // Sleep until bytes come (queued by the reader, or on the device), a close is asked for,
        // or the clock has passed the deadline: a receive that waits costs no processor time, and
        // still ends on the millisecond its time-out gives. A hung-up device would end every wait
        // at once: the receive then leaves the device to the reader and waits on the queue alone,
        // ending as the reader's path does (a time-out, since nothing more comes).
        uint32_t untilPast = std::min<uint32_t>(deadline - now + 1, INT_MAX);
        if (!g_cRingBuff.WaitForInput(static_cast<int>(untilPast), CancelFd(),
                                      direct ? DirectSource() : -1)) {
            direct = false;
        }
    }
    if (held) {
        ReleaseDevice(false);
    }
    return result;
}

bool EI_CommBaseForMAC::readsDirect()
{
    return DirectSource() >= 0 && m_bReaderReading.load(std::memory_order_acquire) != 0;
}

void EI_CommBaseForMAC::takeQueued(bool& direct, bool drain)
{
    if (direct && m_sourceMutex.try_lock()) {
        int n;
        do {
            n = g_cRingBuff.FlushThenRead(DirectSource());
        } while (drain && n > 0);
        int error = errno;
        m_sourceMutex.unlock();
        if (n < 0 && error != EAGAIN) {
            direct = false; // a failed device: the reader meets the failure on its own
        }
        return;
    }
    g_cRingBuff.Flush();
}

void EI_CommBaseForMAC::HoldDevice()
{
    if (!readsDirect() || m_bHostHolds.exchange(1) != 0) {
        return;
    }
    // Either the reader sees the hold before it next waits on the device, or it is already
    // waiting there and this wakes it (both flags are sequentially consistent).
    if (m_bReaderAside.load() == 0) {
        signalFd(m_nAsideFd);
    }
}

void EI_CommBaseForMAC::ReleaseDevice(bool wakeReader)
{
    if (m_bHostHolds.exchange(0) == 0) {
        return;
    }
    if (wakeReader) {
        signalFd(m_nAsideFd);
        return;
    }
    // Setting the timer again moves its one shot on: a host that holds the device again within
    // the period never wakes the reader.
    const itimerspec later = {{0, 0}, {0, kAsideRecheckMs * 1000000L}};
    timerfd_settime(m_nRecheckFd, 0, &later, nullptr);
}

bool EI_CommBaseForMAC::stayAside()
{
    if (!HostHolds()) {
        return false;
    }
    m_bReaderAside.store(1);
    while (m_bRunning && HostHolds()) {
        // No time limit: a release either wakes the reader or sets the timer, which stays
        // readable once it fired, so no release is missed between the test and the wait.
        struct pollfd fds[3] = {
            {m_nStopFd, POLLIN, 0}, {m_nAsideFd, POLLIN, 0}, {m_nRecheckFd, POLLIN, 0}};
        if (poll(fds, 3, -1) > 0) {
            if (fds[1].revents & POLLIN) {
                drainFd(m_nAsideFd);
            }
            if (fds[2].revents & POLLIN) {
                drainFd(m_nRecheckFd);
            }
        }
    }
    m_bReaderAside.store(0);
    return true;
}

int EI_CommBaseForMAC::writeBuffer(unsigned char* buf, int len)
{
    if (!m_bIsOpen) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (len <= 0) {
        return 1;
    }
    // A full queue holds the reader here until the host takes bytes or Close stops the reader.
    int put = 0;
    g_cRingBuff.Put(buf, len, &put, &m_bRunning);
    return put == len ? 1 : 0;
}

int EI_CommBaseForMAC::SetReadTimeOut(uint32_t ms)
{
    m_nReadTimeOut = ms;
    return 1;
}

int EI_CommBaseForMAC::SetWriteTimeOut(uint32_t ms)
{
    m_nWriteTimeOut = ms;
    return 1;
}

uint32_t EI_CommBaseForMAC::EI_GetLastError()
{
    return m_nLastError;
}

void EI_CommBaseForMAC::EI_ClearLastError()
{
    m_nLastError = 0;
}

int EI_CommBaseForMAC::Close()
{
    if (m_bHasThread) {
        m_bRunning = 0;
        signalFd(m_nStopFd); // a pass waiting for input ends now
        pthread_join(m_hThread, nullptr);
        m_bHasThread = false;
        pthread_mutex_destroy(&m_mutex);
    }
    for (int* fd : {&m_nStopFd, &m_nAsideFd, &m_nRecheckFd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    return internalClose();
}

int EI_CommBaseForMAC::countBuffer()
{
    if (!m_bIsOpen) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    bool direct = readsDirect();
    takeQueued(direct, true);
    return g_cRingBuff.m_nCount;
}

int EI_CommBaseForMAC::clearBuffer()
{
    std::unique_lock<std::mutex> pass = waitReaderPass(true);
    return g_cRingBuff.Clear();
}

std::unique_lock<std::mutex> EI_CommBaseForMAC::waitReaderPass(bool discard)
{
    std::unique_lock<std::mutex> pass(m_sourceMutex, std::defer_lock);
    while (!pass.try_lock()) {
        if (discard) {
            g_cRingBuff.Clear();
        } else if (g_cRingBuff.Flush() == 0 && g_cRingBuff.m_nCount >= g_cRingBuff.Capacity()) {
            return pass;
        }
        PM_SimpleSleep(0);
    }
    return pass;
}

void EI_CommBaseForMAC::keepDeviceInput()
{
    // Before the reader's start pause is over it would not have taken them either.
    if (!readsDirect()) {
        return;
    }
    std::unique_lock<std::mutex> pass = waitReaderPass(false);
    if (pass.owns_lock()) {
        while (g_cRingBuff.FlushThenRead(DirectSource()) > 0) {
        }
    }
}

int EI_CommBaseForMAC::SetBitRate(uint32_t rate, uint32_t* actual)
{
    int32_t code = speedCodeOfRate(rate);
    if (code == 0) {
        return -1;
    }
    if (ChangeBaudRate(static_cast<uint32_t>(code)) == 0) {
        return 0;
    }
    *actual = rate;
    return 1;
}

int EI_CommBaseForMAC::SetFlowControl(int32_t mode)
{
    // A port without a line of its own (the modem's driver, an RFCOMM channel) has no flow
    // control to set: "none" is what it already is.
    return mode == 0 ? 1 : -1;
}

int EI_CommBaseForMAC::CreateThread()
{
    pthread_mutex_init(&m_mutex, nullptr);
    m_bReaderStarted = 0;
    m_bReaderReading = 0;
    m_bHostHolds = 0;
    m_bReaderAside = 0;
    if (m_nStopFd < 0) {
        m_nStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    if (m_nAsideFd < 0 && DirectSource() >= 0) {
        m_nAsideFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    if (m_nRecheckFd < 0 && DirectSource() >= 0) {
        m_nRecheckFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    // Without its stop descriptor (at the descriptor limit) a reader could never be woken to
    // stop, and a close would wait for it for ever: the open fails instead. Without the others,
    // a reader could not be told to step aside and back.
    if (m_nStopFd < 0 || (DirectSource() >= 0 && (m_nAsideFd < 0 || m_nRecheckFd < 0))) {
        RecordSysErr(errno);
        pthread_mutex_destroy(&m_mutex);
        Close();
        return 0;
    }
    // The reader's first test of m_bRunning must find it raised, so it is raised before the
    // thread exists.
    m_bRunning = 1;
    int created;
    {
        SignalsBlockedForNewThread quiet;
        created = pthread_create(&m_hThread, nullptr, ReadThread, this);
    }
    if (created != 0) {
        RecordSysErr(created);
        m_bRunning = 0;
        pthread_mutex_destroy(&m_mutex);
        Close();
        return 0;
    }
    m_bHasThread = true;
    PM_Sleep(100);
    while (!m_bReaderStarted.load(std::memory_order_acquire)) {
        PM_SimpleSleep(1);
    }
    clearBuffer();
    return 1;
}

void* EI_CommBaseForMAC::ReadThread(void* self)
{
    auto* base = static_cast<EI_CommBaseForMAC*>(self);
    if (!base->m_bIsOpen) {
        base->m_bReaderStarted.store(1, std::memory_order_release);
        return nullptr;
    }
    g_cRingBuff.Clear();
    base->m_bReaderStarted.store(1, std::memory_order_release);
    PM_Sleep(500);
    base->m_bReaderReading.store(1, std::memory_order_release);
    while (base->m_bRunning) {
        if (base->m_bIsOpen) {
            if (base->stayAside()) {
                continue;
            }
            pthread_mutex_lock(&base->m_mutex);
            base->internalRead();
            PM_SimpleSleep(0);
            pthread_mutex_unlock(&base->m_mutex);
        } else {
            PM_Sleep(static_cast<uint32_t>(base->m_nRxSleepTime));
        }
    }
    PM_SimpleSleep(100);
    return nullptr;
}

int EI_CommBaseForMAC::Read(unsigned char* buf, int len, int* got)
{
    if (!m_bIsOpen || len < 0) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (len != 0 && !readBuffer(buf, len)) {
        return 0;
    }
    *got = len;
    return 1;
}

int EI_CommBaseForMAC::Write(const unsigned char* buf, int len, int* sent)
{
    // A negative count would let the transport read past the caller's buffer.
    if (len < 0) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    return internalWrite(buf, len, sent);
}

void EI_CommBaseForMAC::BeginCancel()
{
    CancelSignal& signal = cancelSignal();
    signal.pending.fetch_add(1);
    signalFd(signal.fd);
}

void EI_CommBaseForMAC::EndCancel()
{
    // Called with the port held, so no wait is polling the descriptor now. A close on another
    // thread may raise its request between the count reaching 0 and the drain: its signal is
    // then given again, so the descriptor stays readable while any request is pending.
    CancelSignal& signal = cancelSignal();
    if (signal.pending.fetch_sub(1) == 1) {
        drainFd(signal.fd);
        if (signal.pending.load() > 0) {
            signalFd(signal.fd);
        }
    }
}

bool EI_CommBaseForMAC::CancelPending()
{
    return cancelSignal().pending.load() > 0;
}

int EI_CommBaseForMAC::CancelFd()
{
    return cancelSignal().fd;
}

short EI_CommBaseForMAC::WaitReady(int fd, short events, int ms)
{
    if (!m_bRunning) {
        return 0;
    }
    // The host taking the device over ends the wait too (the aside descriptor is -1 for a
    // transport without a direct source, and poll skips it).
    struct pollfd fds[3] = {{m_nStopFd, POLLIN, 0}, {m_nAsideFd, POLLIN, 0}, {fd, events, 0}};
    if (poll(fds, 3, ms) <= 0) {
        return 0;
    }
    if (fds[1].revents & POLLIN) {
        drainFd(m_nAsideFd);
        return 0; // the reader looks at the hold before it touches the device
    }
    return fds[2].revents;
}
