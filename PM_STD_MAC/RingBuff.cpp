// The receive queue on two non-blocking pipes.
#include "RingBuff.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Pipes are raised to this size where the system allows it (the default ceiling for an
// unprivileged process); otherwise they keep the system's default.
constexpr int kWantedPipeSize = 1 << 20;
// How long a waiting Put sleeps before it checks again whether it should keep waiting.
constexpr int kPutPollMs = 10;

void closeEnds(int32_t ends[2])
{
    for (int i = 0; i < 2; ++i) {
        if (ends[i] >= 0) {
            close(ends[i]);
            ends[i] = -1;
        }
    }
}

bool makePipe(int32_t ends[2])
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    ends[0] = fds[0];
    ends[1] = fds[1];
    EI_RingBuff::SetFlag(ends[0]);
    EI_RingBuff::SetFlag(ends[1]);
    fcntl(ends[1], F_SETPIPE_SZ, kWantedPipeSize);
    return true;
}

} // namespace

EI_RingBuff::EI_RingBuff(int /*size*/)
    : m_nInPipe{-1, -1}, m_nOutPipe{-1, -1}, m_nCount(0), m_cBuff{}, m_nPutPos(0),
      m_nCapacity(0), m_cPending{}, m_nPendingPos(0), m_nPendingLen(0)
{
    // Without both pipes the queue stays unusable (every descriptor -1) rather than half built.
    if (!makePipe(m_nInPipe) || !makePipe(m_nOutPipe)) {
        closeEnds(m_nInPipe);
        closeEnds(m_nOutPipe);
        return;
    }
    // A pipe holds its bytes in pages, and a write joins the last page only if it fits there
    // whole, so each page may waste up to one chunk less a byte; the page being read may be
    // partly spent. What is left is sure to fit whatever the pattern of writes and reads.
    long page = sysconf(_SC_PAGESIZE);
    int size = fcntl(m_nOutPipe[1], F_GETPIPE_SZ);
    if (page > kChunk && size > page) {
        m_nCapacity = static_cast<int32_t>((size / page - 1) * (page - (kChunk - 1)));
    }
}

EI_RingBuff::~EI_RingBuff()
{
    closeEnds(m_nInPipe);
    closeEnds(m_nOutPipe);
}

int EI_RingBuff::SetFlag(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int EI_RingBuff::Put(unsigned char* data, int len, int* put,
                     const std::atomic<int32_t>* keepWaiting)
{
    const uint32_t stage = sizeof(m_cBuff);
    int queued = 0;
    bool givenUp = m_nInPipe[1] < 0;
    while (!givenUp && queued < len) {
        uint32_t piece = std::min(static_cast<uint32_t>(len - queued), stage);
        // A block that would run past the end of the staging area is copied to its start.
        if (m_nPutPos + piece > stage) {
            m_nPutPos = 0;
        }
        unsigned char* staged = m_cBuff + m_nPutPos;
        std::memcpy(staged, data + queued, piece);
        m_nPutPos += piece;

        uint32_t written = 0;
        while (written < piece) {
            ssize_t n = write(m_nInPipe[1], staged + written, piece - written);
            if (n > 0) {
                written += static_cast<uint32_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN && keepWaiting != nullptr && keepWaiting->load()) {
                // Full: wait for the consumer to make room, checking the caller's flag now and
                // then so that stopping the producer never hangs here.
                struct pollfd room = {m_nInPipe[1], POLLOUT, 0};
                poll(&room, 1, kPutPollMs);
            } else {
                givenUp = true;
                break;
            }
        }
        queued += static_cast<int>(written);
    }
    if (put != nullptr) {
        *put = queued;
    }
    return 1;
}

int EI_RingBuff::Flush()
{
    if (m_nInPipe[0] < 0 || m_nOutPipe[1] < 0) {
        return 0;
    }
    int moved = 0;
    for (;;) {
        if (m_nPendingLen == 0) {
            // Never take more from the in-pipe than the out-pipe is sure to accept.
            int room = std::min(m_nCapacity - m_nCount, kChunk);
            if (room <= 0) {
                break;
            }
            ssize_t n = read(m_nInPipe[0], m_cPending, static_cast<size_t>(room));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            m_nPendingPos = 0;
            m_nPendingLen = static_cast<int32_t>(n);
        }
        ssize_t w =
            write(m_nOutPipe[1], m_cPending + m_nPendingPos, static_cast<size_t>(m_nPendingLen));
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            break; // the out-pipe is full: the rest stays pending, ahead of the in-pipe
        }
        m_nPendingPos += static_cast<int32_t>(w);
        m_nPendingLen -= static_cast<int32_t>(w);
        m_nCount += static_cast<int32_t>(w);
        moved += static_cast<int>(w);
    }
    return moved;
}

void EI_RingBuff::WaitForInput(int ms)
{
    if (m_nPendingLen > 0 || m_nInPipe[0] < 0) {
        return;
    }
    struct pollfd input = {m_nInPipe[0], POLLIN, 0};
    poll(&input, 1, ms);
}

int EI_RingBuff::Get(unsigned char* buf, int len, int* got)
{
    if (m_nOutPipe[0] < 0) {
        *got = -1;
        return 1;
    }
    if (len <= 0) {
        *got = 0;
        return 1;
    }
    // Bytes in the out-pipe are older than any still in the in-pipe, so a count that already
    // covers len needs no move first.
    if (m_nCount < len) {
        Flush();
    }
    int taken = 0;
    ssize_t last = 0;
    while (taken < len) {
        last = read(m_nOutPipe[0], buf + taken, static_cast<size_t>(len - taken));
        if (last < 0 && errno == EINTR) {
            continue;
        }
        if (last <= 0) {
            break;
        }
        taken += static_cast<int>(last);
    }
    m_nCount -= taken;
    *got = taken > 0 ? taken : static_cast<int>(last);
    return 1;
}

int EI_RingBuff::Clear()
{
    if (m_nInPipe[0] < 0 || m_nOutPipe[0] < 0) {
        return -1;
    }
    unsigned char scratch[kChunk];
    ssize_t last;
    m_nPendingLen = 0;
    m_nPendingPos = 0;
    do {
        last = read(m_nOutPipe[0], scratch, sizeof(scratch));
    } while (last > 0 || (last < 0 && errno == EINTR));
    m_nCount = 0;
    do {
        last = read(m_nInPipe[0], scratch, sizeof(scratch));
    } while (last > 0 || (last < 0 && errno == EINTR));
    return static_cast<int>(last);
}
