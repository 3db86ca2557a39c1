#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "RingBuff.h"

namespace {

// Byte i of a test stream: not periodic at any pipe or chunk size, so a lost, doubled or swapped
// piece shows.
unsigned char streamByte(uint64_t i)
{
    return static_cast<unsigned char>((i * 2654435761u) >> 13 ^ (i >> 8));
}

std::vector<unsigned char> streamBytes(uint64_t from, size_t count)
{
    std::vector<unsigned char> bytes(count);
    for (size_t k = 0; k < count; ++k) {
        bytes[k] = streamByte(from + k);
    }
    return bytes;
}

int put(EI_RingBuff& q, std::vector<unsigned char> bytes)
{
    int queued = -1;
    EXPECT_EQ(q.Put(bytes.data(), static_cast<int>(bytes.size()), &queued), 1);
    return queued;
}

std::vector<unsigned char> get(EI_RingBuff& q, int len, int* got)
{
    std::vector<unsigned char> bytes(static_cast<size_t>(len > 0 ? len : 1), 0xEE);
    EXPECT_EQ(q.Get(bytes.data(), len, got), 1);
    bytes.resize(static_cast<size_t>(*got > 0 ? *got : 0));
    return bytes;
}

} // namespace

TEST(RingBuff, EmptyQueueGivesNothing)
{
    EI_RingBuff q(32768);
    int got = 99;
    unsigned char buf[8];
    EXPECT_EQ(q.Get(buf, 8, &got), 1);
    EXPECT_LE(got, 0);
    EXPECT_EQ(q.m_nCount, 0);

    EXPECT_EQ(put(q, {}), 0); // an empty block queues nothing
    EXPECT_EQ(q.Flush(), 0);
    EXPECT_EQ(q.m_nCount, 0);
}

TEST(RingBuff, BytesComeOutInOrderAndSurplusStaysCounted)
{
    EI_RingBuff q(32768);
    ASSERT_EQ(put(q, streamBytes(0, 10)), 10);
    q.Flush();
    EXPECT_EQ(q.m_nCount, 10);

    int got = 0;
    EXPECT_EQ(get(q, 4, &got), streamBytes(0, 4));
    EXPECT_EQ(q.m_nCount, 6);
    ASSERT_EQ(put(q, streamBytes(10, 5)), 5);
    EXPECT_EQ(get(q, 100, &got), streamBytes(4, 11)); // takes what there is, oldest first
    EXPECT_EQ(q.m_nCount, 0);
}

TEST(RingBuff, StagingStartsOverWhenABlockWouldPassItsEnd)
{
    EI_RingBuff q(32768);
    ASSERT_EQ(put(q, streamBytes(0, 16000)), 16000);
    EXPECT_EQ(q.m_nPutPos, 16000u);
    ASSERT_EQ(put(q, streamBytes(16000, 384)), 384); // exactly up to the end
    EXPECT_EQ(q.m_nPutPos, 16384u);
    ASSERT_EQ(put(q, streamBytes(16384, 1000)), 1000);
    EXPECT_EQ(q.m_nPutPos, 1000u);
    ASSERT_EQ(put(q, streamBytes(17384, 40000)), 40000); // larger than the staging area
    int got = 0;
    EXPECT_EQ(get(q, 57384, &got), streamBytes(0, 57384));
}

TEST(RingBuff, ClearDiscardsEverythingQueued)
{
    EI_RingBuff q(32768);
    ASSERT_EQ(put(q, streamBytes(0, 3000)), 3000);
    q.Flush();
    ASSERT_EQ(put(q, streamBytes(3000, 500)), 500); // still in the in-pipe
    EXPECT_LE(q.Clear(), 0);
    EXPECT_EQ(q.m_nCount, 0);
    EXPECT_EQ(q.Flush(), 0);

    ASSERT_EQ(put(q, streamBytes(7, 9)), 9);
    int got = 0;
    EXPECT_EQ(get(q, 9, &got), streamBytes(7, 9)); // only what came after the clear
}

