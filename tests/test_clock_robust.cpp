// The clock and the pauses against the outside world: a wall clock that is set back, and signals
// arriving all the time. This program's gettimeofday serves a wall clock the test can step.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <sys/time.h>
#include <time.h>

#include "PipeTransport.h"
#include "portmdl/PortMdl.h"

using namespace std::chrono_literals;

namespace {
std::atomic<long> g_nWallOffsetSeconds{0};
}

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict) noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec + g_nWallOffsetSeconds;
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}

// The wall clock is set back an hour while a one-second receive waits: the tick does not move
// back, and the receive ends after its second, not after an hour.
TEST(ClockRobust, WallClockSetBackChangesNoWait)
{
    PipeTransport t;
    t.WithReader(false);
    ASSERT_EQ(t.Open("pipe"), 1);
    t.SetReadTimeOut(1000);
    uint32_t before = MACTickCount();
    auto receive = std::async(std::launch::async, [&] {
        unsigned char buf[1];
        return t.readBuffer(buf, 1);
    });
    std::this_thread::sleep_for(200ms);
    g_nWallOffsetSeconds = -3600;
    bool ended = receive.wait_for(30s) == std::future_status::ready;
    uint32_t after = MACTickCount();
    g_nWallOffsetSeconds = 0; // ends a receive that waits for the hour, so the test can finish
    EXPECT_TRUE(ended);
    EXPECT_EQ(receive.get(), 0);
    EXPECT_LT(after - before, 30000u); // no step back (which would wrap), no hour ahead
    EXPECT_EQ(t.Close(), 1);
}

// With a signal every millisecond, a pause still lasts its length.
TEST(ClockRobust, SignalsDoNotCutPausesShort)
{
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart: an interrupted sleep returns early unless resumed
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    struct itimerval every = {{0, 1000}, {0, 1000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);

    for (uint32_t ms : {1u, 20u, 300u}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PM_SimpleSleep(ms), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
    }
    auto start = std::chrono::steady_clock::now();
    PM_Sleep(200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);

    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
}
