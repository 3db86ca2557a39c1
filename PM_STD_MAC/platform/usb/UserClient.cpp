// Method calls to a driver over a SOCK_SEQPACKET Unix socket. Whoever waits for a reply and finds
// nobody reading the socket reads it for everyone: each reply is handed to the caller whose tag
// it carries, so the reader thread's read request and the host's write request can both wait.
#include "UserClient.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The arrival number of the reply to this thread's last call (UserClientLastArrival).
thread_local uint64_t t_lastArrival = 0;

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
    uint64_t arrival = 0; // replies are numbered as they arrive
    Clock::time_point deadline;
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
    kern_return_t Submit(uint32_t selector, const void* structIn, size_t structInSize,
                         size_t structOutSize, size_t count, uint32_t* tags);
    int Collect(uint32_t* tags, size_t* count, int waitMs, void* structOut, size_t structOutSize,
                size_t* sizes, kern_return_t* results, uint64_t* arrivals);

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
    // Sends the requests in order, as few calls into the system as the socket allows.
    bool SendAll(std::vector<std::vector<uint8_t>>& requests, Clock::time_point deadline);
    // Waits for the socket until the deadline, then takes every reply it holds, on behalf of
    // every waiting caller; called without m_mutex.
    void ReadOne(Clock::time_point deadline);
    // Files one reply under its caller's tag; false when no caller can take it.
    bool FileLocked(const uint8_t* reply, size_t n);
    uint32_t NewTagLocked();
    static std::vector<uint8_t> Request(uint32_t tag, uint32_t selector, const int32_t* scalarIn,
                                        uint32_t scalarInCount, const void* structIn,
                                        size_t structInSize, uint32_t scalarsExpected,
                                        size_t structExpected);

    const int m_fd;
    std::mutex m_sendMutex; // one request message at a time
    std::mutex m_mutex;     // the fields below
    std::condition_variable m_changed;
    bool m_reading = false;
    bool m_broken = false;
    uint32_t m_nextTag = 1;
    uint64_t m_arrivals = 0;
    std::map<uint32_t, Pending*> m_pending;
    // The pending entries of submitted calls, kept until collected or the connection goes.
    std::map<uint32_t, std::unique_ptr<Pending>> m_submitted;
    // Room for a burst of replies, used by whoever reads the socket (m_reading).
    std::vector<uint8_t> m_burst;
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

