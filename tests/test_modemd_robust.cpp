// portmdl-modemd against clients that try to hold it: a client of a user it does not serve, one
// that pipelines requests faster than the phone takes them, one that never reads its replies.
// The daemon runs as a program here, so its memory and its stop are those of a real process.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <system_error>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CableSim.h"
#include "DaemonProgram.h"
#include "DriverWire.h"
#include "ModemDaemon.h"
#include "ModemTestSupport.h"

using namespace std::chrono_literals;
using modemtest::kDriverClass;
using modemd::ModemDaemon;
using modemtest::Plane;

namespace {

using Clock = std::chrono::steady_clock;


std::string Request(uint32_t tag, uint32_t selector, const std::vector<uint32_t>& scalars,
                    const std::string& structure, uint32_t scalarsOut, uint32_t structureOut)
{
    std::string r;
    for (uint32_t w : {tag, selector, static_cast<uint32_t>(scalars.size()),
                       static_cast<uint32_t>(structure.size()), scalarsOut, structureOut}) {
        pmwire::PutWord(r, w);
    }
    for (uint32_t s : scalars) {
        pmwire::PutWord(r, s);
    }
    return r + structure;
}

std::string OpenRequest(uint32_t tag)
{
    return Request(tag, 0, {1}, "", 0, 0);
}

// A write request of count bytes ('w'), as the module sends them.
std::string WriteRequest(uint32_t tag, uint32_t count)
{
    std::string s;
    pmwire::PutWord(s, count);
    s += std::string(count, 'w') + std::string(256 - count, '\0');
    pmwire::PutWord(s, 1);
    pmwire::PutWord(s, 1);
    return Request(tag, 4, {}, s, 0, 4);
}

// A client on a raw socket, so it can do what the module never does.
int Connect(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    return fd;
}

// The result word of the next reply within the deadline; nothing at the end of the stream.
std::optional<uint32_t> Result(int fd, std::chrono::milliseconds within = 10s)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(within.count())) != 1) {
        return std::nullopt;
    }
    uint8_t buf[512];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 8) {
        return std::nullopt;
    }
    return pmwire::Word(buf + 4);
}

// The daemon's hang-up on fd within the deadline; nothing is read, so replies stay untaken.
bool Closed(int fd, std::chrono::milliseconds within)
{
    const auto until = Clock::now() + within;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        pollfd p = {fd, 0, 0};
        if (left.count() <= 0) {
            return false;
        }
        if (poll(&p, 1, static_cast<int>(left.count())) == 1 && (p.revents & POLLHUP)) {
            return true;
        }
    }
}

// The daemon program serving tty in the plane, until stopped.
class DaemonProcess {
  public:
    DaemonProcess(const Plane& plane, const std::string& tty)
    {
        // Under AddressSanitizer, freed memory waits in a quarantine of up to 256 MiB before it
        // is used again; the daemon's own memory is what is measured, so there is none.
        std::vector<std::string> env;
        std::string asan = "ASAN_OPTIONS=";
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, asan.c_str(), asan.size()) == 0) {
                asan = std::string(*e) + ":";
            } else {
                env.emplace_back(*e);
            }
        }
        env.push_back(asan + "quarantine_size_mb=0");
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        int err = daemontest::Spawn({"--tty", tty, "--plane", plane.Dir()}, m_pid, envp.data());
        // Serving once it says so: the socket listens by then.
        const std::string said = daemontest::WaitForText(err, "serving");
        close(err);
        EXPECT_NE(said.find("serving"), std::string::npos) << said;
    }
    ~DaemonProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t Pid() const { return m_pid; }
    // Resident memory in KiB.
    long Rss() const
    {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        std::string key;
        long value = -1;
        while (status >> key) {
            if (key == "VmRSS:") {
                status >> value;
                break;
            }
        }
        return value;
    }
    // Sends SIGTERM; whether the daemon ended within the time.
    bool Terminate(std::chrono::milliseconds within)
    {
        kill(m_pid, SIGTERM);
        const auto until = Clock::now() + within;
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() >= until) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        m_pid = -1;
        return true;
    }

  private:
    pid_t m_pid = -1;
};

