// The serial cable path on real pseudo-terminals: the line as the cable sees it, bytes both ways,
// line and speed changes, the cable-type searches, what open and close leave behind, bad device
// paths, a vanished cable, and one logged communication decoded from the saved log.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <regex>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CableSim.h"
#include "CommBaseUNIX.h"
#include "CommLog.h"
#include "RawPty.h"
#include "PortMdlState.h"
#include "SerialTestSupport.h"
#include "TtyTrace.h"
#include "platform/serial/TtySpeed.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace std::chrono_literals;
using pmsim::CableSim;
using serialtest::Registry;
using serialtest::SameDevice;
using serialtest::SerialTest;
using serialtest::SetCableType;

namespace {

using Clock = std::chrono::steady_clock;

// Both sides of the line at rate, and the module reporting it with speed code in the status.
void ExpectLineAt(CableSim& cable, uint32_t rate, int32_t code)
{
    SCOPED_TRACE(rate);
    uint32_t in = 0, out = 0;
    ASSERT_EQ(TtyGetSpeeds(cable.MasterFd(), &in, &out), 0);
    EXPECT_EQ(in, rate);
    EXPECT_EQ(out, rate);
    EXPECT_EQ(PM_GetBPS(), static_cast<int32_t>(rate));
    PM_PortStatus status{};
    ASSERT_EQ(PM_GetPortStatus(&status), 1);
    EXPECT_EQ(status.nSpeedCode, code);
}

std::string Bytes(int count, int seed)
{
    std::string s(static_cast<size_t>(count), '\0');
    for (int i = 0; i < count; ++i) {
        s[static_cast<size_t>(i)] = static_cast<char>((i * 7 + seed) & 0xFF);
    }
    return s;
}

EI_CommBaseUNIX* Port()
{
    return static_cast<EI_CommBaseUNIX*>(TheCommBase);
}

// The settings a fresh terminal comes with, set explicitly so restoring can be seen.
termios CookedSettings(int fd)
{
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ISIG | ICANON | ECHO;
    cfsetspeed(&t, B38400);
    EXPECT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

using Serial = SerialTest;

} // namespace

TEST_F(Serial, OpenPutsTheLineInRawModeExclusivelyAndCloseGivesItBack)
{
    CableSim cable;
    termios before = CookedSettings(cable.MasterFd());
    ttytrace::Reset();

    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    EXPECT_EQ(PM_GetOpenMode(), 2);
    EXPECT_EQ(g_bIsOpen, 1);
    int fd = PM_GetPortHandle();
    ASSERT_TRUE(SameDevice(fd, cable.SlavePath()));
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK,
              0); // writes wait in poll(), bounded by the send time-out
    // The new transport waits 0 ms on receives until the host sets a time-out.
    EXPECT_EQ(TheCommBase->m_nReadTimeOut, 0u);
    EXPECT_EQ(PM_GetRxTimeout(), 500u);
    EXPECT_EQ(TheCommBase->m_nWriteTimeOut, TheWriteTimeOut);
    EXPECT_EQ(TheCommBase->m_nRxTimeout, gRxTimeout);
    EXPECT_EQ(TheCommBase->m_nRxSleepTime, gRxSleepTime);

