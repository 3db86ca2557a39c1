// Port calls from several host threads at once, as real hosts make them: a close from another
// thread cancels a waiting receive or send, and opens, closes, sends, receives and queries racing
// each other leave nothing behind, on each transport: the serial tty, the USB modem's user client
// (cable type 5) and a Bluetooth channel. Run under ThreadSanitizer and AddressSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "BluetoothTestSupport.h"
#include "CableSim.h"
#include "ModemDriverSim.h"
#include "ModemTestSupport.h"
#include "RawPty.h"
#include "SerialTestSupport.h"
#include "ProcessCounts.h"
#include "portmdl/PortMdl.h"

using namespace std::chrono_literals;
using pmsim::CableSim;
using pmsim::ModemDriverSim;
using Clock = std::chrono::steady_clock;

namespace {

// The scheduler state of one of this process's threads ('R' running, 'S' asleep in a wait, ...).
char ThreadState(pid_t tid)
{
    // Read with plain calls: the thread may end meanwhile, and a stream's read of its vanished
    // entry throws where this answers '?'.
    std::string stat;
    int fd = open(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(),
                  O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        close(fd);
        stat.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    // The state follows the command name, which is in parentheses and may hold spaces.
    std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Runs call on its own thread; the result once it ends, or nullopt if it has not ended within
// limit (the thread is then left to the test's clean-up).
template <typename Call> struct Background {
    explicit Background(Call call)
        : future(std::async(std::launch::async, [this, call] {
              tid = static_cast<pid_t>(syscall(SYS_gettid));
              return call();
          }))
    {
    }
    std::atomic<pid_t> tid{0};
    std::future<int32_t> future;
    bool EndsWithin(std::chrono::seconds limit) const
    {
        return future.wait_for(limit) == std::future_status::ready;
    }
    // Waits until the call sleeps in a wait of its own (or has already ended, as a call that
    // never waits does), so that what the test does next meets the call in the middle and not
    // before it starts.
    bool WaitsInside() const
    {
        auto deadline = Clock::now() + 30s;
        while (Clock::now() < deadline) {
            pid_t t = tid;
            if (EndsWithin(0s) || (t != 0 && ThreadState(t) == 'S')) {
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
};

// Polls until dir holds expected entries (a peer in this process may take a moment to let go of
// its side), then answers the count.
int SettlesTo(const char* dir, int expected)
{
    auto deadline = Clock::now() + 10s;
    while (proccount::Entries(dir) != expected && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    return proccount::Entries(dir);
}

using ModemPlane = modemtest::Plane;

constexpr uint32_t kModemWriteRequest = 4; // the driver's write method

enum class Transport { Tty, Modem, Bluetooth };

void PrintTo(Transport transport, std::ostream* out)
{
    *out << static_cast<int>(transport);
}

std::string TransportName(const ::testing::TestParamInfo<Transport>& info)
{
    switch (info.param) {
    case Transport::Tty:
        return "Tty";
    case Transport::Modem:
        return "Modem";
    case Transport::Bluetooth:
        return "Bluetooth";
    }
    return "Unknown";
}

// The peer of each transport and how the host opens the port to it: a cable simulator on a
// pseudo-terminal, the modem driver simulator in a plane folder, or a simulated phone on a
// connected device.
class PortThreads : public serialtest::SerialTest, public ::testing::WithParamInterface<Transport> {
  protected:
    // echo: the peer sends every byte back; otherwise it stays silent.
    void StartPeer(bool echo)
    {
        switch (GetParam()) {
        case Transport::Tty:
            cable = std::make_unique<CableSim>();
            cable->SetEcho(echo);
            cable->SetSilent(!echo);
            cableType = 1003;
            break;
        case Transport::Modem:
            plane = std::make_unique<ModemPlane>();
            driver = std::make_unique<ModemDriverSim>(plane->Dir());
            driver->SetEcho(echo);
            cableType = 5;
            break;
        case Transport::Bluetooth:
            world = std::make_unique<BluetoothWorldFile>(json{
                {"devices",
                 {{{"address", kPhoneText},
                   {"connected", true},
                   {"records", {textRecord(3, "Dial-up Networking")}},
                   {"phone", {{"echo", echo}}}}}}});
            selectDevice(kPhone, {{"Dial-up Networking", 3}});
            cableType = 1003;
            break;
        }
        serialtest::SetCableType(cableType);
    }

    int32_t Open()
    {
        switch (GetParam()) {
        case Transport::Tty:
            return PM_OpenPortByDeviceName(cable->SlavePath().c_str());
        case Transport::Modem:
            return PM_OpenPort(1);
        case Transport::Bluetooth:
            return PM_OpenBluetoothChannel(0);
        }
        return 0;
    }

    int32_t cableType = 0;
    std::unique_ptr<CableSim> cable;
    std::unique_ptr<ModemPlane> plane;
    std::unique_ptr<ModemDriverSim> driver;
    std::unique_ptr<BluetoothWorldFile> world;
};

} // namespace

// A host cancels a receive that waits for a minute by closing the port from another thread (a
// Bluetooth receive takes what has arrived and never waits: it ends at once).
TEST_P(PortThreads, CloseFromAnotherThreadEndsAWaitingReceive)
{
    StartPeer(false);
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(PM_SetRxTimeout(60000), 1);
    std::this_thread::sleep_for(600ms); // the reader is polling
    Background receive([] {
        uint8_t buf[10];
        return PM_RxBytes(10, buf);
    });
    ASSERT_TRUE(receive.WaitsInside());
    auto start = Clock::now();
    EXPECT_EQ(PM_ClosePort(), 1);
    ASSERT_TRUE(receive.EndsWithin(30s));
    EXPECT_LT(Clock::now() - start, 30s);
    EXPECT_EQ(receive.future.get(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT); // as a time-out ends it
    EXPECT_EQ(PM_GetPortHandle(), -1);
}

// A send that waits for a peer that does not read ends early too, as a short send.
TEST(PortThreadsTty, CloseFromAnotherThreadEndsAWaitingSend)
{
    RawPty peer; // never read
    ASSERT_EQ(PM_OpenPortByDeviceName(peer.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetBPS(8), 1); // fast enough that the send time-out is not raised
    ASSERT_EQ(PM_SetTxTimeout(60000), 1);
    Background send([] {
        std::vector<uint8_t> bytes(1 << 20, 'x');
        return PM_TxBytes(static_cast<int32_t>(bytes.size()), bytes.data());
    });
    // The close comes once bytes are on the line and the send waits for room.
    auto deadline = Clock::now() + 30s;
    while (peer.Waiting() <= 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GT(peer.Waiting(), 0);
    ASSERT_TRUE(send.WaitsInside());
    EXPECT_EQ(PM_ClosePort(), 1);
    bool ended = send.EndsWithin(30s);
    peer.Close(); // frees a send that never ended, so the test can finish
    ASSERT_TRUE(ended);
    EXPECT_EQ(send.future.get(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
}

// A driver that answers each write request a second late makes a 64 KiB send last minutes; a
// close from another thread ends it after the request in progress, as a short send.
TEST(PortThreadsModem, CloseFromAnotherThreadEndsASlowSend)
{
    ModemPlane plane;
    ModemDriverSim driver(plane.Dir());
    serialtest::SetCableType(5);
    ASSERT_EQ(PM_OpenPort(1), 1);
    driver.SetDelay(kModemWriteRequest, 1s);
    Background send([] {
        std::vector<uint8_t> bytes(1 << 16, 'x');
        return PM_TxBytes(static_cast<int32_t>(bytes.size()), bytes.data());
    });
    ASSERT_TRUE(driver.WaitReceived(1, 30s)); // a request waits for its late answer
    EXPECT_EQ(PM_ClosePort(), 1);
    ASSERT_TRUE(send.EndsWithin(30s));
    EXPECT_EQ(send.future.get(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_GetPortHandle(), -1);
}

// A long send on a Bluetooth channel, cut short by a close from another thread or done before
// it, never outlives the close nor leaves the channel open.
TEST(PortThreadsBluetooth, CloseFromAnotherThreadDuringASend)
{
    BluetoothWorldFile world(json{{"devices",
                                   {{{"address", kPhoneText},
                                     {"connected", true},
                                     {"records", {textRecord(3, "Dial-up Networking")}},
                                     {"phone", {{"echo", false}}}}}}});
    selectDevice(kPhone, {{"Dial-up Networking", 3}});
    ASSERT_EQ(PM_OpenBluetoothChannel(0), 1);
    const std::vector<uint8_t> bytes(64 << 20, 'x');
    Background send([&bytes] {
        return PM_TxBytes(static_cast<int32_t>(bytes.size()), bytes.data());
    });
    // The close comes once the send has begun.
    auto deadline = Clock::now() + 30s;
    while (world.Count("IOBluetoothRFCOMMChannelWriteSimple 3", true) == 0 &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(PM_ClosePort(), 1);
    ASSERT_TRUE(send.EndsWithin(30s));
    if (send.future.get() == 0) {
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT); // cut short, as a short send
    }
    EXPECT_EQ(TheCommBase, nullptr);
    EXPECT_EQ(world.Count("IOBluetoothRFCOMMChannelCloseChannel 3"), 1u);
}

namespace {

std::atomic<int> g_alarms{0};

void CountAlarm(int)
{
    g_alarms.fetch_add(1, std::memory_order_relaxed);
}

// A host's timer: SIGALRM every millisecond to this thread, caught by a handler installed with
// SA_RESTART, as GUI and server programs have them; undone at the end of the scope.
class AlarmEveryMillisecond {
  public:
    AlarmEveryMillisecond()
    {
        struct sigaction action {};
        action.sa_handler = CountAlarm;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &m_saved);
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = static_cast<pid_t>(gettid());
        EXPECT_EQ(timer_create(CLOCK_MONOTONIC, &event, &m_timer), 0);
        itimerspec every{{0, 1000000}, {0, 1000000}};
        EXPECT_EQ(timer_settime(m_timer, 0, &every, nullptr), 0);
    }
    ~AlarmEveryMillisecond()
    {
        timer_delete(m_timer);
        sigaction(SIGALRM, &m_saved, nullptr);
    }
    AlarmEveryMillisecond(const AlarmEveryMillisecond&) = delete;
    AlarmEveryMillisecond& operator=(const AlarmEveryMillisecond&) = delete;

  private:
    struct sigaction m_saved {};
    timer_t m_timer{};
};

// Receives exactly n bytes: a Bluetooth receive takes only what has arrived, so it is made once
// the bytes are there.
int32_t ReceiveExactly(uint8_t* buf, int32_t n)
{
    auto deadline = Clock::now() + 20s;
    while (PM_InBufferCount() < n && Clock::now() < deadline) {
        PM_SimpleSleep(1);
    }
    return PM_RxBytes(n, buf);
}

} // namespace

// A whole session (open, speed, exchanges, a long send and its echo, close) while the host's
// thread takes a caught signal every millisecond: every wait resumes to its deadline, nothing is
// lost, and no call fails.
TEST_P(PortThreads, WholeSessionUnderASignalEveryMillisecond)
{
    StartPeer(true);
    AlarmEveryMillisecond alarms;
    const int before = g_alarms.load();
    ASSERT_EQ(Open(), 1) << PM_GetCommErr();
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    ASSERT_EQ(PM_SetTxTimeout(5000), 1);
    ASSERT_EQ(PM_SetBPS(8), 1);
    for (int i = 0; i < 50; ++i) {
        const uint8_t command[] = {'A', 'T', static_cast<uint8_t>('0' + i % 10), '\r'};
        ASSERT_EQ(PM_TxBytes(4, command), 1) << "exchange " << i << ", error " << PM_GetCommErr();
        uint8_t echo[4] = {};
        ASSERT_EQ(ReceiveExactly(echo, 4), 1) << "exchange " << i << ", error " << PM_GetCommErr();
        EXPECT_EQ(std::string(echo, echo + 4), std::string(command, command + 4));
    }
    std::vector<uint8_t> block(3000);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 13);
    }
    ASSERT_EQ(PM_TxBytes(static_cast<int32_t>(block.size()), block.data()), 1) << PM_GetCommErr();
    std::vector<uint8_t> back(block.size());
    ASSERT_EQ(ReceiveExactly(back.data(), static_cast<int32_t>(back.size())), 1)
        << PM_GetCommErr();
    EXPECT_EQ(back, block);
    EXPECT_EQ(PM_ClosePort(), 1);
    // A timer's signals that arrive while one is pending merge, and a sanitizer's runtime holds
    // them back to its own safe points: a fast session sees far fewer than one a millisecond.
    EXPECT_GT(g_alarms.load() - before, 10) << "the signals did not arrive";
}

// The module's threads (a reader, the stack's delivery threads) block the host's signals, so a
// process-wide signal reaches a host thread and never interrupts a wait inside the module.
TEST_P(PortThreads, ModuleThreadsTakeNoneOfTheHostsSignals)
{
    StartPeer(true); // the peers' threads are the test's
    std::set<std::string> before;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        before.insert(task.path().filename());
    }
    ASSERT_EQ(Open(), 1);
    int checked = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (before.count(task.path().filename()) != 0) {
            continue;
        }
        std::ifstream status(task.path() / "status");
        std::string name, line;
        unsigned long long blocked = 0;
        while (std::getline(status, line)) {
            if (line.rfind("Name:", 0) == 0) {
                name = line;
            } else if (line.rfind("SigBlk:", 0) == 0) {
                blocked = std::stoull(line.substr(7), nullptr, 16);
            }
        }
        for (int signal : {SIGALRM, SIGCHLD, SIGWINCH, SIGINT, SIGUSR1}) {
            EXPECT_NE(blocked & (1ULL << (signal - 1)), 0u) << name << " takes signal " << signal;
        }
        ++checked;
    }
    if (GetParam() != Transport::Bluetooth) {
        EXPECT_GE(checked, 1) << "no reader thread seen";
    }
    EXPECT_EQ(PM_ClosePort(), 1);
}

// Opens (two threads), closes, sends, receives and queries all at once for a while. Nothing may
// crash or race, and at the end no reader thread, descriptor or exclusive claim is left.
TEST_P(PortThreads, EveryCallFromEveryThreadAtOnce)
{
    StartPeer(true);
    const int threadsBefore = proccount::Entries("/proc/self/task");
    const int fdsBefore = proccount::Entries("/proc/self/fd");

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int opener = 0; opener < 2; ++opener) {
        threads.emplace_back([&] {
            while (!stop) {
                if (Open() == 1) {
                    PM_SetRxTimeout(50);
                }
                std::this_thread::sleep_for(20ms);
                PM_ClosePort();
            }
        });
    }
    threads.emplace_back([&] {
        const uint8_t at[] = {'A', 'T', '\r'};
        while (!stop) {
            PM_TxBytes(3, at);
            PM_TxByte('x');
        }
    });
    threads.emplace_back([&] {
        uint8_t buf[8];
        while (!stop) {
            PM_RxBytes(4, buf);
            PM_RxByte(buf);
            PM_InBufferCount();
        }
    });
    threads.emplace_back([&] {
        PM_PortStatus status;
        const int32_t env[2] = {cableType, 0};
        while (!stop) {
            PM_GetCommErr();
            PM_ClearCommErr();
            PM_GetPortHandle();
            PM_SetTxTimeout(500);
            PM_GetRxTimeout();
            PM_SetRTS();
            PM_ClearDTR();
            PM_SetBPS(3);
            PM_GetPortStatus(&status);
            PM_ClearBuffer();
            PM_Log_TimeOutInBuf(50, 0);
            PM_SetInfo(env);
            PM_CountDevices();
        }
    });
    // A Bluetooth close pauses 2 s for the baseband: it gets longer for a few rounds.
    std::this_thread::sleep_for(GetParam() == Transport::Bluetooth ? 8s : 3s);
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    PM_ClosePort();

    EXPECT_EQ(PM_GetPortHandle(), -1);
    // No reader thread or descriptor left behind.
    EXPECT_EQ(SettlesTo("/proc/self/task", threadsBefore), threadsBefore);
    EXPECT_EQ(SettlesTo("/proc/self/fd", fdsBefore), fdsBefore);
    if (GetParam() == Transport::Tty) {
        int fd = open(cable->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        int exclusive = -1;
        ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0); // no claim left on the device
        close(fd);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, PortThreads,
                         ::testing::Values(Transport::Tty, Transport::Modem, Transport::Bluetooth),
                         TransportName);
