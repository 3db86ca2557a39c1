// A receive up to the queue's documented capacity succeeds whatever pipe size the system grants:
// here the queue's pipe is forced down to one page, as a user who holds many pipes gets it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "PipeTransport.h"

namespace {

unsigned char StreamByte(size_t i)
{
    return static_cast<unsigned char>((i * 2654435761u) >> 13 ^ (i >> 8));
}

} // namespace

TEST(QueueSmallPipes, ReceiveUpToTheCapacityWithOnePagePipes)
{
    EI_RingBuff& queue = EI_CommBaseForMAC::g_cRingBuff;
    const long page = sysconf(_SC_PAGESIZE);
    ASSERT_EQ(fcntl(queue.m_nInPipe[1], F_SETPIPE_SZ, page), page);
    EXPECT_EQ(queue.Capacity(), EI_RingBuff::kCapacity);

    for (int count : {5000, 64 * 1024, EI_RingBuff::kCapacity}) {
        SCOPED_TRACE(count);
        PipeTransport t(4096);
        ASSERT_EQ(t.Open("pipe"), 1);
        t.SetReadTimeOut(60000);
        std::thread phone([&] {
            std::vector<unsigned char> bytes(static_cast<size_t>(count));
            for (size_t i = 0; i < bytes.size(); ++i) {
                bytes[i] = StreamByte(i);
            }
            for (size_t at = 0; at < bytes.size();) {
                ssize_t n = write(t.PhoneWriteFd(), bytes.data() + at, bytes.size() - at);
                if (n <= 0) {
                    break;
                }
                at += static_cast<size_t>(n);
            }
        });
        std::vector<unsigned char> got(static_cast<size_t>(count));
        int n = 0;
        EXPECT_EQ(t.Read(got.data(), count, &n), 1);
        phone.join();
        EXPECT_EQ(n, count);
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i], StreamByte(i)) << "byte " << i;
        }
        EXPECT_EQ(t.Close(), 1);
    }
}