    termios t{};
    ASSERT_EQ(tcgetattr(cable.MasterFd(), &t), 0); // the slave's settings, seen from the cable
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | INPCK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B600));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    // A pseudo-terminal drops PARENB; the record as applied shows none was asked for.
    auto applied = ttytrace::AppliedSettings();
    ASSERT_FALSE(applied.empty());
    EXPECT_EQ(applied.front().c_cflag & (PARENB | PARODD | CSTOPB | HUPCL | CRTSCTS), 0u);

    // Exclusive: another open is refused, except to root, who sees the flag.
    int other = open(cable.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (other < 0) {
        EXPECT_EQ(errno, EBUSY);
    } else {
        int excl = 0;
        EXPECT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 1);
    }

    PM_PortStatus status{};
    ASSERT_EQ(PM_GetPortStatus(&status), 1);
    EXPECT_EQ(status.nSpeedCode, 1);
    EXPECT_EQ(status.nStopBits, 1);
    EXPECT_EQ(status.nParity, 1);
    EXPECT_EQ(status.nDataBits, 8);
    EXPECT_EQ(status.nRTS, 1);
    EXPECT_EQ(status.nDTR, 0);

    ASSERT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(PM_GetPortHandle(), -1);
    EXPECT_EQ(g_bIsOpen, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // the descriptor is closed
    termios after{};
    ASSERT_EQ(tcgetattr(cable.MasterFd(), &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    if (other >= 0) {
        int excl = 1;
        EXPECT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 0); // the claim ends with the port, whoever else holds the device
        close(other);
    }
    int again = open(cable.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(again, 0) << strerror(errno);
    close(again);
}

// A port another program holds is busy, for root too: a terminal program's or a serial
// library's flock, a TIOCEXCL claim, or both (as portmdl-modemd and modem managers take them).
// The open fails with 7 and EBUSY, nothing stays open, and the holder keeps its claim.
TEST_F(Serial, APortAnotherProgramHoldsIsRefusedAsBusy)
{
    struct Holder {
        const char* name;
        bool flocked, exclusive;
    };
    for (Holder h : {Holder{"flock", true, false}, Holder{"TIOCEXCL", false, true},
                     Holder{"both", true, true}}) {
        SCOPED_TRACE(h.name);
        CableSim cable;
        int holder = open(cable.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        if (h.flocked) {
            ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        if (h.exclusive) {
            ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
        }
        EXPECT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 0);
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
        EXPECT_EQ(PM_GetSysErr(), EBUSY);
        EXPECT_EQ(PM_GetPortHandle(), -1);
        int excl = 0;
        EXPECT_EQ(ioctl(holder, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, h.exclusive ? 1 : 0);
        if (h.flocked) { // still the holder's: another description cannot take it
            int again = open(cable.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (again >= 0) {
                EXPECT_NE(flock(again, LOCK_EX | LOCK_NB), 0);
                close(again);
            }
        }
        if (h.exclusive) {
            ioctl(holder, TIOCNXCL);
        }
        close(holder);
        // Once the holder lets go, the port opens, and the module holds it the same way.
        ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
        EXPECT_EQ(PM_GetSysErr(), 0);
        int other = open(cable.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (other >= 0) { // root, past TIOCEXCL: the flock still keeps it out
            EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
            EXPECT_EQ(errno, EWOULDBLOCK);
            close(other);
        }
        EXPECT_EQ(PM_ClosePort(), 1);
    }
}

// A failed open says why through the system's error number; failures without a system reason
// give 0. Each failure gives its own line; clearing the error, or a new open, clears them all.
TEST_F(Serial, FailuresCarryTheSystemsReasonAndTheirLine)
{
    char folder[] = "/tmp/pmsyserr.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    struct Case {
        std::string path;
        int sysErr;
    };
    for (const Case& c : {Case{dir + "/absent", ENOENT}, Case{dir, EISDIR},
                          Case{"/dev/null", ENOTTY}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(PM_OpenPortByDeviceName(c.path.c_str()), 0);
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
        EXPECT_EQ(PM_GetSysErr(), c.sysErr);
        EXPECT_EQ(PM_GetErrLine(), PM_LINE_OPENBYNAME_OPEN);
    }
    PM_ClearCommErr();
    EXPECT_EQ(PM_GetSysErr(), 0);
    EXPECT_EQ(PM_GetErrLine(), 0);
    // A time-out has no system reason, even right after a failure that had one.
    CableSim cable;
    EXPECT_EQ(PM_OpenPortByDeviceName((dir + "/absent").c_str()), 0);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    EXPECT_EQ(PM_GetErrLine(), 0);
    uint8_t byte = 0;
    EXPECT_EQ(PM_RxBytes(1, &byte), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_GetSysErr(), 0);
    EXPECT_EQ(PM_GetErrLine(), PM_LINE_RX_FAILED);
    EXPECT_EQ(PM_ClosePort(), 1);
    rmdir(folder);
}

// Each module code has its own text; any other number says so. The texts are static.
TEST(SerialErrText, EveryCodeHasItsOwnText)
{
    std::set<std::string> seen;
    for (int32_t code : {PM_ERR_NONE, PM_ERR_CREATE, PM_ERR_TIMEOUT, PM_ERR_OPEN, PM_ERR_INVALID,
                         PM_ERR_TRANSPORT, PM_ERR_SEND, PM_ERR_APICALL}) {
        const char* text = PM_GetErrText(code);
        ASSERT_NE(text, nullptr);
        EXPECT_TRUE(seen.insert(text).second) << code << " shares its text";
        EXPECT_EQ(PM_GetErrText(code), text);
    }
    for (int32_t code : {-1, 1, 4, 1000, INT32_MIN}) {
        EXPECT_STREQ(PM_GetErrText(code), "unknown error code") << code;
    }
}

// The device must not become the host's controlling terminal, or pulling the cable would hang up
// the host. Run in a child of its own session, before any thread exists.
TEST_F(Serial, DeviceNeverBecomesTheControllingTerminal)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 10;
        if (setsid() >= 0) {
            int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            char name[128];
            if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
                ptsname_r(master, name, sizeof name) == 0) {
                status = PM_OpenPortByDeviceName(name) == 1 ? 0 : 11;
                if (status == 0 && open("/dev/tty", O_RDWR | O_CLOEXEC) >= 0) {
                    status = 12;
                }
                PM_ClosePort();
            }
        }
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Serial, BytesBothWaysWithExactCountsAndTimeOuts)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1); // the reader starts polling half a second after opening

    std::string out = Bytes(300, 1);
    ASSERT_EQ(PM_TxBytes(300, reinterpret_cast<const uint8_t*>(out.data())), 1);
    ASSERT_TRUE(cable.WaitReceived(300, 5s));
    EXPECT_EQ(cable.Received(), out);

    int sent = -1;
    EXPECT_EQ(TheCommBase->internalWrite(reinterpret_cast<const uint8_t*>("x"), 0, &sent), 1);
    EXPECT_EQ(sent, 0);

    std::string in = Bytes(1000, 3);
    cable.Send(in);
    std::string got(600, '\0');
    ASSERT_EQ(PM_RxBytes(600, reinterpret_cast<uint8_t*>(got.data())), 1);
    EXPECT_EQ(got, in.substr(0, 600));
    // The rest arrives whole; asking for one byte more than is coming times out taking nothing.
    ASSERT_EQ(PM_SetRxTimeout(300), 1);
    got.assign(401, '\0');
    auto start = Clock::now();
    EXPECT_EQ(PM_RxBytes(401, reinterpret_cast<uint8_t*>(got.data())), 0);
    EXPECT_GE(Clock::now() - start, 290ms);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_InBufferCount(), 400);
    got.assign(400, '\0');
    ASSERT_EQ(PM_RxBytes(400, reinterpret_cast<uint8_t*>(got.data())), 1);
    EXPECT_EQ(got, in.substr(600));

    // Nothing sent by the host is lost to the cable, nothing extra arrives.
    EXPECT_TRUE(cable.WaitSent(1s));
    EXPECT_EQ(cable.ReceivedCount(), 300u);
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A receive that has to wait takes the bytes from the device itself, beside the reader thread:
// they still come whole and in order, whichever side took each piece, and none is taken before
// the reader's start pause is over.
TEST_F(Serial, WaitingReceivesBesideTheReaderKeepTheOrderAndTheStartPause)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    auto opened = Clock::now();
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    cable.Send("s");
    uint8_t first = 0;
    ASSERT_EQ(PM_RxBytes(1, &first), 1);
    EXPECT_GE(Clock::now() - opened, 300ms); // the reader starts half a second after its start
    EXPECT_EQ(first, 's');

    const std::string in = Bytes(300000, 5);
    std::thread phone([&] {
        // Pieces of every size, some after a pause, so that receives wait and the reader and a
        // receive meet the device ready at once.
        size_t at = 0;
        for (size_t step = 0; at < in.size(); ++step) {
            size_t piece = std::min(in.size() - at, size_t{1} + (step * 997) % 6000);
            cable.Send(in.substr(at, piece));
            at += piece;
            if (step % 8 == 0) {
                std::this_thread::sleep_for(200us);
            }
        }
    });
    std::string got;
    const int sizes[] = {1, 4, 300, 4096, 5000, 13, 9000};
    for (size_t step = 0; got.size() < in.size(); ++step) {
        int n = static_cast<int>(std::min<size_t>(sizes[step % 7], in.size() - got.size()));
        std::string piece(static_cast<size_t>(n), '\0');
        if (PM_RxBytes(n, reinterpret_cast<uint8_t*>(piece.data())) != 1) {
            break;
        }
        got += piece;
        // Now and then the host looks away, so the reader takes bytes too.
        if (step % 16 == 0) {
            std::this_thread::sleep_for(15ms);
        }
    }
    phone.join();
    EXPECT_TRUE(got == in) << "got " << got.size() << " bytes, differing from the sent ones";
    EXPECT_EQ(PM_InBufferCount(), 0);
    EXPECT_EQ(PM_ClosePort(), 1);
}

// While the host holds the device (the reader aside), bytes still in the device are counted and
// cleared like queued ones.
TEST_F(Serial, BytesInTheDeviceTheHostHoldsAreCountedAndCleared)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    uint8_t first = 0;
    cable.Send("s");
    ASSERT_EQ(PM_RxBytes(1, &first), 1); // the reader's start pause is over

    const int device = TheCommBase->GetPortHandle();
    const int queue = EI_CommBaseForMAC::g_cRingBuff.m_nInPipe[0];
    auto waiting = [](int fd) {
        int n = 0;
        return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
    };
    auto deadline = Clock::now() + 5s;
    auto waitArrived = [&] {
        while (waiting(device) + waiting(queue) < 4 && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
    };
    TheCommBase->HoldDevice();
    cable.Send("junk");
    waitArrived();
    EXPECT_EQ(PM_InBufferCount(), 4);
    cable.Send("more");
    waitArrived();
    PM_ClearBuffer();
    EXPECT_EQ(waiting(device), 0);
    EXPECT_EQ(PM_InBufferCount(), 0);
    TheCommBase->ReleaseDevice(true);
    cable.Send("OK");
    uint8_t ok[2] = {};
    ASSERT_EQ(PM_RxBytes(2, ok), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ok), 2), "OK");
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A phone that echoes every byte and stops reading while its echo cannot go out: a long send to
// it fills the line back up unless the reader takes the echo while the send waits.
TEST_F(Serial, ALongSendToAnEchoingPhoneDoesNotStall)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    std::atomic<bool> stop{false};
    std::thread phone([&] {
        char buf[4096];
        while (!stop) {
            pollfd in = {master, POLLIN, 0};
            ssize_t n = poll(&in, 1, 20) > 0 ? read(master, buf, sizeof buf) : 0;
            for (ssize_t at = 0; n > 0 && at < n && !stop;) {
                ssize_t w = write(master, buf + at, static_cast<size_t>(n - at));
                if (w > 0) {
                    at += w;
                } else {
                    pollfd out = {master, POLLOUT, 0};
                    poll(&out, 1, 20);
                }
            }
        }
    });
    ASSERT_EQ(PM_OpenPortByDeviceName(slave.c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    ASSERT_EQ(PM_SetTxTimeout(2000), 1);
    uint8_t first = 'x';
    ASSERT_EQ(PM_TxBytes(1, &first), 1);
    ASSERT_EQ(PM_RxBytes(1, &first), 1); // the reader's start pause is over
    const std::string out = Bytes(512 * 1024, 9);
    EXPECT_EQ(PM_TxBytes(static_cast<int32_t>(out.size()),
                         reinterpret_cast<const uint8_t*>(out.data())),
              1);
    std::string echo(out.size(), '\0');
    EXPECT_EQ(PM_RxBytes(static_cast<int32_t>(echo.size()),
                         reinterpret_cast<uint8_t*>(echo.data())),
              1);
    EXPECT_TRUE(echo == out);
    EXPECT_EQ(PM_ClosePort(), 1);
    stop = true;
    phone.join();
    close(master);
}

namespace {

// Bytes waiting to be read on a descriptor (the device, or the queue's in-pipe).
int Waiting(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Polls until the device holds at least n bytes; false after a generous bound.
bool WaitInDevice(int fd, int n)
{
    auto deadline = Clock::now() + 10s;
    while (Waiting(fd) < n) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The thread's own processor time.
std::chrono::nanoseconds ThreadCpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

} // namespace

// An answer already in the device when the host changes the speed is the host's: a reader beside
// the host would have queued it. The reader is held aside, as a host's send or receive leaves it,
// so the answer is still in the device at the change. A change to the rate in effect discards
// nothing at all.
TEST_F(Serial, AnAnswerThatArrivedSurvivesASpeedChange)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    cable.Send("s");
    uint8_t first = 0;
    ASSERT_EQ(PM_RxBytes(1, &first), 1); // the reader's start pause is over

    PM_PortStatus status{3, 1, 1, 8, 1, 1, 0, 0};
    struct Case {
        const char* name;
        std::function<int32_t()> change;
        uint32_t rate;
    };
    const Case cases[] = {
        {"PM_SetBPS to another speed", [] { return PM_SetBPS(5); }, 19200},
        {"PM_SetBPS at the speed in effect", [] { return PM_SetBPS(5); }, 19200},
        {"PM_SetBitRate to another rate", [] { return PM_SetBitRate(250000); }, 250000},
        {"PM_SetBitRate at the rate in effect", [] { return PM_SetBitRate(250000); }, 250000},
        {"PM_SetPortStatus with another speed", [&] { return PM_SetPortStatus(&status); }, 9600},
    };
    const int device = TheCommBase->GetPortHandle();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = std::string("\r\nOK ") + c.name + "\r\n";
        TheCommBase->HoldDevice();
        cable.Send(answer);
        ASSERT_TRUE(WaitInDevice(device, static_cast<int>(answer.size())));
        EXPECT_EQ(c.change(), 1);
        TheCommBase->ReleaseDevice(true);
        std::string got(answer.size(), '\0');
        EXPECT_EQ(PM_RxBytes(static_cast<int32_t>(got.size()), reinterpret_cast<uint8_t*>(got.data())),
                  1);
        EXPECT_EQ(got, answer);
        uint32_t in = 0, out = 0;
        ASSERT_EQ(TtyGetSpeeds(cable.MasterFd(), &in, &out), 0);
        EXPECT_EQ(out, c.rate);
    }
    EXPECT_EQ(PM_ClosePort(), 1);
}

// The host takes nothing while the phone writes until the line takes no more: the queue is full
// and the reader waits for room with a block it read. A clear now removes that block too: the next
// bytes the host gets are the first the phone sent after the clear.
TEST_F(Serial, AClearRemovesTheBlockAReaderHeldByAFullQueue)
{
    RawPty pty;
    ASSERT_EQ(PM_OpenPortByDeviceName(pty.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    const int master = pty.MasterFd();
    ASSERT_EQ(write(master, "s", 1), 1);
    uint8_t first = 0;
    ASSERT_EQ(PM_RxBytes(1, &first), 1); // the reader's start pause is over

    ASSERT_EQ(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    const int queue = EI_CommBaseForMAC::g_cRingBuff.m_nInPipe[0];
    const int queueSize = fcntl(queue, F_GETPIPE_SZ);
    ASSERT_GT(queueSize, 0);
    const std::string old(4096, 'o');
    bool full = false;
    for (auto deadline = Clock::now() + 60s; !full && Clock::now() < deadline;) {
        if (write(master, old.data(), old.size()) > 0) {
            continue;
        }
        ASSERT_EQ(errno, EAGAIN);
        // The line refuses more and the queue, well filled, takes nothing more meanwhile: the
        // reader is held. (How many bytes a full pipe holds depends on the sizes of its writes.)
        pollfd room = {master, POLLOUT, 0};
        const int queued = Waiting(queue);
        full = queued >= queueSize / 2 && poll(&room, 1, 20) == 0 && Waiting(queue) == queued;
    }
    ASSERT_TRUE(full);

    PM_ClearBuffer();
    EXPECT_EQ(PM_InBufferCount(), 0);
    ASSERT_EQ(write(master, "NEW!", 4), 4);
    std::string got(4, '\0');
    ASSERT_EQ(PM_RxBytes(4, reinterpret_cast<uint8_t*>(got.data())), 1);
    EXPECT_EQ(got, "NEW!");
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A receive on a line whose phone has gone (hung up before the receive, or while it waits) sleeps
// until its time-out, and gives the device back to the reader as soon as the hang-up shows.
TEST_F(Serial, AReceiveOnAHungUpLineSleepsUntilItsTimeOut)
{
    for (bool whileWaiting : {false, true}) {
        SCOPED_TRACE(whileWaiting ? "hung up while the receive waits" : "hung up before");
        CableSim cable;
        ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
        ASSERT_EQ(PM_SetRxTimeout(5000), 1);
        cable.Send("s");
        uint8_t byte = 0;
        ASSERT_EQ(PM_RxBytes(1, &byte), 1); // the reader's start pause is over
        ASSERT_EQ(PM_SetRxTimeout(1000), 1);

        std::atomic<bool> received{false};
        std::atomic<bool> givenBackInTime{false};
        std::thread phone;
        if (whileWaiting) {
            phone = std::thread([&] {
                auto deadline = Clock::now() + 10s;
                while (!TheCommBase->HostHolds() && Clock::now() < deadline) {
                    std::this_thread::sleep_for(1ms);
                }
                cable.Unplug();
                while (TheCommBase->HostHolds() && !received) {
                    std::this_thread::sleep_for(1ms);
                }
                givenBackInTime = !received;
            });
        } else {
            cable.Unplug();
        }
        auto cpu = ThreadCpu();
        EXPECT_EQ(PM_RxBytes(1, &byte), 0);
        cpu = ThreadCpu() - cpu;
        received = true;
        if (phone.joinable()) {
            phone.join();
            EXPECT_TRUE(givenBackInTime);
        }
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
        // A spinning receive burns most of its second; a sleeping one next to nothing.
        EXPECT_LT(cpu, 250ms);
        EXPECT_EQ(PM_ClosePort(), 1);
    }
}

namespace {

// How often the process's threads other than the calling one have gone to sleep so far.
long OtherThreadsSleeps()
{
    const std::string self = std::to_string(gettid());
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) {
            continue;
        }
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

} // namespace

// While a receive waits with nothing arriving, the reader rests aside without a clock: it is not
// woken again and again to look whether the host still holds the device.
TEST_F(Serial, AWaitingReceiveLeavesTheReaderAsleep)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    cable.Send("s");
    uint8_t byte = 0;
    ASSERT_EQ(PM_RxBytes(1, &byte), 1); // the reader's start pause is over
    ASSERT_EQ(PM_SetRxTimeout(1000), 1);
    const long before = OtherThreadsSleeps();
    EXPECT_EQ(PM_RxBytes(1, &byte), 0);
    // A reader looking every 10 ms sleeps about 100 times in that second.
    EXPECT_LT(OtherThreadsSleeps() - before, 20);
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A status record whose speed the line refuses fails with the system's reason of that refusal.
TEST_F(Serial, AFailedStatusKeepsTheReasonOfItsSpeedChange)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    cable.Unplug(); // the device now answers every settings call with EIO
    PM_PortStatus status{5, 1, 1, 8, 1, 1, 0, 0};
    EXPECT_EQ(PM_SetPortStatus(&status), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TRANSPORT);
    EXPECT_EQ(PM_GetSysErr(), EIO);
    EXPECT_EQ(PM_ClosePort(), 1);
}

TEST_F(Serial, OpenTwiceIsRefusedAndLeavesTheDeviceOpen)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    int fd = PM_GetPortHandle();
    EXPECT_EQ(Port()->Open(cable.SlavePath().c_str()), 0);
    EXPECT_EQ(Port()->EI_GetLastError(), 8u);
    EXPECT_EQ(PM_GetPortHandle(), fd);
    EXPECT_EQ(Port()->m_nLineStatus, 0);
    EXPECT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(PM_ClosePort(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
}

// A pseudo-terminal refuses modem-control changes: the line operations still report success,
// with code 1 in the transport and the cached bits unchanged.
TEST_F(Serial, RefusedLineChangesAreRecordedButReportSuccess)
{
    CableSim cable;
    ttytrace::Reset();
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    EXPECT_EQ(Port()->m_nLineStatus, 0); // the raise of DTR and RTS at set-up was refused too
    Port()->EI_ClearLastError();
    EXPECT_EQ(PM_SetRTS(), 1);
    EXPECT_EQ(Port()->EI_GetLastError(), 1u);
    EXPECT_EQ(PM_ClearDTR(), 1);
    EXPECT_EQ(Port()->m_nLineStatus, 0);
    auto states = ttytrace::ModemLineStates();
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[0], TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(states[1], TIOCM_RTS);
    EXPECT_EQ(states[2], 0);
}

// On a port that takes modem-control bits (stood in for by the trace).
TEST_F(Serial, LineBitsAreRaisedAtOpenChangedOneByOneAndDroppedAtClose)
{
    CableSim cable;
    ttytrace::Reset();
    ttytrace::FakeModemLines(true);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    EXPECT_EQ(Port()->GetControlLineStatus(), TIOCM_DTR | TIOCM_RTS);
    struct Step {
        int32_t (*op)();
        int bits;
    };
    const Step steps[] = {
        {PM_ClearRTS, TIOCM_DTR}, {PM_SetRTS, TIOCM_DTR | TIOCM_RTS},
        {PM_ClearDTR, TIOCM_RTS}, {PM_ClearRTS, 0},
        {PM_SetDTR, TIOCM_DTR},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(s.op(), 1);
        EXPECT_EQ(Port()->m_nLineStatus, s.bits);
    }
    EXPECT_EQ(Port()->EI_GetLastError(), 0u);
    ASSERT_EQ(PM_ClosePort(), 1);
    auto states = ttytrace::ModemLineStates();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), 0); // both lines dropped
}

TEST_F(Serial, SpeedChangesIncludingOneWithoutATermiosConstant)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    struct Case {
        uint32_t code, rate;
    };
    const Case cases[] = {{4, 14400}, {8, 115200}, {3, 9600}, {9, 230400}, {4, 14400}, {1, 600}};
    for (const auto& c : cases) {
        EXPECT_EQ(PM_SetBPS(c.code), 1) << c.rate;
        ExpectLineAt(cable, c.rate, static_cast<int32_t>(c.code));
    }
    // The speed already in effect: recorded, and bytes waiting on the device survive. The reader
    // may have queued them already, so the trace shows that nothing was flushed or applied.
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    cable.Send("keep");
    ASSERT_TRUE(cable.WaitSent(1s));
    ttytrace::Reset();
    EXPECT_EQ(PM_SetBPS(1), 1);
    EXPECT_EQ(ttytrace::Flushes(), 0);
    EXPECT_TRUE(ttytrace::AppliedSettings().empty());
    char got[4];
    ASSERT_EQ(PM_RxBytes(4, reinterpret_cast<uint8_t*>(got)), 1);
    EXPECT_EQ(std::string(got, 4), "keep");
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
    // A real change discards what is pending on the line, then applies.
    EXPECT_EQ(PM_SetBPS(3), 1);
    EXPECT_EQ(ttytrace::Flushes(), 1);
    EXPECT_EQ(ttytrace::AppliedSettings().size(), 1u);
}

// Speed 0 would hang the line up: a code outside the table is refused with the diagnostic.
TEST_F(Serial, SpeedCodeOutsideTheTableIsRefused)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(PM_SetBPS(0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "PM_STD_MAC/CommBaseUNIX:383: failed assertion `PM_FALSE'\n");
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TRANSPORT);
    EXPECT_EQ(Port()->EI_GetLastError(), 1u);
    EXPECT_EQ(PM_GetBPS(), 600);
    uint32_t in = 0, out = 0;
    ASSERT_EQ(TtyGetSpeeds(cable.MasterFd(), &in, &out), 0);
    EXPECT_EQ(out, 600u);
}

// Rates beyond the speed codes, as a host driving a USB-serial adapter sets them: the cable's side
// of the line and PM_GetBPS carry each; the port status keeps the last speed code, which a rate
// with a code of its own becomes.
TEST_F(Serial, AnyBitRateReachesTheLine)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    struct Case {
        uint32_t rate;
        int32_t code;
    };
    const Case cases[] = {{250000, 1},  {31250, 1}, {1000000, 1}, {115200, 8},
                          {4000000, 8}, {300, 8},   {14400, 4},   {3000000, 4}};
    for (const auto& c : cases) {
        EXPECT_EQ(PM_SetBitRate(c.rate), 1) << c.rate;
        ExpectLineAt(cable, c.rate, c.code);
    }
    // A speed code replaces the rate.
    ASSERT_EQ(PM_SetBPS(3), 1);
    EXPECT_EQ(PM_GetBPS(), 9600);

    // Rates no line runs at: refused before the line is touched.
    ASSERT_EQ(PM_SetBitRate(250000), 1);
    for (uint32_t rate : {0u, 0x80000000u, UINT32_MAX}) {
        PM_ClearCommErr();
        EXPECT_EQ(PM_SetBitRate(rate), 0) << rate;
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
        EXPECT_EQ(PM_GetSysErr(), 0);
        EXPECT_EQ(PM_GetBPS(), 250000);
    }
    uint32_t in = 0, out = 0;
    ASSERT_EQ(TtyGetSpeeds(cable.MasterFd(), &in, &out), 0);
    EXPECT_EQ(out, 250000u);

    // The rate lasts as a code does, past closing; without a port nothing is set.
    ASSERT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(PM_GetBPS(), 250000);
    EXPECT_EQ(PM_SetBitRate(9600), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
}

// Flow control is the line's: the cable's side sees each mode, the rate stays, XON and XOFF are
// the usual characters (not the 0 the raw line opened with), and the kernel holds our sending
// while the phone's XOFF is in force.
TEST_F(Serial, FlowControlModesShowOnTheLine)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetBitRate(31250), 1);
    struct Case {
        int32_t mode;
        tcflag_t cflag, iflag;
    };
    const Case cases[] = {{PM_FLOW_RTS_CTS, CRTSCTS, 0},
                          {PM_FLOW_XON_XOFF, 0, IXON | IXOFF},
                          {PM_FLOW_NONE, 0, 0},
                          {PM_FLOW_XON_XOFF, 0, IXON | IXOFF}};
    for (const auto& c : cases) {
        ASSERT_EQ(PM_SetFlowControl(c.mode), 1) << c.mode;
        termios t{};
        ASSERT_EQ(tcgetattr(cable.MasterFd(), &t), 0);
        EXPECT_EQ(t.c_cflag & CRTSCTS, c.cflag) << c.mode;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag) << c.mode;
        uint32_t in = 0, out = 0;
        ASSERT_EQ(TtyGetSpeeds(cable.MasterFd(), &in, &out), 0);
        EXPECT_EQ(out, 31250u) << c.mode;
    }
    for (int32_t mode : {-1, 3}) {
        EXPECT_EQ(PM_SetFlowControl(mode), 0);
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
    }

    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    ASSERT_EQ(PM_SetTxTimeout(300), 1);
    // What comes after XOFF in the same stream has passed the line discipline once it arrives.
    cable.Send(std::string("\x13\0x", 3));
    uint8_t got[2] = {};
    ASSERT_EQ(PM_RxBytes(2, got), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 2), std::string("\0x", 2));
    const uint8_t hi[] = {'h', 'i'};
    EXPECT_EQ(PM_TxBytes(2, hi), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(cable.Received(), "");
    cable.Send("\x11y");
    ASSERT_EQ(PM_RxBytes(1, got), 1);
    EXPECT_EQ(got[0], 'y');
    EXPECT_EQ(PM_TxBytes(2, hi), 1);
    EXPECT_TRUE(cable.WaitReceived(2, 5s));
    EXPECT_EQ(cable.Received(), "hi");
}

