// Method calls to a driver over a SOCK_SEQPACKET Unix socket. Whoever waits for a reply and finds
// nobody reading the socket reads it for everyone: each reply is handed to the caller whose tag
// it carries, so the reader thread's read request and the host's write request can both wait.
#include "platform/UserClient.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHeaderWords = 6; // request: tag, selector, four counts and sizes
constexpr size_t kReplyHeaderWords = 4;
constexpr size_t kMaxReply = 4 * (kReplyHeaderWords + kUserClientMaxScalars) + kUserClientMaxStruct;

void PutWord(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint32_t GetWord(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int MsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

struct Pending {
    uint32_t scalarsExpected = 0;
    size_t structExpected = 0;
    bool done = false;
    std::vector<uint8_t> reply;
};

class Connection {
  public:
    explicit Connection(int fd) : m_fd(fd) {}
    ~Connection() { close(m_fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int Fd() const { return m_fd; }

    // Ends the connection for every caller: the socket is shut down, so a reader waiting in poll
    // wakes at once, and the driver sees the end of the stream.
    void Break()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        BreakLocked();
    }

    kern_return_t Call(uint32_t selector, const int32_t* scalarIn, uint32_t scalarInCount,
                       const void* structIn, size_t structInSize, int32_t* scalarOut,
                       uint32_t* scalarOutCount, void* structOut, size_t* structOutSize);

  private:
    void BreakLocked()
    {
        if (!m_broken) {
            m_broken = true;
            shutdown(m_fd, SHUT_RDWR);
        }
        m_changed.notify_all();
    }
    bool Send(const std::vector<uint8_t>& request, Clock::time_point deadline);
    // One read of the socket on behalf of every waiting caller; called without m_mutex.
    void ReadOne(Clock::time_point deadline);

    const int m_fd;
    std::mutex m_sendMutex; // one request message at a time
    std::mutex m_mutex;     // the fields below
    std::condition_variable m_changed;
    bool m_reading = false;
    bool m_broken = false;
    uint32_t m_nextTag = 1;
    std::map<uint32_t, Pending*> m_pending;
};

bool Connection::Send(const std::vector<uint8_t>& request, Clock::time_point deadline)
{
    std::lock_guard<std::mutex> lock(m_sendMutex);
    for (;;) {
        ssize_t n = send(m_fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(request.size())) {
            return true;
        }
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
        if (errno == EAGAIN) {
            pollfd p = {m_fd, POLLOUT, 0};
            int left = MsLeft(deadline);
            // A caught signal only interrupts the wait: it goes on to the same deadline.
            int ready = left == 0 ? 0 : poll(&p, 1, left);
            if (left == 0 || (ready < 0 && errno != EINTR) || (p.revents & (POLLERR | POLLHUP))) {
                return false;
            }
        }
    }
}

void Connection::ReadOne(Clock::time_point deadline)
{
    pollfd p = {m_fd, POLLIN, 0};
    int ready = poll(&p, 1, MsLeft(deadline));
    // A caught signal (a host's timer, SIGCHLD) ends the poll early; that is no fault of the
    // connection, and the caller waits again until its deadline.
    int pollError = ready < 0 ? errno : 0;
    uint8_t buf[kMaxReply + 1];
    ssize_t n = -1;
    int error = 0;
    if (ready > 0) {
        n = recv(m_fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
        error = errno;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reading = false;
    m_changed.notify_all();
    if ((ready < 0 && pollError != EINTR) ||
        (ready > 0 && n < 0 && error != EAGAIN && error != EINTR)) {
        BreakLocked();
        return;
    }
    if (ready <= 0 || n < 0) {
        return; // nothing yet; the callers check their deadlines
    }
    if (n == 0 || static_cast<size_t>(n) > kMaxReply ||
        static_cast<size_t>(n) < 4 * kReplyHeaderWords) {
        BreakLocked(); // the driver went away, or a reply no caller can take
        return;
    }
    const uint8_t* reply = buf;
    auto it = m_pending.find(GetWord(reply));
    if (it == m_pending.end() || it->second->done) {
        BreakLocked();
        return;
    }
    Pending& pending = *it->second;
    uint32_t scalars = GetWord(reply + 8);
    uint32_t structSize = GetWord(reply + 12);
    if (scalars > pending.scalarsExpected || structSize > pending.structExpected ||
        static_cast<size_t>(n) != 4 * (kReplyHeaderWords + scalars) + structSize) {
        BreakLocked();
        return;
    }
    pending.reply.assign(reply, reply + n);
    pending.done = true;
}

kern_return_t Connection::Call(uint32_t selector, const int32_t* scalarIn, uint32_t scalarInCount,
                               const void* structIn, size_t structInSize, int32_t* scalarOut,
                               uint32_t* scalarOutCount, void* structOut, size_t* structOutSize)
{
    const uint32_t scalarsExpected = scalarOutCount != nullptr ? *scalarOutCount : 0;
    const size_t structExpected = structOutSize != nullptr ? *structOutSize : 0;
    if (scalarInCount > kUserClientMaxScalars || structInSize > kUserClientMaxStruct ||
        scalarsExpected > kUserClientMaxScalars || structExpected > kUserClientMaxStruct ||
        (scalarInCount != 0 && scalarIn == nullptr) || (structInSize != 0 && structIn == nullptr) ||
        (scalarsExpected != 0 && scalarOut == nullptr) ||
        (structExpected != 0 && structOut == nullptr)) {
        return kIOReturnBadArgument;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kUserClientReplyTimeoutMs);
    Pending pending;
    pending.scalarsExpected = scalarsExpected;
    pending.structExpected = structExpected;
    uint32_t tag;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_broken) {
            return kIOReturnError;
        }
        do {
            tag = m_nextTag++;
        } while (m_pending.count(tag) != 0);
        m_pending[tag] = &pending;
    }
    std::vector<uint8_t> request;
    request.reserve(4 * (kHeaderWords + scalarInCount) + structInSize);
    for (uint32_t word : {tag, selector, scalarInCount, static_cast<uint32_t>(structInSize),
                          scalarsExpected, static_cast<uint32_t>(structExpected)}) {
        PutWord(request, word);
    }
    for (uint32_t i = 0; i < scalarInCount; ++i) {
        PutWord(request, static_cast<uint32_t>(scalarIn[i]));
    }
    const auto* bytes = static_cast<const uint8_t*>(structIn);
    request.insert(request.end(), bytes, bytes + structInSize);

    bool sent = Send(request, deadline);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!sent) {
        BreakLocked();
    }
    while (!pending.done && !m_broken) {
        if (Clock::now() >= deadline) {
            BreakLocked(); // no answer in time: the driver is taken to be hung
            break;
        }
        if (!m_reading) {
            m_reading = true;
            lock.unlock();
            ReadOne(deadline);
            lock.lock();
        } else {
            m_changed.wait_until(lock, deadline);
        }
    }
    m_pending.erase(tag);
    if (!pending.done) {
        return kIOReturnError;
    }
    lock.unlock();
    const uint8_t* reply = pending.reply.data();
    uint32_t scalars = GetWord(reply + 8);
    uint32_t structSize = GetWord(reply + 12);
    for (uint32_t i = 0; i < scalars; ++i) {
        scalarOut[i] = static_cast<int32_t>(GetWord(reply + 4 * (kReplyHeaderWords + i)));
    }
    if (structSize != 0) {
        std::memcpy(structOut, reply + 4 * (kReplyHeaderWords + scalars), structSize);
    }
    if (scalarOutCount != nullptr) {
        *scalarOutCount = scalars;
    }
    if (structOutSize != nullptr) {
        *structOutSize = structSize;
    }
    return static_cast<kern_return_t>(GetWord(reply + 4));
}

std::mutex g_tableMutex;
std::map<io_connect_t, std::shared_ptr<Connection>> g_connections;
io_connect_t g_nextConnect = 0x10000;

std::shared_ptr<Connection> Find(io_connect_t connect)
{
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_connections.find(connect);
    return it == g_connections.end() ? nullptr : it->second;
}

// Connects within the reply time-out; a listener whose queue of new clients is full is tried
// again until then.
int Connect(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kUserClientReplyTimeoutMs);
    for (;;) {
        // A retry after a caught signal may find the first attempt already through.
        if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
            errno == EISCONN) {
            return fd;
        }
        if ((errno != EAGAIN && errno != EINTR) || Clock::now() >= deadline) {
            close(fd);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

kern_return_t Call(io_connect_t connect, uint32_t selector, const int32_t* scalarIn,
                   uint32_t scalarInCount, const void* structIn, size_t structInSize,
                   int32_t* scalarOut, uint32_t* scalarOutCount, void* structOut,
                   size_t* structOutSize)
{
    try {
        auto connection = Find(connect);
        if (!connection) {
            return kIOReturnNotOpen;
        }
        return connection->Call(selector, scalarIn, scalarInCount, structIn, structInSize,
                                scalarOut, scalarOutCount, structOut, structOutSize);
    } catch (const std::exception&) {
        return kIOReturnNoMemory;
    }
}

} // namespace

kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect)
{
    try {
        std::string path;
        if (connect == nullptr || owningTask != mach_task_self() || type != 0 ||
            !IORegistryEntryPlanePath(service, &path)) {
            return kIOReturnBadArgument;
        }
        int fd = Connect(path);
        if (fd < 0) {
            return kIOReturnNoDevice;
        }
        auto connection = std::make_shared<Connection>(fd);
        std::lock_guard<std::mutex> lock(g_tableMutex);
        while (g_nextConnect == 0 || g_connections.count(g_nextConnect) != 0) {
            ++g_nextConnect;
        }
        *connect = g_nextConnect++;
        g_connections.emplace(*connect, std::move(connection));
        return kIOReturnSuccess;
    } catch (const std::exception&) {
        return kIOReturnNoMemory;
    }
}

kern_return_t IOServiceClose(io_connect_t connect)
{
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        auto it = g_connections.find(connect);
        if (it == g_connections.end()) {
            return kIOReturnNotOpen;
        }
        connection = std::move(it->second);
        g_connections.erase(it);
    }
    // A call still in progress keeps the socket until it returns; it fails at once.
    connection->Break();
    return kIOReturnSuccess;
}

