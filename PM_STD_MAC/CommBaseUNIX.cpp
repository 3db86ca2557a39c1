#include "CommBaseUNIX.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "PortMdlState.h"
#include "SysErr.h"
#include "platform/serial/TtySpeed.h"

namespace {

const char kSource[] = "PM_STD_MAC/CommBaseUNIX";

// The source lines that the diagnostics of the set-up and speed steps name.
constexpr unsigned kLineExclusive = 56;
constexpr unsigned kLineGetSettings = 60;
constexpr unsigned kLineSpeedInRecord = 73;
constexpr unsigned kLineApplySettings = 98;
constexpr unsigned kLineChangeSpeedInRecord = 383;

constexpr uint16_t kLineDTR = TIOCM_DTR; // 2
constexpr uint16_t kLineRTS = TIOCM_RTS; // 4

constexpr uint32_t kInitialSpeed = 600;

// How long a read pass rests when the device reports itself ready but gives nothing (hung up).
constexpr int kHungUpPauseMs = 10;
// How often a closing port looks whether its output has drained.
constexpr uint32_t kDrainCheckMs = 2;
constexpr int kPassBytes = 4096; // the most one reader pass reads and queues

constexpr int kReplySize = 4096;

const uint8_t kEscape[] = {'+', '+', '+'};
const uint8_t kAttention[] = {'\r', 'A', 'T', '\r'};
const uint8_t kCableCheck[] = {'A', 'T', '!', 'C', 'C', 'H', 'K', '\r', '\r'};
const uint8_t kChargeOn[] = {'A', 'T', '!', 'C', 'O', 'N', '\r'};
const uint8_t kChargeOff[] = {'A', 'T', '!', 'C', 'O', 'F', 'F', '\r'};
const uint8_t kLeaveCommandMode[] = {'a', 't', '%', 'z', '\r'};

// Bits per character on the line at most (start, eight data, parity, stop).
constexpr uint64_t kBitsPerChar = 11;

uint32_t SaturatingAdd(uint32_t a, uint32_t b)
{
    return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

// The milliseconds count bytes need on a line of rate bit/s.
uint32_t LineTimeMs(int count, uint32_t rate)
{
    if (rate == 0) {
        return UINT32_MAX;
    }
    uint64_t ms = static_cast<uint64_t>(count) * kBitsPerChar * 1000 / rate;
    return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
}

// A driver that cannot run at the exact rate asked for picks the nearest it can; within this
// share (the kernel's own 2% for matching a rate to a standard one) both ends still understand
// each other.
bool CloseEnough(uint32_t got, uint32_t wanted)
{
    uint64_t diff = got > wanted ? got - wanted : wanted - got;
    return diff * 50 <= wanted;
}

constexpr cc_t kXonChar = 0x11;
constexpr cc_t kXoffChar = 0x13;

template <size_t N> int Send(const uint8_t (&bytes)[N])
{
    return PM_TxBytes(static_cast<int32_t>(N), bytes);
}

} // namespace

void PM_WriteAssertion(const char* source, unsigned line)
{
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", source, line, "PM_FALSE");
}

EI_CommBaseUNIX::EI_CommBaseUNIX(int evenParity)
    : m_nSavedLines(0), m_savedTermios{}, m_portStatus{}, m_bModemMode(0), m_nFd(-1),
      m_nLineStatus(0), m_bEvenParity(evenParity), m_nLineRate(kInitialSpeed),
      m_bOwnExclusive(false)
{
    m_nLastError = 0;
}

EI_CommBaseUNIX::~EI_CommBaseUNIX() = default;

int EI_CommBaseUNIX::Open(const char* name)
{
    m_nLineStatus = 0;
    if (m_nFd >= 0 || m_bHasThread) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (name == nullptr) {
        return PM_Exit(EI_ERR_OS);
    }
    // No controlling terminal (a hang-up must not signal the host), no wait for carrier, and no
    // inheritance by the host's child processes. The descriptor stays non-blocking: a write waits
    // for room in poll(), so the send time-out bounds it (reads return at once anyway).
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    m_nFd = fd;
    m_bIsOpen = 1;
    if (SetupComm() == 0) {
        return failOpen();
    }
    SetWriteTimeOut(0);
    if (CreateThread() == 0) {
        return 0;
    }
    PM_Sleep(5);
    return 1;
}

int EI_CommBaseUNIX::failOpen()
{
    // Nothing was applied to the line yet; only the exclusive claim has to be given back.
    releaseExclusive();
    close(m_nFd);
    m_nFd = -1;
    m_bIsOpen = 0;
    m_nLineStatus = 0;
    return 0;
}

void EI_CommBaseUNIX::releaseExclusive()
{
    if (m_bOwnExclusive) {
        ioctl(m_nFd, TIOCNXCL);
        m_bOwnExclusive = false;
    }
}

int EI_CommBaseUNIX::SetupComm()
{
    return SetupCommOSX();
}

int EI_CommBaseUNIX::SetupCommOSX()
{
    // A port another program holds is busy, for root too: serial programs (terminal programs,
    // serial libraries opening for exclusive use, modem managers, portmdl-modemd) take a
    // non-blocking exclusive flock on the device, some TIOCEXCL as well, and the kernel lets root
    // past TIOCEXCL. Opening under such a holder would mix two programs' bytes on one line. We
    // take both, so they keep us out in turn; the flock goes with our descriptor.
    if (flock(m_nFd, LOCK_EX | LOCK_NB) != 0) {
        RecordSysErr(errno == EWOULDBLOCK ? EBUSY : errno);
        return PM_Exit(EI_ERR_OS);
    }
    int held = 0;
    if (ioctl(m_nFd, TIOCGEXCL, &held) == 0 && held != 0) {
        RecordSysErr(EBUSY);
        return PM_Exit(EI_ERR_OS);
    }
    if (ioctl(m_nFd, TIOCEXCL) != 0) {
        RecordSysErr(errno);
        PM_WriteAssertion(kSource, kLineExclusive);
        return PM_Exit(EI_ERR_OS);
    }
    m_bOwnExclusive = true;
    if (tcgetattr(m_nFd, &m_savedTermios) != 0) {
        RecordSysErr(errno);
        PM_WriteAssertion(kSource, kLineGetSettings);
        return PM_Exit(EI_ERR_OS);
    }
    termios t;
    std::memset(&t, 0, sizeof t); // raw: no input, output or local processing
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetspeed(&t, kInitialSpeed) != 0) {
        PM_WriteAssertion(kSource, kLineSpeedInRecord);
        return PM_Exit(EI_ERR_OS);
    }
    // The speed lives in c_cflag here, so the flags are added to it.
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    if (m_bEvenParity != 0) {
        t.c_cflag |= PARENB;
    }
    t.c_iflag = IGNBRK | INPCK;
    t.c_oflag = 0;
    t.c_lflag = 0;
    tcflush(m_nFd, TCIOFLUSH);
    if (tcsetattr(m_nFd, TCSANOW, &t) != 0) {
        RecordSysErr(errno);
        PM_WriteAssertion(kSource, kLineApplySettings);
        return PM_Exit(EI_ERR_OS);
    }
    m_nSavedLines = GetControlLineStatus();
    SetControlLineStatus(kLineDTR | kLineRTS);
    m_portStatus = PM_PortStatus{1, 1, 1, 8, 1, 0, 0, 0};
    PM_ClearBuffer();
    return 1;
}