// Under RTS/CTS the driver moves RTS; leaving it gives RTS back as the host last set it.
TEST_F(Serial, LeavingHardwareFlowRestoresTheHostsRTS)
{
    CableSim cable;
    ttytrace::FakeModemLines(true);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_ClearRTS(), 1);
    ASSERT_EQ(PM_SetFlowControl(PM_FLOW_RTS_CTS), 1);
    ttytrace::Reset();
    ASSERT_EQ(PM_SetFlowControl(PM_FLOW_XON_XOFF), 1);
    EXPECT_EQ(ttytrace::ModemLineStates(), std::vector<int>{TIOCM_DTR});
    ttytrace::Reset();
    ASSERT_EQ(PM_SetFlowControl(PM_FLOW_NONE), 1); // not from RTS/CTS: the lines are left alone
    EXPECT_TRUE(ttytrace::ModemLineStates().empty());
    ASSERT_EQ(PM_ClosePort(), 1);
    ttytrace::FakeModemLines(false);
}

TEST_F(Serial, PortStatusAppliesLinesAndSpeedAndKeepsItsRTSField)
{
    CableSim cable;
    ttytrace::Reset();
    ttytrace::FakeModemLines(true);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    const PM_PortStatus wanted = {5, 2, 2, 7, 0, 1, 11, 12};
    ASSERT_EQ(PM_SetPortStatus(&wanted), 1);
    PM_PortStatus got{};
    ASSERT_EQ(PM_GetPortStatus(&got), 1);
    EXPECT_EQ(got.nSpeedCode, 5);
    EXPECT_EQ(got.nStopBits, 2);
    EXPECT_EQ(got.nParity, 2);
    EXPECT_EQ(got.nDataBits, 7);
    EXPECT_EQ(got.nRTS, 1); // as before
    EXPECT_EQ(got.nDTR, 1);
    EXPECT_EQ(got.nOption1, 11);
    EXPECT_EQ(got.nOption2, 12);
    EXPECT_EQ(Port()->m_nLineStatus, TIOCM_DTR); // RTS lowered, DTR raised
    EXPECT_EQ(PM_GetBPS(), 19200);
    uint32_t in = 0, out = 0;
    ASSERT_EQ(TtyGetSpeeds(cable.MasterFd(), &in, &out), 0);
    EXPECT_EQ(out, 19200u);

    // Lines first, speed last: a refused speed ends the change after the lines were set, and the
    // record keeps every field it had.
    const PM_PortStatus badSpeed = {0, 1, 3, 8, 1, 0, 21, 22};
    testing::internal::CaptureStderr();
    EXPECT_EQ(PM_SetPortStatus(&badSpeed), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TRANSPORT);
    EXPECT_EQ(Port()->m_nLineStatus, TIOCM_RTS); // RTS raised, DTR lowered
    PM_PortStatus kept{};
    ASSERT_EQ(PM_GetPortStatus(&kept), 1);
    EXPECT_EQ(std::memcmp(&kept, &got, sizeof kept), 0);
    EXPECT_EQ(PM_GetBPS(), 19200);
}

