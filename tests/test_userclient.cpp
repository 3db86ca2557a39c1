// The driver user-client stand-in against a driver played by hand on a raw socket: the bytes of
// requests and replies, replies handed to their callers out of order, every kind of bad reply,
// plane entries that are no driver, and what a connection leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <future>
#include <initializer_list>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ModemTestSupport.h"
#include "ProcessCounts.h"
#include "platform/usb/IORegistry.h"
#include "platform/usb/UserClient.h"

using modemtest::OpenService;
using modemtest::Plane;

namespace {

constexpr char kDriver[] = "TestDriver";

std::string Words(std::initializer_list<uint32_t> words)
{
    std::string out;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) {
            out += static_cast<char>(w >> (8 * i));
        }
    }
    return out;
}

uint32_t WordAt(const std::string& s, size_t index)
{
    uint32_t w = 0;
    for (int i = 3; i >= 0; --i) {
        w = w << 8 | static_cast<uint8_t>(s.at(4 * index + static_cast<size_t>(i)));
    }
    return w;
}

// The driver's end of one connection, answered by the test.
class Peer {
  public:
    explicit Peer(const Plane& plane) : m_listener(plane.Bind(kDriver)) {}
    ~Peer()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
        close(m_listener);
    }
    // Opens a connection through the stand-in and accepts it here.
    io_connect_t Connect()
    {
        io_connect_t c = 0;
        EXPECT_EQ(OpenService(kDriver, &c), kIOReturnSuccess);
        m_fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(m_fd, 0);
        return c;
    }
    std::string Recv()
    {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) {
            return "";
        }
        std::string buf(8192, '\0');
        ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }
    void Send(const std::string& msg)
    {
        ASSERT_EQ(send(m_fd, msg.data(), msg.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(msg.size()));
    }
    void Hangup()
    {
        close(m_fd);
        m_fd = -1;
    }
    bool SeesEnd()
    {
        pollfd p = {m_fd, POLLIN, 0};
        char b;
        return poll(&p, 1, 10000) == 1 && recv(m_fd, &b, 1, 0) == 0;
    }

  private:
    int m_listener;
    int m_fd = -1;
};

} // namespace

