// The receive queue: a non-blocking in-pipe and the consumer's fixed store.
#include "RingBuff.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>

namespace {

// The in-pipe is raised to this size where the system allows it (the default ceiling for an
// unprivileged process), so a host that is slow to receive holds the reader back later; the queue's
// capacity does not depend on it.
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

} // namespace

EI_RingBuff::EI_RingBuff(int /*size*/)
    : m_nInPipe{-1, -1}, m_nCount(0), m_cBuff{}, m_nPutPos(0), m_nCapacity(0),
      m_pStore(new (std::nothrow) unsigned char[kCapacity]), m_nHead(0)
{
    // Without the pipe or the store the queue stays unusable (every descriptor -1) rather than
    // half built.
    int fds[2];
    if (!m_pStore || pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    m_nInPipe[0] = fds[0];
    m_nInPipe[1] = fds[1];
    SetFlag(m_nInPipe[0]);
    SetFlag(m_nInPipe[1]);
    fcntl(m_nInPipe[1], F_SETPIPE_SZ, kWantedPipeSize);
    m_nCapacity = kCapacity;
}

EI_RingBuff::~EI_RingBuff()
{
    closeEnds(m_nInPipe);
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
    if (m_nInPipe[0] < 0) {
        return 0;
    }
    int moved = 0;
    // Read straight into the store's free space, at most up to its end per read.
    while (m_nCount < m_nCapacity) {
        int32_t tail = (m_nHead + m_nCount) % m_nCapacity;
        int32_t room = std::min(m_nCapacity - m_nCount, m_nCapacity - tail);
        ssize_t n = read(m_nInPipe[0], m_pStore.get() + tail, static_cast<size_t>(room));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        m_nCount += static_cast<int32_t>(n);
        moved += static_cast<int>(n);
        if (n < room) {
            break; // the in-pipe is empty
        }
    }
    return moved;
}

int EI_RingBuff::FlushThenRead(int fd)
{
    if (m_nInPipe[0] < 0) {
        return 0;
    }
    // Flush ends with the store full or the in-pipe empty; only the latter lets fd's bytes follow.
    Flush();
    if (m_nCount >= m_nCapacity) {
        return 0;
    }
    int32_t tail = (m_nHead + m_nCount) % m_nCapacity;
    int32_t room = std::min(m_nCapacity - m_nCount, m_nCapacity - tail);
    ssize_t n;
    do {
        n = read(fd, m_pStore.get() + tail, static_cast<size_t>(room));
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        m_nCount += static_cast<int32_t>(n);
    }
    return static_cast<int>(n);
}

bool EI_RingBuff::WaitForInput(int ms, int wakeFd, int sourceFd)
{
    if (m_nInPipe[0] < 0 || m_nCount >= m_nCapacity) {
        return true;
    }
    // poll skips a descriptor of -1.
    struct pollfd fds[3] = {{m_nInPipe[0], POLLIN, 0}, {wakeFd, POLLIN, 0}, {sourceFd, POLLIN, 0}};
    poll(fds, 3, ms);
    // A hung-up tty reports input for ever (POLLIN with POLLHUP) while its reads give nothing.
    return (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

int EI_RingBuff::Get(unsigned char* buf, int len, int* got)
{
    if (m_nInPipe[0] < 0) {
        *got = -1;
        return 1;
    }
    if (len <= 0) {
        *got = 0;
        return 1;
    }
    // Bytes in the store are older than any still in the in-pipe, so a count that already
    // covers len needs no move first.
    if (m_nCount < len) {
        Flush();
    }
    int taken = 0;
    while (taken < len && m_nCount > 0) {
        int32_t piece = std::min({len - taken, m_nCount, m_nCapacity - m_nHead});
        std::memcpy(buf + taken, m_pStore.get() + m_nHead, static_cast<size_t>(piece));
        taken += piece;
        m_nCount -= piece;
        m_nHead = (m_nHead + piece) % m_nCapacity;
    }
    if (m_nCount == 0) {
        m_nHead = 0;
    }
    *got = taken;
    return 1;
}

int EI_RingBuff::Clear()
{
    if (m_nInPipe[0] < 0) {
        return -1;
    }
    m_nCount = 0;
    m_nHead = 0;
    unsigned char scratch[4096];
    ssize_t last;
    do {
        last = read(m_nInPipe[0], scratch, sizeof(scratch));
    } while (last > 0 || (last < 0 && errno == EINTR));
    return static_cast<int>(last);
}