TEST_F(Serial, CableTypesThatOpenNothing)
{
    Registry registry;
    CableSim cable;
    registry.Add("usbmodem1411", cable.SlavePath());

    // The second "usbmodem" is missing: the search gives an empty path, which does not open.
    SetCableType(1004);
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(TheCommBase, nullptr);

    // Neither "kestrel-cable" nor "usbserial": nothing is recorded.
    SetCableType(1003);
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
    EXPECT_EQ(TheCommBase, nullptr);

    // The USB modem with no driver in the service plane: the transport does not open.
    setenv("PM_USERCLIENT_DIR", "/dev/null/no-plane", 1);
    SetCableType(5);
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(TheCommBase, nullptr);
    unsetenv("PM_USERCLIENT_DIR");

    // Not a cable type at all, also not the chunked environment's 10.
    for (int32_t type : {0, 10, 1001}) {
        SetCableType(type);
        testing::internal::CaptureStderr();
        EXPECT_EQ(PM_OpenPort(1), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "PM_STD_MAC/PortMdl:652: failed assertion `PM_FALSE'\n");
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
        EXPECT_EQ(TheCommBase, nullptr);
        EXPECT_EQ(g_bIsOpen, 0);
    }
}

TEST_F(Serial, OpeningAgainClosesTheOpenPortFirst)
{
    Registry registry;
    CableSim first, second;
    registry.Add("usbmodem1", first.SlavePath());
    SetCableType(1002);
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_OpenPortByDeviceName(second.SlavePath().c_str()), 1);
    EXPECT_TRUE(SameDevice(PM_GetPortHandle(), second.SlavePath()));
    EXPECT_EQ(PM_GetOpenMode(), 2);
    // The first device is free again.
    int fd = open(first.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
        int excl = 1;
        ioctl(fd, TIOCGEXCL, &excl);
        EXPECT_EQ(excl, 0);
        close(fd);
    }
}