bool Connection::SendAll(std::vector<std::vector<uint8_t>>& requests, Clock::time_point deadline)
{
    std::lock_guard<std::mutex> lock(m_sendMutex);
    std::vector<iovec> iov(requests.size());
    std::vector<mmsghdr> msgs(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        iov[i] = {requests[i].data(), requests[i].size()};
        msgs[i].msg_hdr = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    for (size_t sent = 0; sent < msgs.size();) {
        int n = sendmmsg(m_fd, msgs.data() + sent, static_cast<unsigned>(msgs.size() - sent),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
        if (errno == EAGAIN) {
            pollfd p = {m_fd, POLLOUT, 0};
            int left = MsLeft(deadline);
            if (left == 0 || poll(&p, 1, left) < 0 || (p.revents & (POLLERR | POLLHUP))) {
                return false;
            }
        }
    }
    return true;
}

void Connection::ReadOne(Clock::time_point deadline)
{
    pollfd p = {m_fd, POLLIN, 0};
    int ready = poll(&p, 1, MsLeft(deadline));
    // A caught signal (a host's timer, SIGCHLD) ends the poll early; that is no fault of the
    // connection, and the caller waits again until its deadline.
    const int pollError = ready < 0 ? errno : 0;
    if (ready <= 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reading = false;
        if (ready < 0 && pollError != EINTR) {
            BreakLocked();
        }
        m_changed.notify_all();
        return; // nothing yet; the callers check their deadlines
    }
    // A burst of replies (pipelined reads) is taken with one call, until the socket is empty.
    constexpr size_t kBurst = 16;
    constexpr size_t kRoom = kMaxReply + 1;
    m_burst.resize(kBurst * kRoom); // allocated once, by the first reader
    iovec iov[kBurst];
    mmsghdr msgs[kBurst];
    for (;;) {
        for (size_t i = 0; i < kBurst; ++i) {
            iov[i] = {m_burst.data() + i * kRoom, kRoom};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(m_fd, msgs, kBurst, MSG_DONTWAIT, nullptr);
        int error = errno;
        std::lock_guard<std::mutex> lock(m_mutex);
        bool empty = n < 0 && (error == EAGAIN || error == EINTR);
        if (n < 0 && !empty) {
            BreakLocked();
        }
        for (int i = 0; i < n && !m_broken; ++i) {
            // A truncated reply shows as one longer than any caller takes.
            size_t len = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) ? kRoom : msgs[i].msg_len;
            if (!FileLocked(m_burst.data() + static_cast<size_t>(i) * kRoom, len)) {
                BreakLocked(); // the driver went away, or a reply no caller can take
            }
        }
        // A short burst left the socket empty.
        if (n < static_cast<int>(kBurst) || m_broken) {
            m_reading = false;
            m_changed.notify_all();
            return;
        }
        m_changed.notify_all();
    }
}

bool Connection::FileLocked(const uint8_t* reply, size_t n)
{
    if (n == 0 || n > kMaxReply || n < 4 * kReplyHeaderWords) {
        return false;
    }
    auto it = m_pending.find(GetWord(reply));
    if (it == m_pending.end() || it->second->done) {
        return false;
    }
    Pending& pending = *it->second;
    uint32_t scalars = GetWord(reply + 8);
    uint32_t structSize = GetWord(reply + 12);
    if (scalars > pending.scalarsExpected || structSize > pending.structExpected ||
        n != 4 * (kReplyHeaderWords + scalars) + structSize) {
        return false;
    }
    pending.reply.assign(reply, reply + n);
    pending.arrival = ++m_arrivals;
    pending.done = true;
    return true;
}

uint32_t Connection::NewTagLocked()
{
    uint32_t tag;
    do {
        tag = m_nextTag++;
    } while (tag == 0 || m_pending.count(tag) != 0);
    return tag;
}

std::vector<uint8_t> Connection::Request(uint32_t tag, uint32_t selector, const int32_t* scalarIn,
                                         uint32_t scalarInCount, const void* structIn,
                                         size_t structInSize, uint32_t scalarsExpected,
                                         size_t structExpected)
{
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
    return request;
}

kern_return_t Connection::Submit(uint32_t selector, const void* structIn, size_t structInSize,
                                 size_t structOutSize, size_t count, uint32_t* tags)
{
    if (structInSize > kUserClientMaxStruct || structOutSize > kUserClientMaxStruct ||
        (structInSize != 0 && structIn == nullptr)) {
        return kIOReturnBadArgument;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kUserClientReplyTimeoutMs);
    std::vector<std::vector<uint8_t>> requests;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_broken) {
            return kIOReturnError;
        }
        for (size_t i = 0; i < count; ++i) {
            auto pending = std::make_unique<Pending>();
            pending->structExpected = structOutSize;
            pending->deadline = deadline;
            tags[i] = NewTagLocked();
            m_pending[tags[i]] = pending.get();
            m_submitted[tags[i]] = std::move(pending);
            requests.push_back(
                Request(tags[i], selector, nullptr, 0, structIn, structInSize, 0, structOutSize));
        }
    }
    if (!SendAll(requests, deadline)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        BreakLocked();
        for (size_t i = 0; i < count; ++i) {
            m_pending.erase(tags[i]);
            m_submitted.erase(tags[i]);
        }
        return kIOReturnError;
    }
    return kIOReturnSuccess;
}