TEST(UserClient, RequestAndReplyBytes)
{
    Plane plane;
    Peer peer(plane);
    io_connect_t c = peer.Connect();
    int fd = UserClientSocket(c);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    // Scalars in, scalars out: the reply may carry fewer than expected; its result comes back.
    auto call = std::async(std::launch::async, [c] {
        const int32_t in[2] = {-2, 0x01020304};
        int32_t out[3] = {7, 7, 7};
        uint32_t outCount = 3;
        kern_return_t r = IOConnectMethodScalarIScalarO(c, 7, in, 2, out, &outCount);
        return std::vector<int32_t>{r, static_cast<int32_t>(outCount), out[0], out[1], out[2]};
    });
    std::string request = peer.Recv();
    ASSERT_EQ(request.size(), 32u);
    uint32_t tag = WordAt(request, 0);
    EXPECT_EQ(request.substr(4), Words({7, 2, 0, 3, 0, 0xFFFFFFFE, 0x01020304}));
    peer.Send(Words({tag, 0xE00002C2, 2, 0, 5, 0xFFFFFFFF}));
    EXPECT_EQ(call.get(), (std::vector<int32_t>{static_cast<int32_t>(0xE00002C2), 2, 5, -1, 7}));

    // Structure in, structure out.
    auto structCall = std::async(std::launch::async, [c] {
        const char in[5] = {'a', 'b', 'c', 'd', 'e'};
        char out[16] = {};
        size_t outSize = sizeof out;
        kern_return_t r = IOConnectMethodStructureIStructureO(c, 3, in, sizeof in, out, &outSize);
        return std::make_pair(r, std::string(out, outSize));
    });
    request = peer.Recv();
    ASSERT_EQ(request.size(), 29u);
    EXPECT_EQ(request.substr(4), Words({3, 0, 5, 0, 16}) + "abcde");
    peer.Send(Words({WordAt(request, 0), 0, 0, 3}) + "xyz");
    EXPECT_EQ(structCall.get(), std::make_pair(kIOReturnSuccess, std::string("xyz")));

    // Scalar in, structure in; scalar in, structure out.
    auto inCall = std::async(std::launch::async, [c] {
        const int32_t mode = 96;
        const uint8_t record[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        return IOConnectMethodScalarIStructureI(c, 6, &mode, 1, record, sizeof record);
    });
    request = peer.Recv();
    EXPECT_EQ(request.substr(4), Words({6, 1, 8, 0, 0, 96}) + std::string("\1\2\3\4\5\6\7\10"));
    peer.Send(Words({WordAt(request, 0), 0, 0, 0}));
    EXPECT_EQ(inCall.get(), kIOReturnSuccess);
    auto outCall = std::async(std::launch::async, [c] {
        uint8_t record[8] = {};
        size_t size = sizeof record;
        kern_return_t r = IOConnectMethodScalarIStructureO(c, 5, nullptr, 0, record, &size);
        return std::make_pair(r, size);
    });
    request = peer.Recv();
    EXPECT_EQ(request.substr(4), Words({5, 0, 0, 0, 8}));
    peer.Send(Words({WordAt(request, 0), 0, 0, 8}) + std::string(8, 'r'));
    EXPECT_EQ(outCall.get(), std::make_pair(kIOReturnSuccess, size_t{8}));

    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
    EXPECT_TRUE(peer.SeesEnd());
    EXPECT_EQ(UserClientSocket(c), -1);
    EXPECT_EQ(IOServiceClose(c), kIOReturnNotOpen);
}

// A call waiting for its reply (a read request the driver holds) never holds back another call;
// each reply goes to the caller whose tag it carries, in whatever order the driver answers.
TEST(UserClient, RepliesGoToTheirCallersInAnyOrder)
{
    Plane plane;
    Peer peer(plane);
    io_connect_t c = peer.Connect();
    auto scalarCall = [c](int32_t value) {
        int32_t out = 0;
        uint32_t count = 1;
        kern_return_t r = IOConnectMethodScalarIScalarO(c, 8, &value, 1, &out, &count);
        return r == kIOReturnSuccess && count == 1 ? out : -1;
    };
    auto first = std::async(std::launch::async, scalarCall, 1);
    std::string held = peer.Recv(); // held back by the driver
    for (int32_t v = 2; v <= 4; ++v) {
        auto other = std::async(std::launch::async, scalarCall, v);
        std::string r = peer.Recv();
        ASSERT_EQ(r.size(), 28u);
        peer.Send(Words({WordAt(r, 0), 0, 1, 0, 100 + WordAt(r, 6)}));
        EXPECT_EQ(other.get(), 100 + v);
    }
    EXPECT_EQ(first.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    peer.Send(Words({WordAt(held, 0), 0, 1, 0, 101}));
    EXPECT_EQ(first.get(), 101);

    // Two waiting at once, answered in reverse order.
    auto a = std::async(std::launch::async, scalarCall, 10);
    std::string ra = peer.Recv();
    auto b = std::async(std::launch::async, scalarCall, 20);
    std::string rb = peer.Recv();
    EXPECT_NE(WordAt(ra, 0), WordAt(rb, 0));
    peer.Send(Words({WordAt(rb, 0), 0, 1, 0, 21}));
    peer.Send(Words({WordAt(ra, 0), 0, 1, 0, 11}));
    EXPECT_EQ(a.get(), 11);
    EXPECT_EQ(b.get(), 21);
    IOServiceClose(c);
}

// Pipelined calls: the requests go out at once and in order; replies are taken in the order they
// arrived, whatever the order of the requests (for reads, the order of the bytes); a call beside
// them still gets its own reply; calls never collected go with the connection.
TEST(UserClient, PipelinedRepliesComeInArrivalOrder)
{
    Plane plane;
    Peer peer(plane);
    io_connect_t c = peer.Connect();
    const std::string ask = Words({256, 1, 1});
    uint32_t tags[4] = {};
    ASSERT_EQ(UserClientSubmit(c, 3, ask.data(), ask.size(), 8, 3, tags), kIOReturnSuccess);
    std::vector<uint32_t> sent;
    for (int i = 0; i < 3; ++i) {
        std::string r = peer.Recv();
        EXPECT_EQ(r.substr(4), Words({3, 0, 12, 0, 8}) + ask);
        sent.push_back(WordAt(r, 0));
    }
    EXPECT_EQ(sent, std::vector<uint32_t>(tags, tags + 3));
    EXPECT_TRUE(tags[0] != 0 && tags[0] != tags[1] && tags[1] != tags[2]);

    char out[3][8];
    size_t sizes[3] = {};
    kern_return_t results[3] = {};
    size_t count = 3;
    EXPECT_EQ(UserClientCollect(c, tags, &count, 0, out, 8, sizes, results), 0); // none yet
    EXPECT_EQ(count, 3u);

    const uint32_t last = tags[2], first = tags[0], middle = tags[1];
    peer.Send(Words({last, 0, 0, 2}) + "CD");
    peer.Send(Words({first, 0xE00002C2, 0, 0}));
    // A plain call in between gets its reply while the pipelined ones wait.
    auto call = std::async(std::launch::async, [c] {
        int32_t v = 5, o = 0;
        uint32_t n = 1;
        return IOConnectMethodScalarIScalarO(c, 8, &v, 1, &o, &n) == kIOReturnSuccess ? o : -1;
    });
    std::string r = peer.Recv();
    peer.Send(Words({WordAt(r, 0), 0, 1, 0, 55}));
    EXPECT_EQ(call.get(), 55);

    ASSERT_EQ(UserClientCollect(c, tags, &count, 5000, out, 8, sizes, results), 2);
    EXPECT_EQ(std::string(out[0], sizes[0]), "CD");
    EXPECT_EQ(results[0], kIOReturnSuccess);
    EXPECT_EQ(sizes[1], 0u);
    EXPECT_EQ(results[1], static_cast<kern_return_t>(0xE00002C2));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(tags[0], middle);

    // Another call is left waiting when the connection closes.
    ASSERT_EQ(UserClientSubmit(c, 3, ask.data(), ask.size(), 8, 1, tags + 1), kIOReturnSuccess);
    count = 2;
    peer.Send(Words({middle, 0, 0, 8}) + "EFGHIJKL");
    ASSERT_EQ(UserClientCollect(c, tags, &count, 5000, out, 4, sizes, results), 1);
    EXPECT_EQ(std::string(out[0], sizes[0]), "EFGH"); // cut to the room given
    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
    EXPECT_EQ(UserClientCollect(c, tags, &count, 0, out, 8, sizes, results), -1);
}

// Every reply the protocol does not allow fails the call with kIOReturnError and leaves the
// connection unusable: later calls fail at once, and the driver sees the end of the stream.
TEST(UserClient, BadRepliesBreakTheConnection)
{
    struct Case {
        const char* what;
        std::string (*reply)(uint32_t tag);
    };
    const Case cases[] = {
        {"shorter than its header", [](uint32_t tag) { return Words({tag, 0}); }},
        {"structure larger than expected",
         [](uint32_t tag) { return Words({tag, 0, 0, 5}) + "12345"; }},
        {"more scalars than expected", [](uint32_t tag) { return Words({tag, 0, 2, 0, 1, 2}); }},
        {"length differs from its counts",
         [](uint32_t tag) { return Words({tag, 0, 0, 2}) + "123"; }},
        {"another tag", [](uint32_t tag) { return Words({tag + 1, 0, 0, 0}); }},
        {"larger than any reply",
         [](uint32_t tag) { return Words({tag, 0, 0, 4}) + std::string(8000, 'x'); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Plane plane;
        Peer peer(plane);
        io_connect_t c = peer.Connect();
        auto call = std::async(std::launch::async, [c] {
            int32_t out[1] = {0};
            uint32_t count = 1;
            return IOConnectMethodScalarIScalarO(c, 7, nullptr, 0, out, &count);
        });
        std::string request = peer.Recv();
        ASSERT_GE(request.size(), 4u);
        peer.Send(k.reply(WordAt(request, 0)));
        EXPECT_EQ(call.get(), kIOReturnError);
        EXPECT_TRUE(peer.SeesEnd());
        uint32_t count = 0;
        EXPECT_EQ(IOConnectMethodScalarIScalarO(c, 1, nullptr, 0, nullptr, &count),
                  kIOReturnError);
        EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
    }
}

TEST(UserClient, DriverClosingFailsEveryWaitingCall)
{
    Plane plane;
    Peer peer(plane);
    io_connect_t c = peer.Connect();
    auto call = [c] {
        uint32_t count = 0;
        return IOConnectMethodScalarIScalarO(c, 2, nullptr, 0, nullptr, &count);
    };
    auto a = std::async(std::launch::async, call);
    auto b = std::async(std::launch::async, call);
    peer.Recv();
    peer.Recv();
    peer.Hangup();
    EXPECT_EQ(a.get(), kIOReturnError);
    EXPECT_EQ(b.get(), kIOReturnError);
    EXPECT_EQ(call(), kIOReturnError);
    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
}

TEST(UserClient, CountsBeyondTheLimitsSendNothing)
{
    Plane plane;
    Peer peer(plane);
    io_connect_t c = peer.Connect();
    int32_t scalars[17] = {};
    uint32_t count = 17;
    EXPECT_EQ(IOConnectMethodScalarIScalarO(c, 0, scalars, 17, nullptr, nullptr),
              kIOReturnBadArgument);
    EXPECT_EQ(IOConnectMethodScalarIScalarO(c, 0, nullptr, 0, scalars, &count),
              kIOReturnBadArgument);
    std::string big(4097, 'x');
    size_t size = 0;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(c, 4, big.data(), big.size(), nullptr, &size),
              kIOReturnBadArgument);
    EXPECT_EQ(IOConnectMethodScalarIScalarO(0x7777, 0, nullptr, 0, nullptr, nullptr),
              kIOReturnNotOpen);
    // The connection still works.
    auto ok = std::async(std::launch::async, [c] {
        return IOConnectMethodScalarIScalarO(c, 1, nullptr, 0, nullptr, nullptr);
    });
    std::string request = peer.Recv();
    EXPECT_EQ(WordAt(request, 1), 1u);
    peer.Send(Words({WordAt(request, 0), 0, 0, 0}));
    EXPECT_EQ(ok.get(), kIOReturnSuccess);
    IOServiceClose(c);
}

// The plane lists its entries in bytewise order without the dot entries, conformance is the
// exact name, and an entry that is no listening SOCK_SEQPACKET socket does not open (a link to
// one neither: see the trust tests).
TEST(UserClient, PlaneEntries)
{
    Plane plane;
    int driver = plane.Bind("B-driver");
    int quiet = plane.Bind("C-not-listening", false);
    int stream = plane.Bind("D-stream", true, SOCK_STREAM);
    auto touch = [&](const char* name) {
        int fd = open(plane.Path(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        close(fd);
    };
    touch("E-file");
    ASSERT_EQ(symlink("/nonexistent/socket", plane.Path("F-dangling").c_str()), 0);
    ASSERT_EQ(symlink(plane.Path("B-driver").c_str(), plane.Path("G-link").c_str()), 0);
    touch(".hidden");
    touch("Ab");

    size_t held = IORegistryHeldCount();
    mach_port_t master = 0;
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnSuccess);
    io_iterator_t it = 0;
    ASSERT_EQ(IORegistryCreateIterator(master, kIOServicePlane, kIORegistryIterateRecursively, &it),
              kIOReturnSuccess);
    std::vector<std::string> names;
    while (io_object_t o = IOIteratorNext(it)) {
        std::string path;
        EXPECT_TRUE(IORegistryEntryPlanePath(o, &path));
        names.push_back(path.substr(plane.Dir().size() + 1));
        EXPECT_TRUE(IOObjectConformsTo(o, names.back().c_str()));
        EXPECT_FALSE(IOObjectConformsTo(o, "B"));
        IOObjectRelease(o);
    }
    IOObjectRelease(it);
    EXPECT_EQ(names, (std::vector<std::string>{"Ab", "B-driver", "C-not-listening", "D-stream",
                                               "E-file", "F-dangling", "G-link"}));
    EXPECT_EQ(IORegistryHeldCount(), held);

    int fds = proccount::Descriptors();
    for (const char* name : {"C-not-listening", "D-stream", "E-file", "F-dangling"}) {
        io_connect_t c = 0;
        EXPECT_EQ(OpenService(name, &c), kIOReturnNoDevice) << name;
    }
    EXPECT_EQ(proccount::Descriptors(), fds);
    EXPECT_EQ(IORegistryHeldCount(), held);
    close(driver);
    close(quiet);
    close(stream);

    // Objects that are no plane entry, and a plane folder that is gone.
    io_connect_t c = 0;
    EXPECT_EQ(IOServiceOpen(0, mach_task_self(), 0, &c), kIOReturnBadArgument);
    EXPECT_EQ(IORegistryCreateIterator(master, "IODeviceTree", 0, &it), kIOReturnBadArgument);
    setenv("PM_USERCLIENT_DIR", (plane.Dir() + "/gone").c_str(), 1);
    EXPECT_EQ(IORegistryCreateIterator(master, kIOServicePlane, 0, &it), kIOReturnNoDevice);
    EXPECT_EQ(IORegistryHeldCount(), held);
}

// Whom the host trusts: a plane folder others may write to (sticky or not), one another user owns,
// or a link at the driver's name is refused as a missing driver, with EPERM and a reason, also
// when the host is root. The same driver in a sound plane opens.
TEST(UserClientTrust, PlanesAndEntriesTheHostCannotTrust)
{
    struct Case {
        const char* what;
        std::function<int(const Plane&)> spoil; // 0, or an errno that says the case cannot be made
        const char* says;
    } cases[] = {
        {"world-writable plane", [](const Plane& p) { return chmod(p.Dir().c_str(), 0777); },
         "writable by others"},
        {"world-writable sticky plane",
         [](const Plane& p) { return chmod(p.Dir().c_str(), 01777); }, "writable by others"},
        {"plane of another user",
         [](const Plane& p) {
             passwd* pw = getpwnam("nobody");
             return pw == nullptr || pw->pw_uid == geteuid() ||
                            chown(p.Dir().c_str(), pw->pw_uid, static_cast<gid_t>(-1)) != 0
                        ? EPERM
                        : 0;
         },
         "belongs to uid"},
        {"link at the driver's name",
         [](const Plane& p) {
             return rename(p.Path(kDriver).c_str(), p.Path("elsewhere").c_str()) != 0 ||
                            symlink(p.Path("elsewhere").c_str(), p.Path(kDriver).c_str()) != 0
                        ? errno
                        : 0;
         },
         "is a link"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Plane plane;
        int driver = plane.Bind(kDriver);
        io_connect_t c = 0;
        ASSERT_EQ(OpenService(kDriver, &c), kIOReturnSuccess);
        EXPECT_STREQ(UserClientRefusal(), "");
        IOServiceClose(c);
        if (k.spoil(plane) != 0) {
            std::printf("skipped \"%s\": only root can make it\n", k.what);
            close(driver);
            continue;
        }
        errno = 0;
        EXPECT_EQ(OpenService(kDriver, &c), kIOReturnNoDevice);
        EXPECT_EQ(errno, EPERM);
        EXPECT_NE(std::string(UserClientRefusal()).find(k.says), std::string::npos)
            << UserClientRefusal();
        close(driver);
    }
}

// A socket another user planted in a plane its group may write to (as the phone's group can):
// the driver's user decides. Trusted once PM_USERCLIENT_UID names it, by name or number.
TEST(UserClientTrust, ADriverOfAnotherUser)
{
    std::string why;
    auto other = modemtest::FindOtherUser(PMSIM_MODEM_BINARY, &why);
    if (!other) {
        GTEST_SKIP() << why;
    }
    Plane plane;
    ASSERT_EQ(chown(plane.Dir().c_str(), static_cast<uid_t>(-1), other->gid), 0);
    ASSERT_EQ(chmod(plane.Dir().c_str(), 0770), 0);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = modemtest::SpawnAs(
        *other, {PMSIM_MODEM_BINARY, "--dir", plane.Dir(), "--name", kDriver, "--echo"}, out[1]);
    close(out[1]);
    ASSERT_GT(pid, 0);
    std::string line;
    char ch;
    pollfd p = {out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 &&
           read(out[0], &ch, 1) == 1) {
        line += ch;
    }
    close(out[0]);
    ASSERT_EQ(line, plane.Path(kDriver) + "\n");

    io_connect_t c = 0;
    errno = 0;
    EXPECT_EQ(OpenService(kDriver, &c), kIOReturnNoDevice);
    EXPECT_EQ(errno, EPERM);
    EXPECT_NE(std::string(UserClientRefusal()).find("uid " + std::to_string(other->uid)),
              std::string::npos)
        << UserClientRefusal();
    for (const std::string& named : {std::string("nobody"), std::to_string(other->uid)}) {
        setenv("PM_USERCLIENT_UID", named.c_str(), 1);
        EXPECT_EQ(OpenService(kDriver, &c), kIOReturnSuccess) << named;
        IOServiceClose(c);
    }
    setenv("PM_USERCLIENT_UID", "no-such-user-here", 1);
    EXPECT_EQ(OpenService(kDriver, &c), kIOReturnNoDevice);
    unsetenv("PM_USERCLIENT_UID");
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

namespace {

std::atomic<int> g_alarms{0};

void CountAlarm(int)
{
    g_alarms.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

// A host's timer interrupts a caller waiting for a late reply every millisecond: the wait goes on
// to its deadline, the reply arrives, and the connection stays usable.
TEST(UserClient, CaughtSignalsDoNotBreakAWaitingCall)
{
    Plane plane;
    Peer peer(plane);
    io_connect_t c = peer.Connect();
    struct sigaction action {}, saved{};
    action.sa_handler = CountAlarm;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &saved);
    auto call = std::async(std::launch::async, [c] {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = static_cast<pid_t>(gettid());
        timer_t timer{};
        EXPECT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
        itimerspec every{{0, 1000000}, {0, 1000000}};
        timer_settime(timer, 0, &every, nullptr);
        int32_t out = 0;
        uint32_t outCount = 1;
        kern_return_t r = IOConnectMethodScalarIScalarO(c, 7, nullptr, 0, &out, &outCount);
        timer_delete(timer);
        return std::make_pair(r, out);
    });
    std::string request = peer.Recv();
    ASSERT_FALSE(request.empty());
    const int before = g_alarms.load();
    // The caller is interrupted many times while it waits (or has given up, which fails below).
    while (g_alarms.load() - before < 100 &&
           call.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
    }
    peer.Send(Words({WordAt(request, 0), 0, 1, 0, 42}));
    EXPECT_EQ(call.get(), std::make_pair(kIOReturnSuccess, int32_t{42}));
    sigaction(SIGALRM, &saved, nullptr);
    // Still connected: the next call is sent and answered.
    auto next = std::async(std::launch::async, [c] {
        uint32_t none = 0;
        return IOConnectMethodScalarIScalarO(c, 2, nullptr, 0, nullptr, &none);
    });
    request = peer.Recv();
    ASSERT_FALSE(request.empty());
    peer.Send(Words({WordAt(request, 0), 0, 0, 0}));
    EXPECT_EQ(next.get(), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
}