// Paths that do not lead to a terminal fail the open with code 7 and leave no transport; a device
// that is not a terminal fails the exclusive-mode step with its diagnostic.
TEST_F(Serial, BadDevicePaths)
{
    char file[] = "/tmp/pmserial-file.XXXXXX";
    int fileFd = mkstemp(file);
    ASSERT_GE(fileFd, 0);
    struct Case {
        const char* what;
        std::string path;
        bool diagnostic; // opened, but not a terminal
    };
    const Case cases[] = {
        {"empty", "", false},
        {"too long", std::string(5000, 'a'), false},
        {"missing", "/dev/pmserial-no-such-device", false},
        {"not a terminal", "/dev/null", true},
        {"regular file", file, true},
        {"directory", "/tmp", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        EXPECT_EQ(PM_OpenPortByDeviceName(c.path.c_str()), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err,
                  c.diagnostic ? "PM_STD_MAC/CommBaseUNIX:56: failed assertion `PM_FALSE'\n" : "");
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
        EXPECT_EQ(TheCommBase, nullptr);
        EXPECT_EQ(PM_GetPortHandle(), -1);
        EXPECT_EQ(g_bIsOpen, 0);
    }
    EXPECT_EQ(PM_OpenPortByDeviceName(nullptr), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);

    // A failed open keeps no descriptor: the file can be removed and nothing refers to it.
    EI_CommBaseUNIX probe(0);
    TheCommBase = &probe;
    testing::internal::CaptureStderr();
    EXPECT_EQ(probe.Open(file), 0);
    testing::internal::GetCapturedStderr();
    TheCommBase = nullptr;
    EXPECT_EQ(probe.GetPortHandle(), -1);
    EXPECT_EQ(probe.m_bIsOpen, 0);
    EXPECT_EQ(probe.EI_GetLastError(), 1u);
    close(fileFd);
    unlink(file);
}

// The cable is pulled while the port is open: nothing hangs, receives time out, sends fail.
TEST_F(Serial, VanishedCable)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    cable.Send("ab");
    uint8_t got[2];
    ASSERT_EQ(PM_RxBytes(2, got), 1);

    cable.Unplug();
    ASSERT_EQ(PM_SetRxTimeout(200), 1);
    auto start = Clock::now();
    EXPECT_EQ(PM_RxBytes(1, got), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_LT(Clock::now() - start, 5s);
    const uint8_t at[] = {'A', 'T', '\r'};
    EXPECT_EQ(PM_TxBytes(3, at), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_SEND);
    EXPECT_EQ(Port()->EI_GetLastError(), 1u);

    // The reader waits instead of spinning on the hung-up device.
    clock_t cpuBefore = clock();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(static_cast<double>(clock() - cpuBefore) / CLOCKS_PER_SEC, 0.15);

    start = Clock::now();
    EXPECT_EQ(PM_ClosePort(), 1);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(PM_GetPortHandle(), -1);
}

namespace {

// The error slots of every closing summary in text, one "module API" pair each, as "3(880) 0(0)".
std::vector<std::string> SummarySlots(const std::string& text)
{
    static const std::regex summary(R"(PortMdlLastErr\(LINE\) \[(\d+\(\d+\))\] )"
                                    R"(PortAPILastErr\(LINE\) \[(\d+\(\d+\))\])");
    std::vector<std::string> slots;
    for (std::sregex_iterator it(text.begin(), text.end(), summary), end; it != end; ++it) {
        slots.push_back((*it)[1].str() + " " + (*it)[2].str());
    }
    return slots;
}

} // namespace

// One communication from open to close, decoded from the saved log: the dialogue's bytes go
// through the key table, the speed change and the summary follow.
class SerialLog : public logtest::LogFolder {
  protected:
    void TearDown() override
    {
        if (TheCommBase != nullptr) {
            PM_ClosePort();
        }
        LogFolder::TearDown();
    }
};

TEST_F(SerialLog, WholeCommunicationDecodesFromTheSavedLog)
{
    Registry registry;
    CableSim cable;
    cable.AddReply("AT\r", "OK\r\n");
    std::string path = registry.Add("usbmodem1411", cable.SlavePath());
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "PHONE-9"), 0);
    SetCableType(1002);

    ASSERT_EQ(PM_OpenPort(3), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    const uint8_t at[] = {'A', 'T', '\r'};
    ASSERT_EQ(PM_TxBytes(3, at), 1);
    uint8_t ok[4];
    ASSERT_EQ(PM_RxBytes(4, ok), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ok), 4), "OK\r\n");
    ASSERT_EQ(PM_SetBPS(8), 1);
    ASSERT_EQ(PM_SetBitRate(250000), 1);
    ASSERT_EQ(PM_SetFlowControl(PM_FLOW_RTS_CTS), 1);
    ASSERT_EQ(PM_ClosePort(), 1);

    std::string text = logtest::decodeLog(logtest::readFile(dat));
    auto scrambled = [](std::string hex) {
        return std::string(CCommLog::StrEncode(hex.data(), 0));
    };
    const std::string inOrder[] = {
        "\nLogStart Port Open (Start Communication)\n",
        "PM_OpenPort Successful [" + path + "]",
        "\nSD:" + scrambled("41540D"),
        "\nRD:" + scrambled("4F4B0D0A"),
        "\nSet CommSpeed [115200]bps\n",
        "\nSet CommSpeed [250000]bps\n",
        "\n//---Set FlowControl [RTS/CTS]---",
        "\n\nPortClose (End Communication)\n",
        "CableType[1002]PortNo[3]",
        "\nComm Finished TotalTime",
    };
    size_t at_ = 0;
    for (const auto& piece : inOrder) {
        size_t found = text.find(piece, at_);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << piece << "\n" << text;
        at_ = found + piece.size();
    }
    EXPECT_NE(text.find("PortMdlLastErr(LINE) [0(0)] PortAPILastErr(LINE) [0(0)]"),
              std::string::npos)
        << text;
}