int Connection::Collect(uint32_t* tags, size_t* count, int waitMs, void* structOut,
                        size_t structOutSize, size_t* sizes, kern_return_t* results,
                        uint64_t* arrivals)
{
    const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
    bool looked = false; // the socket was read at least once in this call
    std::vector<std::pair<uint64_t, size_t>> arrived; // arrival number, index in tags
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        arrived.clear();
        auto deadline = Clock::time_point::max();
        for (size_t i = 0; i < *count; ++i) {
            auto it = m_submitted.find(tags[i]);
            if (it == m_submitted.end()) {
                return -1;
            }
            if (it->second->done) {
                arrived.emplace_back(it->second->arrival, i);
            }
            deadline = std::min(deadline, it->second->deadline);
        }
        if (!arrived.empty()) {
            // In the order the replies came, whatever order the calls went out in: for reads that
            // is the order in which the driver handed the bytes out.
            std::sort(arrived.begin(), arrived.end());
            auto* out = static_cast<uint8_t*>(structOut);
            for (size_t k = 0; k < arrived.size(); ++k) {
                uint32_t tag = tags[arrived[k].second];
                const uint8_t* reply = m_submitted[tag]->reply.data();
                sizes[k] = std::min<size_t>(GetWord(reply + 12), structOutSize);
                results[k] = static_cast<kern_return_t>(GetWord(reply + 4));
                if (arrivals != nullptr) {
                    arrivals[k] = arrived[k].first;
                }
                std::memcpy(out + k * structOutSize, reply + 4 * kReplyHeaderWords, sizes[k]);
                m_pending.erase(tag);
                m_submitted.erase(tag);
                tags[arrived[k].second] = 0;
            }
            *count = static_cast<size_t>(std::remove(tags, tags + *count, 0u) - tags);
            return static_cast<int>(arrived.size());
        }
        if (m_broken || *count == 0) {
            return -1;
        }
        auto now = Clock::now();
        if (now >= deadline) {
            BreakLocked(); // no answer in time: the driver is taken to be hung
            return -1;
        }
        if (looked && now >= until) {
            return 0;
        }
        if (!m_reading) {
            m_reading = true;
            lock.unlock();
            ReadOne(std::min(deadline, until));
            lock.lock();
            looked = true;
        } else if (now < until) {
            m_changed.wait_until(lock, std::min(deadline, until));
        } else {
            return 0; // another caller is reading the socket for everyone
        }
    }
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
        tag = NewTagLocked();
        m_pending[tag] = &pending;
    }
    bool sent = Send(Request(tag, selector, scalarIn, scalarInCount, structIn, structInSize,
                             scalarsExpected, structExpected),
                     deadline);
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
    t_lastArrival = pending.arrival;
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

// The open connections, made on first use: UserClientTableReady makes that happen while the
// module loads, so the table is destroyed after whatever closes a connection at unload.
struct ConnectionTable {
    std::mutex mutex;
    std::map<io_connect_t, std::shared_ptr<Connection>> connections;
    io_connect_t next = 0x10000;
};

ConnectionTable& Table()
{
    static ConnectionTable table;
    return table;
}

std::shared_ptr<Connection> Find(io_connect_t connect)
{
    ConnectionTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.connections.find(connect);
    return it == table.connections.end() ? nullptr : it->second;
}

// Why the calling thread's last open refused its driver. Plain characters, not a string: a
// thread-local object with a destructor keeps the library loaded after dlclose until its thread
// ends, and with it an open port the host believed gone.
thread_local char t_refusal[256];

// Records why a driver was not trusted; the open then fails as if there were no driver, with
// errno EPERM as the system's reason.
bool Refuse(const std::string& reason)
{
    size_t n = std::min(reason.size(), sizeof t_refusal - 1);
    std::memcpy(t_refusal, reason.data(), n);
    t_refusal[n] = '\0';
    errno = EPERM;
    return false;
}