int EI_CommBaseUNIX::internalRead()
{
    // Nothing there: sleep in the kernel until input comes, a receive takes the device over or
    // gives it back, or Close stops the reader, so an idle port costs no processor time and a
    // close need not wait for a pass to end.
    if (readAndQueue() <= 0) {
        short ready = WaitReady(m_nFd, POLLIN, -1);
        bool got = (ready & POLLIN) != 0 && readAndQueue() > 0;
        // A hung-up device reports itself ready for ever; rest a little so the reader does not
        // spin on it.
        if (!got && (ready & (POLLHUP | POLLERR | POLLNVAL))) {
            WaitReady(-1, 0, kHungUpPauseMs);
        }
    }
    return 1;
}

ssize_t EI_CommBaseUNIX::readAndQueue()
{
    // One read takes all the line discipline holds (it hands out at most 4096 bytes at a time), so
    // a fast line costs a read and a queue write per pass rather than one per few bytes. A waiting
    // receive reads the device itself, so the read and the queuing go together under the lock.
    unsigned char buf[kPassBytes];
    std::lock_guard<std::mutex> pass(SourceLock());
    if (HostHolds()) {
        return 0;
    }
    ssize_t n = read(m_nFd, buf, sizeof buf);
    if (n > 0) {
        writeBuffer(buf, static_cast<int>(n));
    }
    return n;
}