// A failed open summarises and ends its own log communication.
TEST_F(SerialLog, FailedOpenEndsItsCommunicationWithItsLine)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    EXPECT_EQ(PM_OpenPortByDeviceName("/dev/pmserial-no-such-device"), 0);
    EXPECT_FALSE(logtest::exists(tmp));
    std::string text = logtest::decodeLog(logtest::readFile(dat));
    EXPECT_NE(text.find("PortAPILastErr(LINE) [103(1669)]"), std::string::npos) << text;
    EXPECT_NE(text.find("\nComm Finished TotalTime"), std::string::npos);
}

// Every failed open, and a close with no port, summarises its log communication; each summary shows
// the failure line of its own attempt. The close stores its module error only after its summary,
// so the next communication's summary shows it.
TEST_F(SerialLog, OpenFailuresAndCloseWithoutPortInTheSummaries)
{
    Registry registry;
    CableSim cable;
    registry.Add("usbmodem1411", cable.SlavePath());
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);

    SetCableType(1004); // the second "usbmodem" is missing: the empty path does not open
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    setenv("PM_USERCLIENT_DIR", "/dev/null/no-plane", 1);
    SetCableType(5); // no modem driver
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    unsetenv("PM_USERCLIENT_DIR");
    SetCableType(77);
    testing::internal::CaptureStderr();
    EXPECT_EQ(PM_OpenPort(1), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(logtest::exists(tmp)); // its communication was ended too
    SetCableType(1003); // nothing matches: the communication stays open for the close
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_TRUE(logtest::exists(tmp));
    EXPECT_EQ(PM_ClosePort(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
    EXPECT_EQ(PM_OpenPortByDeviceName("/dev/pmserial-no-such-device"), 0);
    EXPECT_FALSE(logtest::exists(tmp));

    std::string text = logtest::decodeLog(logtest::readFile(dat));
    const std::vector<std::string> expected = {
        "0(0) 103(672)", // 1004
        "0(0) 103(672)", // 5
        "0(0) 103(672)", // unlisted type
        "0(0) 103(672)", // close without a port, before its own error is stored
        "8(744) 103(1669)",
    };
    EXPECT_EQ(SummarySlots(text), expected) << text;
}

// The line a failure reports is the one its summary shows: a receive's time-out in the module
// slot, a failed open in the port-API slot.
TEST_F(SerialLog, AFailuresLineIsTheOneItsSummaryShows)
{
    CableSim cable;
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    uint8_t byte = 0;
    EXPECT_EQ(PM_RxBytes(1, &byte), 0);
    ASSERT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    const std::string timeOut = "3(" + std::to_string(PM_GetErrLine()) + ")";
    ASSERT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(PM_OpenPortByDeviceName("/dev/pmserial-no-such-device"), 0);
    ASSERT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    const std::string failedOpen = "103(" + std::to_string(PM_GetErrLine()) + ")";

    std::string text = logtest::decodeLog(logtest::readFile(dat));
    const std::vector<std::string> expected = {timeOut + " 0(0)", timeOut + " " + failedOpen};
    EXPECT_EQ(SummarySlots(text), expected) << text;
}

// The identification fields of the cable's reply, each ended by CR LF, the first starting at
// "1841"; only the caller's three slots are ever written.
TEST(SerialCableReply, Parsing)
{
    struct Case {
        const char* what;
        std::string reply;
        int result;
        uint16_t info[3];
    };
    const Case cases[] = {
        {"usual reply", "\r\n1841\r\n0002\r\n0100\r\n\r\nOK\r\n", 1, {1841, 2, 100}},
        {"two stray bytes first", "xx1841\r\n0002\r\n0100\r\nOK\r\n", 1, {1841, 2, 100}},
        {"no 1841", "\r\nERROR\r\n", 0, {7, 7, 7}},
        {"second field of 9", "1841\r\n000000002\r\n0100\r\n", 1, {1841, 7, 100}},
        {"third end missing", "1841\r\n0002\r\n0100", 0, {1841, 2, 7}},
        {"first field longer", "18419\r\n1\r\n2\r\n", 1, {18419, 1, 2}},
        {"first field of 8 wraps", "18410000\r\n1\r\n2\r\n", 1, {59920, 1, 2}},
        {"first field of 12", "184100000000\r\n1\r\n2\r\n", 1, {7, 1, 2}},
        {"empty fields", "1841\r\n\r\n\r\n", 1, {1841, 0, 0}},
        {"1841 at the end", "noise1841", 0, {7, 7, 7}},
        {"ends only after a zero byte", std::string("1841\0\r\n1\r\n2\r\n", 13), 0, {7, 7, 7}},
        {"4095 bytes without an end", "1841" + std::string(4091, 'x'), 0, {7, 7, 7}},
        {"long second field", "1841\r\n" + std::string(4000, '9') + "\r\n5\r\n", 1, {1841, 7, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Guard slots around the three show that nothing outside them is written.
        uint16_t slots[5] = {0xAAAA, 7, 7, 7, 0xBBBB};
        EXPECT_EQ(EI_CommBaseUNIX::ParseUSBInfo(c.reply.c_str(), slots + 1), c.result);
        EXPECT_EQ(slots[0], 0xAAAA);
        EXPECT_EQ(slots[1], c.info[0]);
        EXPECT_EQ(slots[2], c.info[1]);
        EXPECT_EQ(slots[3], c.info[2]);
        EXPECT_EQ(slots[4], 0xBBBB);
    }
}

// The simulator's escape needs guard-time silence before it and after it.
TEST(CableSimulator, EscapeNeedsGuardTimeAroundIt)
{
    CableSim cable;
    cable.SetGuardTime(50ms);
    int fd = open(cable.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0; // reads return at once
    t.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    auto write_ = [&](const char* s) { ASSERT_EQ(write(fd, s, strlen(s)), (ssize_t)strlen(s)); };

    write_("AT+++"); // no silence before the pluses
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(cable.InCommandMode());
    write_("+++");
    std::this_thread::sleep_for(20ms);
    write_("x"); // no silence after them
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(cable.InCommandMode());
    write_("+++");
    ASSERT_TRUE(cable.WaitCommands(1, 2s));
    EXPECT_TRUE(cable.InCommandMode());
    write_("at!con\r");
    ASSERT_TRUE(cable.WaitCommands(2, 2s));
    EXPECT_EQ(cable.ChargeState(), 1);
    write_("at%z\r");
    ASSERT_TRUE(cable.WaitCommands(3, 2s));
    EXPECT_FALSE(cable.InCommandMode());
    std::string reply;
    char buf[64];
    for (int i = 0; i < 50 && reply.size() < 18; ++i) {
        std::this_thread::sleep_for(10ms);
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_EQ(reply, "\r\nOK\r\n\r\nOK\r\n\r\nOK\r\n");
    close(fd);
}
