#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Clock.h"
#include "portmdl/PortMdl.h"

TEST(Clock, ElapsedBorrowsASecondWhenMicrosecondsFall)
{
    struct Case {
        timeval base, now;
        uint32_t ms;
    };
    const Case cases[] = {
        {{10, 900000}, {12, 100000}, 1200},
        {{10, 0}, {10, 999}, 0},
        {{10, 0}, {11, 1000}, 1001},
        {{0, 500000}, {4294967, 296000}, 4294966796u},
        {{0, 0}, {4294968, 0}, 704}, // wraps after 2^32 ms
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ElapsedMillis(c.base, c.now), c.ms) << c.base.tv_sec << "." << c.base.tv_usec;
    }
}

TEST(Clock, TickFollowsWallTime)
{
    uint32_t a = MACTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    uint32_t b = MACTickCount();
    // A loaded machine may oversleep; the tick must never run slow.
    EXPECT_GE(b - a, 249u);
    EXPECT_LT(b - a, 1000u);
}

TEST(Clock, SimpleSleepPausesForItsLength)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PM_SimpleSleep(30), 0);
    auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GE(slept, std::chrono::milliseconds(30));

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(PM_SimpleSleep(1500 % 1000), 0); // 500 ms: the nanosecond part alone
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(Clock, ZeroPauseOnlyYields)
{
    EXPECT_EQ(PM_SimpleSleep(0), 0);
}