// The user PM_USERCLIENT_UID names (a number or a user name), if any: a driver running as a user
// of its own, such as a daemon's service user.
bool DriverUser(uid_t* uid)
{
    const char* named = std::getenv("PM_USERCLIENT_UID");
    if (named == nullptr || *named == '\0') {
        return false;
    }
    const char* end = named + std::strlen(named);
    unsigned long number = 0;
    auto [p, ec] = std::from_chars(named, end, number);
    if (ec == std::errc() && p == end && number <= static_cast<uid_t>(-2)) {
        *uid = static_cast<uid_t>(number);
        return true;
    }
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(named, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        *uid = found->pw_uid;
        return true;
    }
    return false;
}

bool TrustedUser(uid_t uid)
{
    uid_t driver = 0;
    return uid == 0 || uid == geteuid() || (DriverUser(&driver) && uid == driver);
}

// Whether the plane folder and the entry may be trusted before anything is sent: a folder others
// can write to lets anyone plant a driver, and a link may lead anywhere.
bool TrustedEntry(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (dirFd < 0 || fstat(dirFd, &st) != 0) {
        int error = errno;
        if (dirFd >= 0) {
            close(dirFd);
        }
        errno = error;
        return false;
    }
    if (!TrustedUser(st.st_uid)) {
        close(dirFd);
        return Refuse("driver plane " + dir + " belongs to uid " + std::to_string(st.st_uid));
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        close(dirFd);
        return Refuse("driver plane " + dir + " is writable by others");
    }
    int found = fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    int error = errno;
    close(dirFd);
    if (found != 0) {
        errno = error;
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        return Refuse("driver entry " + path + " is a link");
    }
    if (!S_ISSOCK(st.st_mode)) {
        errno = ECONNREFUSED; // no driver there, as connect says of a socket nobody listens on
        return false;
    }
    return true;
}

// Connects within the reply time-out; a listener whose queue of new clients is full is tried
// again until then. The driver at the other end must run as a user the host trusts.
int Connect(const std::string& path)
{
    t_refusal[0] = '\0';
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (!TrustedEntry(path)) {
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
            break;
        }
        if ((errno != EAGAIN && errno != EINTR) || Clock::now() >= deadline) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The entry may have been swapped between the look and the connect: the peer decides.
    ucred peer{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || !TrustedUser(peer.uid)) {
        close(fd);
        Refuse("driver at " + path + " runs as uid " + std::to_string(peer.uid) +
               ", not a user the host trusts");
        return -1;
    }
    return fd;
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
        ConnectionTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        while (table.next == 0 || table.connections.count(table.next) != 0) {
            ++table.next;
        }
        *connect = table.next++;
        table.connections.emplace(*connect, std::move(connection));
        return kIOReturnSuccess;
    } catch (const std::exception&) {
        return kIOReturnNoMemory;
    }
}

kern_return_t IOServiceClose(io_connect_t connect)
{
    std::shared_ptr<Connection> connection;
    {
        ConnectionTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.connections.find(connect);
        if (it == table.connections.end()) {
            return kIOReturnNotOpen;
        }
        connection = std::move(it->second);
        table.connections.erase(it);
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

void UserClientTableReady()
{
    Table();
}

const char* UserClientRefusal()
{
    return t_refusal;
}

kern_return_t UserClientSubmit(io_connect_t connect, uint32_t selector, const void* structIn,
                               size_t structInSize, size_t structOutSize, size_t count,
                               uint32_t* tags)
{
    try {
        auto connection = Find(connect);
        return connection ? connection->Submit(selector, structIn, structInSize, structOutSize,
                                               count, tags)
                          : kIOReturnNotOpen;
    } catch (const std::exception&) {
        return kIOReturnNoMemory;
    }
}

int UserClientCollect(io_connect_t connect, uint32_t* tags, size_t* count, int waitMs,
                      void* structOut, size_t structOutSize, size_t* sizes, kern_return_t* results,
                      uint64_t* arrivals)
{
    try {
        auto connection = Find(connect);
        return connection ? connection->Collect(tags, count, waitMs, structOut, structOutSize,
                                                sizes, results, arrivals)
                          : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

uint64_t UserClientLastArrival()
{
    return t_lastArrival;
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