// A pseudo-terminal whose master side the test reads only when it wants to: a phone that takes
// nothing until then.
class SlowPhone {
  public:
    SlowPhone()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(m_master, 0);
        EXPECT_EQ(grantpt(m_master), 0);
        EXPECT_EQ(unlockpt(m_master), 0);
        m_slave = ptsname(m_master);
    }
    ~SlowPhone()
    {
        Stop();
        close(m_master);
    }
    const std::string& Slave() const { return m_slave; }
    // From now on every byte is taken and counted.
    void Drain()
    {
        m_thread = std::thread([this] {
            char buf[4096];
            while (!m_stop) {
                pollfd p = {m_master, POLLIN, 0};
                if (poll(&p, 1, 50) == 1) {
                    ssize_t n = read(m_master, buf, sizeof buf);
                    if (n > 0) {
                        m_taken += static_cast<std::size_t>(n);
                    }
                }
            }
        });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    std::size_t Taken() const { return m_taken; }

  private:
    int m_master = -1;
    std::string m_slave;
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_taken{0};
    std::thread m_thread;
};

} // namespace

// A client that pipelines writes while the phone takes nothing: once 64 KiB wait, its requests
// stay in the socket and its sends block; the daemon's memory stays flat. When the phone takes
// bytes again, everything goes through in order, over half a million requests.
TEST(DaemonRobust, PipeliningClientMeetsBackPressure)
{
    Plane plane;
    SlowPhone phone;
    DaemonProcess daemon(plane, phone.Slave());
    int fd = Connect(plane.Path(kDriverClass));
    const std::string open = OpenRequest(1);
    ASSERT_EQ(send(fd, open.data(), open.size(), 0), static_cast<ssize_t>(open.size()));
    ASSERT_EQ(Result(fd), 0u);
    const long before = daemon.Rss();
    ASSERT_GT(before, 0);

    constexpr uint32_t kStalled = 2000;     // big writes sent before the phone takes anything
    constexpr uint32_t kRequests = 500000;  // then small ones
    std::atomic<uint32_t> sent{0};
    std::atomic<uint32_t> answered{0};
    std::atomic<bool> failed{false};
    const std::size_t bytes = std::size_t{kStalled} * 256 + std::size_t{kRequests} * 8;
    std::thread reader([&] {
        while (answered < kStalled + kRequests) {
            auto r = Result(fd);
            if (!r || *r != 0) {
                failed = true;
                return;
            }
            ++answered;
        }
    });
    std::thread sender([&] {
        for (uint32_t i = 0; i < kStalled + kRequests && !failed; ++i) {
            std::string rq = WriteRequest(i + 2, i < kStalled ? 256 : 8);
            if (send(fd, rq.data(), rq.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(rq.size())) {
                failed = true;
                return;
            }
            ++sent;
        }
    });
    // The sends stop going through: the daemon left them in the socket.
    const auto until = Clock::now() + 20s;
    uint32_t last = 0;
    auto still = Clock::now();
    while (Clock::now() < until && Clock::now() - still < 500ms) {
        std::this_thread::sleep_for(50ms);
        if (sent != last) {
            last = sent;
            still = Clock::now();
        }
    }
    EXPECT_LT(sent.load(), kStalled) << "the daemon took every request while the phone took nothing";
    EXPECT_LT(daemon.Rss() - before, 4 * 1024) << "KiB grown with the phone stalled";

    phone.Drain();
    sender.join();
    reader.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(answered.load(), kStalled + kRequests);
    const auto drained = Clock::now() + 30s;
    while (phone.Taken() < bytes && Clock::now() < drained) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(phone.Taken(), bytes);
    EXPECT_LT(daemon.Rss() - before, 4 * 1024) << "KiB grown over the requests";
    close(fd);
}

// A client that sends requests and never reads a reply: a second client still gets its refusal
// (not the module's give-up after 5 s of silence), the stuck one is dropped, the next client is
// served, and SIGTERM ends the daemon within a second while a client floods it.
TEST(DaemonRobust, AClientThatNeverReadsHoldsNothing)
{
    Plane plane;
    pmsim::CableSim cable;
    cable.AddReply("AT\r", "\r\nOK\r\n");
    DaemonProcess daemon(plane, cable.SlavePath());
    auto flood = [&] {
        int fd = Connect(plane.Path(kDriverClass));
        std::string open = OpenRequest(1);
        EXPECT_EQ(send(fd, open.data(), open.size(), 0), static_cast<ssize_t>(open.size()));
        // Far more requests than the socket holds replies: a daemon that waited for the client
        // to take each reply would sit on them for seconds. Sent quickly, so the client is still
        // the daemon's when the test goes on (it is dropped a second after its first untaken
        // reply).
        for (uint32_t tag = 2; tag < 2002; ++tag) {
            std::string rq = Request(tag, 7, {}, "", 1, 0); // control lines: a reply each
            if (send(fd, rq.data(), rq.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
                pollfd p = {fd, POLLOUT, 0};
                if (errno != EAGAIN || poll(&p, 1, 100) != 1) {
                    break; // the daemon stopped reading
                }
                --tag;
            }
        }
        return fd;
    };
    int stuck = flood();

    io_connect_t second = 0;
    ASSERT_EQ(modemtest::OpenService(kDriverClass, &second), kIOReturnSuccess);
    const int32_t mode = 1;
    uint32_t none = 0;
    EXPECT_EQ(IOConnectMethodScalarIScalarO(second, 0, &mode, 1, nullptr, &none),
              static_cast<kern_return_t>(pmwire::kExclusiveAccess));
    IOServiceClose(second);

    EXPECT_TRUE(Closed(stuck, 10s)) << "the client that reads nothing was not dropped";
    close(stuck);
    int next = Connect(plane.Path(kDriverClass));
    std::string open = OpenRequest(1);
    ASSERT_EQ(send(next, open.data(), open.size(), 0), static_cast<ssize_t>(open.size()));
    EXPECT_EQ(Result(next), 0u);
    close(next);

    stuck = flood();
    EXPECT_TRUE(daemon.Terminate(1s)) << "SIGTERM not obeyed within a second";
    close(stuck);
}

// Whom the daemon serves: its socket is its group's (mode 0660), a client of another user is
// refused with kNotPermitted even when the socket's mode would let it in, and a member of the
// group is served. A plane others may write to, or another user's, is not served at all.
TEST(DaemonRobust, ServesOnlyItsGroup)
{
    Plane plane;
    pmsim::CableSim cable;
    modemd::TtyLocator locator(cable.SlavePath());
    ModemDaemon::Options options;
    options.plane = plane.Dir();

    ASSERT_EQ(chmod(plane.Dir().c_str(), 0777), 0);
    try {
        ModemDaemon refused(options, locator);
        ADD_FAILURE() << "served a plane anyone may write to";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EPERM) << e.what();
    }
    ASSERT_EQ(chmod(plane.Dir().c_str(), 0755), 0);

    std::string why;
    auto other = modemtest::FindOtherUser("/usr/bin/python3", &why);
    if (!other) {
        GTEST_SKIP() << why;
    }
    ASSERT_EQ(chown(plane.Dir().c_str(), other->uid, static_cast<gid_t>(-1)), 0);
    try {
        ModemDaemon refused(options, locator);
        ADD_FAILURE() << "served a plane of another user";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EPERM) << e.what();
    }
    ASSERT_EQ(chown(plane.Dir().c_str(), 0, static_cast<gid_t>(-1)), 0);

    // The other user's client: the open's result, or how its connect failed.
    const std::string path = plane.Path(kDriverClass);
    auto asOther = [&] {
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        pid_t pid = modemtest::SpawnAs(
            *other,
            {"/usr/bin/python3", "-c",
             "import socket, struct, sys\n"
             "s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
             "try:\n"
             "    s.connect(sys.argv[1])\n"
             "except OSError as e:\n"
             "    print('connect errno', e.errno); sys.exit(0)\n"
             "s.send(struct.pack('<7I', 9, 0, 1, 0, 0, 0, 1))\n"
             "s.settimeout(10)\n"
             "r = s.recv(64)\n"
             "print('result %08x' % struct.unpack('<I', r[4:8])[0] if len(r) >= 8 else 'closed')\n",
             path},
            out[1]);
        close(out[1]);
        std::string said;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            said += c;
        }
        close(out[0]);
        waitpid(pid, nullptr, 0);
        return said;
    };
    {
        ModemDaemon daemon(options, locator); // serves the test's own group
        std::thread run([&] { daemon.Run(); });
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u);
        EXPECT_EQ(st.st_gid, getegid());
        EXPECT_EQ(asOther(), "connect errno " + std::to_string(EACCES));
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        EXPECT_EQ(asOther(), "result e00002e2");
        daemon.Stop();
        run.join();
    }
    options.group = other->gid;
    {
        ModemDaemon daemon(options, locator);
        std::thread run([&] { daemon.Run(); });
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, other->gid);
        EXPECT_EQ(asOther(), "result 00000000");
        daemon.Stop();
        run.join();
    }
}