// The store must never be handed more than it holds: what does not fit waits in the in-pipe and
// comes out later, in order.
TEST(RingBuff, FlushMovesNoMoreThanTheStoreHolds)
{
    EI_RingBuff q(32768);
    const int capacity = q.Capacity();
    ASSERT_GT(capacity, 16384);
    uint64_t queued = 0;
    while (q.m_nCount < capacity) {
        queued += static_cast<uint64_t>(put(q, streamBytes(queued, 4096)));
        q.Flush();
        ASSERT_LE(q.m_nCount, capacity);
    }
    ASSERT_EQ(put(q, streamBytes(queued, 5000)), 5000);
    queued += 5000;
    q.Flush();
    EXPECT_EQ(q.m_nCount, capacity);

    int got = 0;
    std::vector<unsigned char> all;
    while (all.size() < queued) {
        auto piece = get(q, 77777, &got);
        ASSERT_GT(got, 0) << "bytes lost after " << all.size();
        all.insert(all.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(all, streamBytes(0, queued));
    EXPECT_EQ(q.m_nCount, 0);
}

// Without leave to wait, a full in-pipe makes Put report what it really queued; nothing queued is
// lost or reordered.
TEST(RingBuff, PutReportsWhatAFullInPipeTook)
{
    EI_RingBuff q(32768);
    const int block = 16384;
    uint64_t queued = 0;
    for (;;) {
        int n = put(q, streamBytes(queued, block));
        queued += static_cast<uint64_t>(n);
        if (n < block) {
            break;
        }
    }
    int got = 0;
    std::vector<unsigned char> all;
    do {
        auto piece = get(q, 65536, &got);
        all.insert(all.end(), piece.begin(), piece.end());
    } while (got > 0);
    EXPECT_EQ(all.size(), queued);
    EXPECT_EQ(all, streamBytes(0, queued));
}

TEST(RingBuff, WaitingPutGivesUpWhenTheCallerStops)
{
    EI_RingBuff q(32768);
    while (put(q, streamBytes(0, 16384)) > 0) {
    }
    std::atomic<int32_t> keepWaiting{1};
    int queued = -1;
    std::thread producer([&] {
        std::vector<unsigned char> block(4096, 1);
        q.Put(block.data(), 4096, &queued, &keepWaiting);
    });
    usleep(50000);
    keepWaiting = 0;
    producer.join();
    EXPECT_EQ(queued, 0);
}

// A sustained stream many times the pipes' size: the producer is held back while the queue is
// full, and every byte arrives once, in order.
TEST(RingBuff, StreamFarLargerThanThePipesArrivesWhole)
{
    EI_RingBuff q(32768);
    const uint64_t total = 24u << 20;
    std::atomic<int32_t> running{1};
    std::atomic<uint64_t> produced{0};
    std::thread producer([&] {
        unsigned char block[320];
        uint64_t at = 0;
        for (int size = 1; at < total; size = size % 300 + 17) {
            int len = static_cast<int>(std::min<uint64_t>(size, total - at));
            for (int k = 0; k < len; ++k) {
                block[k] = streamByte(at + k);
            }
            int queued = 0;
            q.Put(block, len, &queued, &running);
            at += static_cast<uint64_t>(queued);
            if (queued < len) {
                break;
            }
        }
        produced = at;
    });

    std::vector<unsigned char> buf(300000);
    uint64_t at = 0;
    size_t wanted = 1;
    auto progress = std::chrono::steady_clock::now();
    while (at < total && std::chrono::steady_clock::now() - progress < std::chrono::seconds(30)) {
        int got = 0;
        q.Get(buf.data(), static_cast<int>(wanted), &got);
        if (got <= 0) {
            std::this_thread::yield();
            continue;
        }
        progress = std::chrono::steady_clock::now();
        for (int k = 0; k < got; ++k) {
            if (buf[k] != streamByte(at + k)) {
                ADD_FAILURE() << "byte " << at + k << " wrong";
                at = total;
                break;
            }
        }
        at += static_cast<uint64_t>(got);
        wanted = wanted * 7 % buf.size() + 1;
    }
    running = 0;
    producer.join();
    EXPECT_EQ(produced.load(), total);
    EXPECT_EQ(at, total);
}

namespace {

// Keeps only `spare` descriptors free below the limit; gives the rest back on destruction.
class FewDescriptors {
  public:
    explicit FewDescriptors(int spare)
    {
        getrlimit(RLIMIT_NOFILE, &m_old);
        struct rlimit low = m_old;
        low.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            held.push_back(fd);
        }
        for (int i = 0; i < spare && !held.empty(); ++i) {
            close(held.back());
            held.pop_back();
        }
    }
    ~FewDescriptors()
    {
        for (int fd : held) {
            close(fd);
        }
        setrlimit(RLIMIT_NOFILE, &m_old);
    }
    std::vector<int> held;

  private:
    struct rlimit m_old;
};

} // namespace

// A queue without its pipes works on no descriptor at all: everything fails cleanly, and the
// destructor closes nothing that belongs to someone else.
TEST(RingBuff, WithoutPipesTouchesNoDescriptor)
{
    for (int spare : {0, 1}) { // no descriptor free; one, too few for the pipe
        SCOPED_TRACE(spare);
        FewDescriptors few(spare);
        {
            EI_RingBuff q(32768);
            EXPECT_EQ(q.m_nInPipe[0], -1);
            EXPECT_EQ(q.m_nInPipe[1], -1);
            EXPECT_EQ(q.Capacity(), 0);
            unsigned char buf[4] = {1, 2, 3, 4};
            int n = 99;
            EXPECT_EQ(q.Put(buf, 4, &n), 1);
            EXPECT_EQ(n, 0);
            EXPECT_EQ(q.Flush(), 0);
            EXPECT_EQ(q.Get(buf, 4, &n), 1);
            EXPECT_LE(n, 0);
            EXPECT_LE(q.Clear(), 0);
            EXPECT_EQ(q.m_nCount, 0);
        }
        for (int fd : few.held) {
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " was closed";
        }
        // The half-built in-pipe was given back: both spare descriptors are free again.
        int a = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int b = open("/dev/null", O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(a >= 0 && b >= 0, spare == 2);
        for (int fd : {a, b}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
}
