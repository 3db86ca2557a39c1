// Port calls from several host threads at once, as real hosts make them: a close from another
// thread cancels a waiting receive or send, and opens, closes, sends, receives and queries racing
// each other leave nothing behind. Run under ThreadSanitizer and AddressSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CableSim.h"
#include "RawPty.h"
#include "SerialTestSupport.h"
#include "portmdl/PortMdl.h"

using namespace std::chrono_literals;
using pmsim::CableSim;
using Clock = std::chrono::steady_clock;

namespace {

int CountEntries(const char* dir)
{
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

// Runs call on its own thread; the result once it ends, or nullopt if it has not ended within
// limit (the thread is then left to the test's clean-up).
template <typename Call> struct Background {
    explicit Background(Call call) : future(std::async(std::launch::async, call)) {}
    std::future<int32_t> future;
    bool EndsWithin(std::chrono::seconds limit) const
    {
        return future.wait_for(limit) == std::future_status::ready;
    }
};

class PortThreads : public serialtest::SerialTest {};

} // namespace

// A host cancels a receive that waits for a minute by closing the port from another thread.
TEST_F(PortThreads, CloseFromAnotherThreadEndsAWaitingReceive)
{
    CableSim cable;
    cable.SetSilent(true);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(60000), 1);
    std::this_thread::sleep_for(600ms); // the reader is polling
    Background receive([] {
        uint8_t buf[10];
        return PM_RxBytes(10, buf);
    });
    std::this_thread::sleep_for(300ms);
    auto start = Clock::now();
    EXPECT_EQ(PM_ClosePort(), 1);
    ASSERT_TRUE(receive.EndsWithin(30s));
    EXPECT_LT(Clock::now() - start, 30s);
    EXPECT_EQ(receive.future.get(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT); // as a time-out ends it
    EXPECT_EQ(PM_GetPortHandle(), -1);
}

// A send that waits for a peer that does not read ends early too, as a short send.
TEST_F(PortThreads, CloseFromAnotherThreadEndsAWaitingSend)
{
    RawPty peer; // never read
    ASSERT_EQ(PM_OpenPortByDeviceName(peer.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetBPS(8), 1); // fast enough that the send time-out is not raised
    ASSERT_EQ(PM_SetTxTimeout(60000), 1);
    Background send([] {
        std::vector<uint8_t> bytes(1 << 20, 'x');
        return PM_TxBytes(static_cast<int32_t>(bytes.size()), bytes.data());
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(PM_ClosePort(), 1);
    bool ended = send.EndsWithin(30s);
    peer.Close(); // frees a send that never ended, so the test can finish
    ASSERT_TRUE(ended);
    EXPECT_EQ(send.future.get(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
}

// Opens (two threads), closes, sends, receives and queries all at once for a while. Nothing may
// crash or race, and at the end no reader thread, descriptor or exclusive claim is left.
TEST_F(PortThreads, EveryCallFromEveryThreadAtOnce)
{
    CableSim cable;
    cable.SetEcho(true);
    const std::string path = cable.SlavePath();
    const int threadsBefore = CountEntries("/proc/self/task");
    const int fdsBefore = CountEntries("/proc/self/fd");

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int opener = 0; opener < 2; ++opener) {
        threads.emplace_back([&] {
            while (!stop) {
                if (PM_OpenPortByDeviceName(path.c_str()) == 1) {
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
        const int32_t env[2] = {1003, 0};
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
    std::this_thread::sleep_for(3s);
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    PM_ClosePort();

    EXPECT_EQ(PM_GetPortHandle(), -1);
    EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore); // no reader left running
    EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);       // no descriptor left open
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int exclusive = -1;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0); // no claim left on the device
    close(fd);
}