int EI_CommBaseUNIX::internalWrite(const unsigned char* buf, int len, int* sent)
{
    if (m_nFd < 0 || !m_bHasThread) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (len == 0) {
        *sent = 0;
        return 1;
    }
    if (m_bIsOpen == 0) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (len < 0) {
        *sent = 0;
        return PM_Exit(EI_ERR_OS);
    }
    tcflow(m_nFd, TCOON);
    // The bytes go out as the device takes them. A long send at the line's own speed (a phonebook
    // or firmware block) takes as long as it takes, so the send time-out bounds a stall, not the
    // whole: the send ends short (code 3) when no byte has moved for the time-out, or when it has
    // run past the time the bytes need at the line speed plus the time-out (a peer that trickles
    // bytes away far below the line speed). A close asked for on another thread ends it too. A
    // signal does not lose the rest of the bytes.
    uint32_t start = MACTickCount();
    uint32_t budget = SaturatingAdd(LineTimeMs(len, m_nLineRate), m_nWriteTimeOut);
    uint32_t lastMoved = start;
    int total = 0;
    while (total < len) {
        ssize_t w = write(m_nFd, buf + total, static_cast<size_t>(len - total));
        if (w > 0) {
            total += static_cast<int>(w);
            lastMoved = MACTickCount();
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w == 0 || errno != EAGAIN) {
            RecordSysErr(w == 0 ? EIO : errno);
            *sent = total;
            return PM_Exit(EI_ERR_OS);
        }
        uint32_t now = MACTickCount();
        uint32_t stalled = now - lastMoved;
        uint32_t running = now - start;
        if (stalled > m_nWriteTimeOut || running > budget || CancelPending()) {
            PM_Exit(EI_ERR_TIMEOUT);
            break;
        }
        // While the device holds the bytes back, the reader takes what the phone sends
        // meanwhile (an echo of a long send must not fill the line back up).
        ReleaseDevice(true);
        uint32_t wait = std::min(m_nWriteTimeOut - stalled, budget - running) + 1;
        pollfd room[2] = {{m_nFd, POLLOUT, 0}, {CancelFd(), POLLIN, 0}};
        poll(room, 2, static_cast<int>(std::min<uint32_t>(wait, INT_MAX)));
    }
    *sent = total;
    return 1;
}

int EI_CommBaseUNIX::GetPortHandle()
{
    return m_nFd;
}

int EI_CommBaseUNIX::internalClose()
{
    if (m_nFd >= 0) {
        // The last bytes the host sent reach the phone before the lines drop: output drains for
        // up to the send time-out, and only what is still left then is discarded.
        drainOutput();
        SetControlLineStatus(m_nSavedLines);
        tcflush(m_nFd, TCIFLUSH);
        int left = 0;
        if (ioctl(m_nFd, TIOCOUTQ, &left) != 0 || left > 0) {
            tcflush(m_nFd, TCOFLUSH);
        }
        tcsetattr(m_nFd, TCSANOW, &m_savedTermios);
        // Another holder of the device (a pseudo-terminal's other users) must not keep it locked.
        releaseExclusive();
        close(m_nFd);
        m_bIsOpen = 0;
        m_nFd = -1;
    }
    m_nLineStatus = 0;
    return 1;
}

