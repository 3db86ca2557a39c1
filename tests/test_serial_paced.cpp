// Long sends at the line's own speed: the phone takes the bytes as fast as its line carries them,
// so a send of many times the send time-out goes through while bytes keep moving, and ends short
// only once they stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "LogProbe.h"
#include "RawPty.h"
#include "SerialTestSupport.h"
#include "portmdl/PortMdl.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
    }
    return s;
}

// The phone's side of the line: reads the pseudo-terminal no faster than a real line of the given
// rate carries bytes (ten bits a character), until it has taken stopAfter bytes.
class PacedPeer {
  public:
    PacedPeer(int fd, uint32_t bitsPerSecond, size_t stopAfter)
        : m_thread([this, fd, bitsPerSecond, stopAfter] { Run(fd, bitsPerSecond, stopAfter); })
    {
    }
    ~PacedPeer() { Stop(); }
    PacedPeer(const PacedPeer&) = delete;
    PacedPeer& operator=(const PacedPeer&) = delete;

    // Ends the reading and gives what was read.
    std::string Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_got;
    }

  private:
    void Run(int fd, uint32_t bitsPerSecond, size_t stopAfter)
    {
        const double bytesPerMs = bitsPerSecond / 10.0 / 1000.0;
        const auto start = Clock::now();
        char buf[4096];
        while (!m_stop && m_got.size() < stopAfter) {
            auto ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            size_t allowed = static_cast<size_t>(ms * bytesPerMs);
            allowed = std::min(allowed, stopAfter);
            if (allowed <= m_got.size()) {
                poll(nullptr, 0, 2);
                continue;
            }
            pollfd in = {fd, POLLIN, 0};
            if (poll(&in, 1, 10) <= 0) {
                continue;
            }
            ssize_t n = read(fd, buf, std::min(sizeof buf, allowed - m_got.size()));
            if (n > 0) {
                m_got.append(buf, static_cast<size_t>(n));
            }
        }
    }

    std::atomic<bool> m_stop{false};
    std::string m_got;
    std::thread m_thread;
};

// The peer reads at peerBitsPerSecond: the line's own rate, or a multiple of it where the line's
// rate would only make the test longer (the send's budget follows the line's rate, so a faster
// peer proves the same: bytes that keep moving for many send time-outs all go through).
struct PacedCase {
    uint32_t speedCode;
    uint32_t peerBitsPerSecond;
    size_t bytes;
};

class PacedSend : public serialtest::SerialTest, public ::testing::WithParamInterface<PacedCase> {};
class PacedStop : public serialtest::SerialTest {};

} // namespace

// Many times the send time-out of bytes at the line's speed all arrive, in order, in one send.
TEST_P(PacedSend, GoesThroughWhileThePeerKeepsReading)
{
    const PacedCase c = GetParam();
    RawPty line;
    ASSERT_EQ(PM_OpenPortByDeviceName(line.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetBPS(c.speedCode), 1);
    ASSERT_EQ(PM_SetTxTimeout(500), 1);
    const std::string bytes = Pattern(c.bytes);
    PacedPeer peer(line.MasterFd(), c.peerBitsPerSecond, bytes.size());
    ASSERT_EQ(PM_TxBytes(static_cast<int32_t>(bytes.size()),
                         reinterpret_cast<const uint8_t*>(bytes.data())),
              1)
        << "error " << PM_GetCommErr();
    std::string got = peer.Stop();
    got += line.ReadAll();
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(PM_GetTxTimeout(), 500u);
    EXPECT_EQ(PM_ClosePort(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    LineSpeeds, PacedSend,
    ::testing::Values(PacedCase{3, 9600, 32 << 10}, PacedCase{3, 8 * 9600, 256 << 10},
                      PacedCase{8, 115200, 32 << 10}, PacedCase{8, 115200, 256 << 10},
                      PacedCase{9, 230400, 32 << 10}, PacedCase{9, 230400, 256 << 10}),
    [](const ::testing::TestParamInfo<PacedCase>& info) {
        return "Code" + std::to_string(info.param.speedCode) + "_" +
               std::to_string(info.param.bytes >> 10) + "KiB";
    });

// A peer that stops reading half way: the send ends short once nothing has moved for the send
// time-out (3 at the short-send line), with the first half on the line, and the port goes on.
TEST_F(PacedStop, SendEndsShortWhenThePeerStopsHalfWay)
{
    RawPty line;
    LogProbe log;
    log.Open();
    ASSERT_EQ(PM_OpenPortByDeviceName(line.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetBPS(9), 1);
    ASSERT_EQ(PM_SetTxTimeout(300), 1);
    // Far more than the pseudo-terminal buffers, so the rest cannot hide in it.
    const std::string bytes = Pattern(256 << 10);
    PacedPeer peer(line.MasterFd(), 230400, bytes.size() / 2);
    EXPECT_EQ(PM_TxBytes(static_cast<int32_t>(bytes.size()),
                         reinterpret_cast<const uint8_t*>(bytes.data())),
              0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(log.Slots().portLine, 824);
    std::string got = peer.Stop();
    EXPECT_EQ(got, bytes.substr(0, got.size()));
    EXPECT_EQ(got.size(), bytes.size() / 2);
    // The port still sends once the peer reads again.
    line.ReadAll();
    const uint8_t more[] = {'A', 'T', '\r'};
    EXPECT_EQ(PM_TxBytes(3, more), 1);
    EXPECT_EQ(PM_ClosePort(), 1);
}
