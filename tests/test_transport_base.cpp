#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

#include "LogProbe.h"
#include "PipeTransport.h"
#include "ProcessCounts.h"

namespace {

EI_RingBuff& queue()
{
    return EI_CommBaseForMAC::g_cRingBuff;
}

std::string text(const unsigned char* p, int n)
{
    return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

void phoneSends(PipeTransport& t, const std::string& bytes)
{
    ASSERT_EQ(write(t.PhoneWriteFd(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
}

// A transport that the test opened without its reader: the test feeds the queue itself.
class OpenWithoutReader : public ::testing::Test {
  protected:
    void SetUp() override
    {
        t.WithReader(false);
        ASSERT_EQ(t.Open("pipe"), 1);
        t.clearBuffer();
    }
    void TearDown() override { t.Close(); }

    void feed(const std::string& bytes)
    {
        std::string copy = bytes;
        ASSERT_EQ(t.writeBuffer(reinterpret_cast<unsigned char*>(copy.data()),
                                static_cast<int>(copy.size())),
                  1);
    }

    PipeTransport t;
};

} // namespace

TEST(TransportBase, ExitStoresOnlyNonZeroCodes)
{
    PipeTransport t;
    EXPECT_EQ(t.PM_Exit(3), 0);
    EXPECT_EQ(t.EI_GetLastError(), 3u);
    EXPECT_EQ(t.PM_Exit(0), 0);
    EXPECT_EQ(t.EI_GetLastError(), 3u);
    t.EI_ClearLastError();
    EXPECT_EQ(t.EI_GetLastError(), 0u);
}

TEST(TransportBase, ClosedTransportRefusesWithCodeEight)
{
    PipeTransport t;
    unsigned char buf[4] = {1, 2, 3, 4};
    int got = 77;
    struct Case {
        const char* name;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"Read", [&] { return t.Read(buf, 4, &got); }},
        {"readBuffer", [&] { return t.readBuffer(buf, 4); }},
        {"writeBuffer", [&] { return t.writeBuffer(buf, 4); }},
        {"countBuffer", [&] { return t.countBuffer(); }},
    };
    for (const auto& c : cases) {
        t.EI_ClearLastError();
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(t.EI_GetLastError(), 8u) << c.name;
    }
    EXPECT_EQ(got, 77);

    // The queue is emptied whether the port is open or not.
    int put = 0;
    queue().Put(buf, 4, &put);
    EXPECT_LE(t.clearBuffer(), 0);
    EXPECT_EQ(queue().m_nCount, 0);
    EXPECT_EQ(queue().Flush(), 0);
}

TEST_F(OpenWithoutReader, ReadDeliversExactlyTheCountAndLeavesTheRest)
{
    int got = 55;
    unsigned char buf[16] = {};
    EXPECT_EQ(t.Read(buf, 0, &got), 1); // nothing asked, nothing taken
    EXPECT_EQ(got, 0);

    feed("0123456789");
    EXPECT_EQ(t.Read(buf, 4, &got), 1);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(text(buf, 4), "0123");
    EXPECT_EQ(t.countBuffer(), 6);
    EXPECT_EQ(t.Read(buf, 6, &got), 1);
    EXPECT_EQ(text(buf, 6), "456789");
    EXPECT_EQ(t.countBuffer(), 0);
}

TEST_F(OpenWithoutReader, ShortBufferTimesOutAndTakesNothing)
{
    feed("0123456789");
    unsigned char buf[16] = {};
    int got = 55;
    for (uint32_t timeout : {0u, 30u}) {
        t.EI_ClearLastError();
        t.SetReadTimeOut(timeout);
        EXPECT_EQ(t.Read(buf, 12, &got), 0);
        EXPECT_EQ(t.EI_GetLastError(), 3u);
        EXPECT_EQ(got, 55);
        EXPECT_EQ(t.countBuffer(), 10);
    }
    EXPECT_EQ(t.readBuffer(buf, 10), 1);
    EXPECT_EQ(text(buf, 10), "0123456789");
}

TEST_F(OpenWithoutReader, DeadlinePastTheClockWrapEndsAfterOneTurn)
{
    PM_SimpleSleep(5); // the clock has left its first millisecond
    t.SetReadTimeOut(UINT32_MAX);
    unsigned char buf[1];
    EXPECT_EQ(t.readBuffer(buf, 1), 0);
    EXPECT_EQ(t.EI_GetLastError(), 3u);
}

// A receive larger than the queue can ever hold cannot complete; it fails at once and takes
// nothing, rather than waiting out its time-out or losing what the queue holds.
TEST_F(OpenWithoutReader, ReceiveBeyondTheQueueFailsAtOnce)
{
    feed("abc");
    t.SetReadTimeOut(60000);
    std::vector<unsigned char> big(static_cast<size_t>(queue().Capacity()) + 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(t.readBuffer(big.data(), static_cast<int>(big.size())), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(t.EI_GetLastError(), 3u);
    EXPECT_EQ(t.countBuffer(), 3);
}

TEST_F(OpenWithoutReader, NegativeCountsTouchNothing)
{
    feed("abc");
    unsigned char buf[4] = {9, 9, 9, 9};
    int got = 5;
    EXPECT_EQ(t.Read(buf, -1, &got), 0);
    EXPECT_EQ(t.EI_GetLastError(), 8u);
    EXPECT_EQ(t.readBuffer(buf, -1), 0);
    EXPECT_EQ(t.Write(buf, -1, &got), 0);
    EXPECT_EQ(got, 5);
    EXPECT_TRUE(t.sends.empty());
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(t.countBuffer(), 3);
}

TEST(TransportBase, CloseWithoutReaderOnlyClosesTheDevice)
{
    PipeTransport t;
    EXPECT_EQ(t.Close(), 1);
    EXPECT_EQ(t.closes, 1);
    t.faults.close = true;
    EXPECT_EQ(t.Close(), 0);
    EXPECT_EQ(t.EI_GetLastError(), 1u);
}

// The reader starts with the open, empties the queue of an earlier port, feeds what the device
// delivers, and is gone after Close. The two start pauses (the opener's 100 ms, then the reader's
// 500 ms) are logged pauses.
TEST(TransportBaseReader, LivesFromOpenToClose)
{
    LogProbe log;
    log.Open();
    int before = proccount::Threads();
    unsigned char stale[3] = {'o', 'l', 'd'};
    int put = 0;
    queue().Put(stale, 3, &put);

    PipeTransport t;
    ASSERT_EQ(t.Open("pipe"), 1);
    EXPECT_EQ(t.m_bRunning.load(), 1);
    // (A sanitizer may add a thread of its own with the first thread the process starts.)
    int during = proccount::Threads();
    EXPECT_GE(during, before + 1);
    EXPECT_EQ(t.countBuffer(), 0);

    phoneSends(t, "hello, host: this is longer than one read pass");
    t.SetReadTimeOut(10000);
    unsigned char buf[64];
    int got = 0;
    ASSERT_EQ(t.Read(buf, 46, &got), 1);
    EXPECT_EQ(text(buf, 46), "hello, host: this is longer than one read pass");

    EXPECT_EQ(t.Close(), 1);
    EXPECT_EQ(t.closes, 1);
    EXPECT_EQ(t.m_bRunning.load(), 0);
    EXPECT_EQ(t.m_bIsOpen.load(), 0);
    EXPECT_EQ(proccount::Threads(), during - 1);
    std::string records = log.Text();
    EXPECT_EQ(records.substr(records.find("\nRD:")), "\nRD:<100><500>");
}

// With the device closed under it, the reader idles and reads nothing until Close stops it.
TEST(TransportBaseReader, IdlesWhileTheDeviceIsClosed)
{
    PipeTransport t;
    t.m_nRxSleepTime = 5;
    ASSERT_EQ(t.Open("pipe"), 1);
    t.m_bIsOpen = 0;
    phoneSends(t, "unread");
    PM_SimpleSleep(600); // past the reader's start pause
    int waiting = 0;
    ASSERT_EQ(ioctl(t.PhoneWriteFd(), FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 6);
    EXPECT_EQ(t.Close(), 1);
}

// A device that delivers more than the queue holds while the host takes nothing: the reader is
// held back instead of dropping bytes, Close still stops it, and what was queued is whole.
TEST(TransportBaseReader, FullQueueHoldsTheReaderBackAndCloseStillStopsIt)
{
    auto t = std::make_unique<PipeTransport>(4096);
    ASSERT_EQ(t->Open("pipe"), 1);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> written{0};
    int phone = t->PhoneWriteFd();
    fcntl(phone, F_SETFL, fcntl(phone, F_GETFL) | O_NONBLOCK);
    std::thread device([&] {
        unsigned char block[4096];
        uint64_t at = 0;
        while (!stop) {
            for (int k = 0; k < 4096; ++k) {
                block[k] = static_cast<unsigned char>((at + k) * 131 >> 3);
            }
            ssize_t n = write(phone, block, sizeof(block));
            if (n > 0) {
                at += static_cast<uint64_t>(n);
                written = at;
            } else {
                struct pollfd room = {phone, POLLOUT, 0};
                poll(&room, 1, 10);
            }
        }
    });
    // Wait until the device stops taking bytes: the queue and the device's buffer are full.
    uint64_t last = 0;
    for (int still = 0; still < 20;) {
        PM_SimpleSleep(50);
        uint64_t now = written;
        still = now == last && now > 0 ? still + 1 : 0;
        last = now;
    }
    EXPECT_GT(last, static_cast<uint64_t>(queue().Capacity()));
    EXPECT_EQ(t->Close(), 1);
    stop = true;
    device.join();

    // Every byte queued is there, from the first one on.
    std::vector<unsigned char> buf(65536);
    uint64_t at = 0;
    for (int got = 1; got > 0;) {
        queue().Get(buf.data(), 65536, &got);
        for (int k = 0; k < got; ++k, ++at) {
            ASSERT_EQ(buf[k], static_cast<unsigned char>(at * 131 >> 3)) << "byte " << at;
        }
    }
    EXPECT_GE(at, static_cast<uint64_t>(queue().Capacity())); // the in-pipe alone holds that much
    EXPECT_LE(at, last);
}