kern_return_t IOConnectMethodScalarIScalarO(io_connect_t connect, uint32_t selector,
                                            const int32_t* scalarIn, uint32_t scalarInCount,
                                            int32_t* scalarOut, uint32_t* scalarOutCount)
{
    return Call(connect, selector, scalarIn, scalarInCount, nullptr, 0, scalarOut, scalarOutCount,
                nullptr, nullptr);
}

kern_return_t IOConnectMethodScalarIStructureO(io_connect_t connect, uint32_t selector,
                                               const int32_t* scalarIn, uint32_t scalarInCount,
                                               void* structOut, size_t* structOutSize)
{
    return Call(connect, selector, scalarIn, scalarInCount, nullptr, 0, nullptr, nullptr,
                structOut, structOutSize);
}

kern_return_t IOConnectMethodScalarIStructureI(io_connect_t connect, uint32_t selector,
                                               const int32_t* scalarIn, uint32_t scalarInCount,
                                               const void* structIn, size_t structInSize)
{
    return Call(connect, selector, scalarIn, scalarInCount, structIn, structInSize, nullptr,
                nullptr, nullptr, nullptr);
}

kern_return_t IOConnectMethodStructureIStructureO(io_connect_t connect, uint32_t selector,
                                                  const void* structIn, size_t structInSize,
                                                  void* structOut, size_t* structOutSize)
{
    return Call(connect, selector, nullptr, 0, structIn, structInSize, nullptr, nullptr,
                structOut, structOutSize);
}

int UserClientSocket(io_connect_t connect)
{
    try {
        auto connection = Find(connect);
        return connection ? connection->Fd() : -1;
    } catch (const std::exception&) {
        return -1;
    }
}