int EI_CommBaseUNIX::ChangeBaudRate(uint32_t code)
{
    uint32_t rate =
        static_cast<uint32_t>(PM_ConvertBPS_CEValuToOSValue(static_cast<int32_t>(code)));
    termios t;
    uint32_t inSpeed = 0, outSpeed = 0;
    if (tcgetattr(m_nFd, &t) != 0 || TtyGetSpeeds(m_nFd, &inSpeed, &outSpeed) != 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    if (inSpeed == rate && outSpeed == rate) {
        m_nLineRate = rate;
        m_portStatus.nSpeedCode = static_cast<int32_t>(code);
        return 1;
    }
    // Speed 0 would hang the line up; rates without a termios constant go through termios2.
    bool anyRate = false;
    if (rate == 0) {
        PM_WriteAssertion(kSource, kLineChangeSpeedInRecord);
        return PM_Exit(EI_ERR_OS);
    }
    if (cfsetspeed(&t, rate) != 0) {
        anyRate = true;
    }
    keepDeviceInput();
    tcflush(m_nFd, TCIOFLUSH);
    int applied = anyRate ? TtySetAnySpeed(m_nFd, rate) : tcsetattr(m_nFd, TCSANOW, &t);
    if (applied != 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    m_nLineRate = rate;
    m_portStatus.nSpeedCode = static_cast<int32_t>(code);
    return 1;
}

int EI_CommBaseUNIX::SetBitRate(uint32_t rate, uint32_t* actual)
{
    uint32_t oldIn = 0, oldOut = 0;
    if (TtyGetSpeeds(m_nFd, &oldIn, &oldOut) != 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    // The rate in effect changes nothing, so nothing is discarded, as with a speed code.
    if (oldIn == rate && oldOut == rate) {
        m_nLineRate = rate;
        int32_t code = speedCodeOfRate(rate);
        if (code != 0) {
            m_portStatus.nSpeedCode = code;
        }
        *actual = rate;
        return 1;
    }
    // Bytes on their way at the old rate would be garbage at the new one, as with a speed code;
    // what already arrived is kept.
    keepDeviceInput();
    tcflush(m_nFd, TCIOFLUSH);
    if (TtySetAnySpeed(m_nFd, rate) != 0) {
        int err = errno;
        RecordSysErr(err);
        return err == EINVAL ? -1 : PM_Exit(EI_ERR_OS);
    }
    // Drivers do not fail a rate they cannot do: they keep the old one or pick another, and only
    // reading the settings back tells.
    uint32_t in = 0, out = 0;
    if (TtyGetSpeeds(m_nFd, &in, &out) != 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    if (!CloseEnough(out, rate) || !CloseEnough(in, rate)) {
        TtySetAnySpeed(m_nFd, oldOut);
        RecordSysErr(EINVAL);
        return -1;
    }
    m_nLineRate = out;
    int32_t code = speedCodeOfRate(out);
    if (code != 0) {
        m_portStatus.nSpeedCode = code;
    }
    *actual = out;
    return 1;
}

int EI_CommBaseUNIX::SetFlowControl(int32_t mode)
{
    termios before;
    if (tcgetattr(m_nFd, &before) != 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    termios t = before;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (mode == PM_FLOW_RTS_CTS) {
        t.c_cflag |= CRTSCTS;
    } else if (mode == PM_FLOW_XON_XOFF) {
        t.c_iflag |= IXON | IXOFF;
        // The line opened with every control character 0, which would make NUL bytes stop and
        // start the output.
        t.c_cc[VSTART] = kXonChar;
        t.c_cc[VSTOP] = kXoffChar;
    }
    if (tcsetattr(m_nFd, TCSANOW, &t) != 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    // A driver without RTS/CTS lines quietly drops the flag; only reading back tells.
    termios now;
    if (tcgetattr(m_nFd, &now) != 0) {
        RecordSysErr(errno);
        return PM_Exit(EI_ERR_OS);
    }
    const tcflag_t cflow = CRTSCTS, iflow = IXON | IXOFF;
    if ((now.c_cflag & cflow) != (t.c_cflag & cflow) ||
        (now.c_iflag & iflow) != (t.c_iflag & iflow)) {
        tcsetattr(m_nFd, TCSANOW, &before);
        RecordSysErr(EINVAL);
        return -1;
    }
    // Hardware flow moved RTS as the driver saw fit; without it RTS is the host's again.
    if ((before.c_cflag & CRTSCTS) != 0 && mode != PM_FLOW_RTS_CTS) {
        SetControlLineStatus(static_cast<uint16_t>(m_nLineStatus));
    }
    return 1;
}

void EI_CommBaseUNIX::drainOutput()
{
    uint32_t deadline = MACTickCount() + m_nWriteTimeOut;
    int left = 0;
    while (ioctl(m_nFd, TIOCOUTQ, &left) == 0 && left > 0 && MACTickCount() <= deadline) {
        PM_SimpleSleep(kDrainCheckMs);
    }
}

uint16_t EI_CommBaseUNIX::GetControlLineStatus()
{
    return static_cast<uint16_t>(m_nLineStatus);
}

int EI_CommBaseUNIX::SetControlLineStatus(uint16_t bits)
{
    int state = bits;
    if (ioctl(m_nFd, TIOCMSET, &state) != 0) {
        return PM_Exit(EI_ERR_OS);
    }
    m_nLineStatus = bits;
    return 1;
}

// A refused line change leaves code 1 and the cache as it was, yet the operation reports success.
int EI_CommBaseUNIX::SetRTS()
{
    SetControlLineStatus(static_cast<uint16_t>(m_nLineStatus | kLineRTS));
    return 1;
}

int EI_CommBaseUNIX::ClearRTS()
{
    SetControlLineStatus(static_cast<uint16_t>(m_nLineStatus & 0xFFFB));
    return 1;
}

int EI_CommBaseUNIX::SetDTR()
{
    SetControlLineStatus(static_cast<uint16_t>(m_nLineStatus | kLineDTR));
    return 1;
}

int EI_CommBaseUNIX::ClearDTR()
{
    SetControlLineStatus(static_cast<uint16_t>(m_nLineStatus & 0xFFFD));
    return 1;
}

int EI_CommBaseUNIX::GetPortStatus(PM_PortStatus* status)
{
    *status = m_portStatus;
    return 1;
}

int EI_CommBaseUNIX::SetPortStatus(const PM_PortStatus* status)
{
    if ((status->nRTS == 1 ? PM_SetRTS() : PM_ClearRTS()) == 0) {
        return 0;
    }
    if ((status->nDTR == 1 ? PM_SetDTR() : PM_ClearDTR()) == 0) {
        return 0;
    }
    if (PM_SetBPS(static_cast<uint32_t>(status->nSpeedCode)) == 0) {
        // The speed change's failure took the system's reason; the status call's own failure
        // reports it too.
        RecordSysErr(TheCurrErr.nSysErr);
        return 0;
    }
    int32_t keptRTS = m_portStatus.nRTS;
    m_portStatus = *status;
    m_portStatus.nRTS = keptRTS;
    return 1;
}

int EI_CommBaseUNIX::clearBuffer()
{
    // The device's input is discarded while the reader is kept between passes too, so it cannot
    // read bytes that arrived before the clear and queue them after it.
    std::unique_lock<std::mutex> pass = waitReaderPass(true);
    g_cRingBuff.Clear();
    if (m_nFd >= 0) {
        return tcflush(m_nFd, TCIOFLUSH);
    }
    return 0;
}

void EI_CommBaseUNIX::EnterModemMode()
{
    if (m_bModemMode != 0) {
        return;
    }
    PM_Sleep(1000);
    if (Send(kEscape) == 1) {
        PM_Sleep(1000);
        m_bModemMode = 1;
    }
}

int EI_CommBaseUNIX::ParseUSBInfo(const char* reply, uint16_t* info)
{
    const char* field = std::strstr(reply, "1841");
    if (field == nullptr) {
        return 0;
    }
    for (int i = 0; i < 3; ++i) {
        const char* end = std::strstr(field, "\r\n");
        if (end == nullptr) {
            return 0;
        }
        size_t len = static_cast<size_t>(end - field);
        if (len <= 8) {
            char digits[9];
            std::memcpy(digits, field, len);
            digits[len] = '\0';
            info[i] = static_cast<uint16_t>(std::atoi(digits));
        }
        field = end + 2;
    }
    return 1;
}

int EI_CommBaseUNIX::GetUSBInfo(uint16_t* info)
{
    EnterModemMode();
    PM_ClearBuffer();
    if (Send(kAttention) != 1) {
        return 0;
    }
    PM_Sleep(1000);
    PM_ClearBuffer();
    if (Send(kCableCheck) != 1) {
        return 0;
    }
    PM_SimpleSleep(1000);
    int32_t n = PM_InBufferCount();
    if (n <= 0) {
        return 0;
    }
    if (n > kReplySize - 1) {
        n = kReplySize - 1;
    }
    char reply[kReplySize] = {};
    if (PM_RxBytes(n, reinterpret_cast<uint8_t*>(reply)) != 1) {
        return 0;
    }
    return ParseUSBInfo(reply, info);
}

int EI_CommBaseUNIX::RequestChargeCommand(int on)
{
    uint16_t scratch[3] = {};
    GetUSBInfo(scratch);
    EnterModemMode();
    if ((on == 1 ? Send(kChargeOn) : Send(kChargeOff)) != 1) {
        return 0;
    }
    PM_Sleep(1000);
    if (Send(kLeaveCommandMode) != 1) {
        return 0;
    }
    PM_Sleep(1000);
    PM_ClearBuffer();
    m_bModemMode = 0;
    return 1;
}
