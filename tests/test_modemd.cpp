// The phone modem driver daemon with a pseudo-terminal behind it and the cable simulator playing
// the phone: cable type 5 through the exported functions, the phone going away and coming back,
// one client at a time, and each method's translation seen at the tty's side.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "CableSim.h"
#include "CommBaseForMAC.h"
#include "DaemonProgram.h"
#include "ModemDaemon.h"
#include "ModemDriverSim.h"
#include "ModemTestSupport.h"
#include "SerialTestSupport.h"
#include "TtyTrace.h"
#include "platform/serial/TtySpeed.h"
#include "portmdl/PortMdl.h"

using namespace std::chrono_literals;
using modemtest::kDriverClass;
using modemtest::kOk;
using modemd::LineCoding;
using modemd::ModemDaemon;
using modemtest::OpenService;
using modemtest::Plane;
using pmsim::CableSim;

namespace {


// The daemon's log lines, and a wait for one.
class LogLines {
  public:
    void Add(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
        m_changed.notify_all();
    }
    bool Wait(const std::string& part, std::size_t count = 1)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] {
            std::size_t n = 0;
            for (const std::string& l : m_lines) {
                n += l.find(part) != std::string::npos;
            }
            return n >= count;
        });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

// A daemon serving a plane in a thread of the test, its tty named by a link the test can point
// elsewhere, as /dev/serial/by-id links follow a phone.
class Served {
  public:
    Served(const std::string& planeDir, const std::string& ttyPath)
        : m_locator(ttyPath), m_daemon(Options(planeDir), m_locator),
          m_thread([this] { m_daemon.Run(); })
    {
    }
    ~Served()
    {
        m_daemon.Stop();
        m_thread.join();
    }
    LogLines log;

  private:
    ModemDaemon::Options Options(const std::string& dir)
    {
        ModemDaemon::Options o;
        o.plane = dir;
        o.retry = 20ms;
        o.log = [this](const std::string& line) { log.Add(line); };
        return o;
    }
    modemd::TtyLocator m_locator;
    ModemDaemon m_daemon;
    std::thread m_thread;
};

class Daemon : public serialtest::SerialTest {
  protected:
    void SetUp() override
    {
        serialtest::SetCableType(5);
        ttytrace::Reset();
        char tmpl[] = "/tmp/pmmodemd.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        link = m_dir + "/phone";
        cable = std::make_unique<CableSim>();
        cable->AddReply("AT\r", kOk);
        PointAt(cable->SlavePath());
        served = std::make_unique<Served>(plane.Dir(), link);
    }
    void TearDown() override
    {
        serialtest::SerialTest::TearDown();
        served.reset();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    // Points the tty link at target, at once for every reader.
    void PointAt(const std::string& target)
    {
        std::string next = link + ".new";
        ASSERT_EQ(symlink(target.c_str(), next.c_str()), 0);
        ASSERT_EQ(rename(next.c_str(), link.c_str()), 0);
    }
    // Takes the phone away. The link first points nowhere: the freed pseudo-terminal's name may
    // go to another process's terminal at once, which the daemon must not take for the phone.
    void Unplug()
    {
        PointAt(m_dir + "/gone");
        cable->Unplug();
    }
    static void Exchange()
    {
        ASSERT_EQ(PM_SetRxTimeout(3000), 1);
        ASSERT_EQ(PM_TxBytes(3, reinterpret_cast<const uint8_t*>("AT\r")), 1);
        uint8_t answer[6] = {};
        ASSERT_EQ(PM_RxBytes(6, answer), 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 6), kOk);
    }

    Plane plane;
    std::string m_dir, link;
    std::unique_ptr<CableSim> cable;
    std::unique_ptr<Served> served;
};

// A connection of the test's own to the daemon, opened with selector 0 unless told otherwise.
class Client {
  public:
    explicit Client(bool open = true)
    {
        EXPECT_EQ(OpenService(kDriverClass, &m_c), kIOReturnSuccess);
        if (open) {
            EXPECT_EQ(Scalar(0, {1}), 0);
        }
    }
    ~Client() { IOServiceClose(m_c); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int32_t Scalar(uint32_t selector, std::vector<int32_t> in, int32_t* out = nullptr)
    {
        uint32_t n = out != nullptr ? 1 : 0;
        return IOConnectMethodScalarIScalarO(m_c, selector, in.data(),
                                             static_cast<uint32_t>(in.size()), out, &n);
    }
    int32_t SetCoding(const LineCoding& coding)
    {
        return IOConnectMethodScalarIStructureI(m_c, 6, nullptr, 0, coding.data(), coding.size());
    }
    int32_t GetCoding(LineCoding& coding)
    {
        size_t size = coding.size();
        return IOConnectMethodScalarIStructureO(m_c, 5, nullptr, 0, coding.data(), &size);
    }
    // A read request; the bytes it brought in got.
    int32_t Read(std::string& got)
    {
        const uint32_t request[3] = {256, 1, 1};
        uint8_t reply[260] = {};
        size_t size = sizeof reply;
        int32_t r = IOConnectMethodStructureIStructureO(m_c, 3, request, sizeof request, reply,
                                                        &size);
        uint32_t count = 0;
        std::memcpy(&count, reply, 4);
        got.assign(reinterpret_cast<char*>(reply) + 4, std::min<size_t>(count, 256));
        return r;
    }
    int32_t Write(const std::string& bytes, uint32_t count)
    {
        uint8_t request[268] = {};
        std::memcpy(request, &count, 4);
        std::memcpy(request + 4, bytes.data(), std::min<size_t>(bytes.size(), 256));
        request[260] = request[264] = 1;
        uint8_t reply[4] = {};
        size_t size = sizeof reply;
        return IOConnectMethodStructureIStructureO(m_c, 4, request, sizeof request, reply, &size);
    }
    io_connect_t Handle() const { return m_c; }

  private:
    io_connect_t m_c = 0;
};

LineCoding Coding(uint32_t rate, uint8_t stopBits, uint8_t parity, uint8_t dataBits)
{
    LineCoding c{};
    std::memcpy(c.data(), &rate, 4);
    c[4] = stopBits;
    c[5] = parity;
    c[6] = dataBits;
    return c;
}

// The line's output speed in bit/s, seen from the master side.
uint32_t Speed(int master)
{
    uint32_t in = 0, out = 0;
    EXPECT_EQ(TtyGetSpeeds(master, &in, &out), 0);
    return out;
}

// True when someone holds the tty (the daemon takes an exclusive flock with it).
bool Held(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
}

} // namespace

TEST_F(Daemon, PortOpensExchangesBothWaysAndCloses)
{
    ASSERT_EQ(PM_OpenPort(3), 1);
    EXPECT_TRUE(Held(cable->SlavePath()));
    Exchange();
    // The phone speaks first, more than one read reply holds.
    std::string ring(700, 'R');
    cable->Send(ring);
    std::vector<uint8_t> got(ring.size());
    ASSERT_EQ(PM_RxBytes(static_cast<int32_t>(got.size()), got.data()), 1);
    EXPECT_EQ(std::string(got.begin(), got.end()), ring);
    // A long write goes out whole and in order.
    cable->ClearReceived();
    std::string lines;
    for (int i = 0; i < 100; ++i) {
        lines += "line " + std::to_string(i) + "\n";
    }
    ASSERT_EQ(PM_TxBytes(static_cast<int32_t>(lines.size()),
                         reinterpret_cast<const uint8_t*>(lines.data())),
              1);
    ASSERT_TRUE(cable->WaitReceived(lines.size(), 10s));
    EXPECT_EQ(cable->Received(), lines);

    ASSERT_EQ(PM_ClosePort(), 1);
    ASSERT_TRUE(served->log.Wait("tty closed by the client"));
    EXPECT_FALSE(Held(cable->SlavePath()));
    // And again, as a host opens the port for its next session.
    ASSERT_EQ(PM_OpenPort(3), 1);
    Exchange();
}

TEST_F(Daemon, PhoneGoesAwayAndComesBackUnderTheSameLink)
{
    ASSERT_EQ(PM_OpenPort(3), 1);
    Exchange();

    Unplug();
    ASSERT_TRUE(served->log.Wait("phone gone"));
    EXPECT_EQ(PM_TxBytes(3, reinterpret_cast<const uint8_t*>("AT\r")), 0);
    EXPECT_EQ(TheCommBase->EI_GetLastError(), 101u);
    {
        Client other(false); // refused while the port's client holds the daemon
        EXPECT_EQ(other.Scalar(0, {1}), static_cast<int32_t>(pmwire::kExclusiveAccess));
    }

    auto back = std::make_unique<CableSim>();
    back->AddReply("AT\r", "\r\nBACK\r\n");
    PointAt(back->SlavePath());
    ASSERT_TRUE(served->log.Wait("phone back"));
    PM_ClearBuffer();
    ASSERT_EQ(PM_TxBytes(3, reinterpret_cast<const uint8_t*>("AT\r")), 1);
    uint8_t answer[8] = {};
    ASSERT_EQ(PM_RxBytes(8, answer), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 8), "\r\nBACK\r\n");
    EXPECT_TRUE(Held(back->SlavePath()));
    ASSERT_EQ(PM_ClosePort(), 1);
}

TEST_F(Daemon, LineCodingTheClientSetIsRestoredWhenThePhoneComesBack)
{
    Client c;
    ASSERT_EQ(c.SetCoding(Coding(9600, 2, 0, 8)), 0);
    Unplug();
    ASSERT_TRUE(served->log.Wait("phone gone"));
    LineCoding coding{};
    EXPECT_EQ(c.GetCoding(coding), static_cast<int32_t>(pmwire::kNotAttached));
    std::string got;
    EXPECT_EQ(c.Read(got), static_cast<int32_t>(pmwire::kNotAttached));
    EXPECT_EQ(c.Write("x", 1), static_cast<int32_t>(pmwire::kNotAttached));

    CableSim back;
    PointAt(back.SlavePath());
    ASSERT_TRUE(served->log.Wait("phone back"));
    termios t{};
    ASSERT_EQ(tcgetattr(back.MasterFd(), &t), 0);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(Speed(back.MasterFd()), 9600u);
}

TEST_F(Daemon, OneClientAtATimeAndAVanishedClientReleasesTheTty)
{
    auto first = std::make_unique<Client>();
    EXPECT_TRUE(Held(cable->SlavePath()));
    {
        Client second(false);
        EXPECT_EQ(second.Scalar(0, {1}), static_cast<int32_t>(pmwire::kExclusiveAccess));
        // The daemon is done with it: the connection has gone.
        EXPECT_EQ(second.Scalar(0, {1}), static_cast<int32_t>(kIOReturnError));
    }
    // The first is served on as before.
    ASSERT_EQ(first->Write("AT\r", 3), 0);
    std::string got;
    auto until = std::chrono::steady_clock::now() + 10s;
    while (got.size() < kOk.size() && std::chrono::steady_clock::now() < until) {
        std::string more;
        ASSERT_EQ(first->Read(more), 0);
        got += more;
    }
    EXPECT_EQ(got, kOk);

    first.reset(); // the client goes without closing the tty
    ASSERT_TRUE(served->log.Wait("tty released"));
    EXPECT_FALSE(Held(cable->SlavePath()));
    ASSERT_EQ(PM_OpenPort(3), 1); // the next client is served
}

TEST_F(Daemon, LineCodingReachesTheTty)
{
    Client c;
    LineCoding coding{};
    // 2 stop bits at 9600 bit/s, then 8N1 at a rate termios has no constant for.
    ASSERT_EQ(c.SetCoding(Coding(9600, 2, 0, 8)), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(cable->MasterFd(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB), static_cast<tcflag_t>(CS8 | CSTOPB));
    EXPECT_EQ(Speed(cable->MasterFd()), 9600u);
    ASSERT_EQ(c.GetCoding(coding), 0);
    EXPECT_EQ(coding, Coding(9600, 2, 0, 8));

    ASSERT_EQ(c.SetCoding(Coding(14400, 0, 0, 8)), 0);
    ASSERT_EQ(c.GetCoding(coding), 0);
    EXPECT_EQ(coding, Coding(14400, 0, 0, 8));
    ASSERT_EQ(tcgetattr(cable->MasterFd(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB), static_cast<tcflag_t>(CS8));

    // A pseudo-terminal keeps 8 data bits and drops parity: applied as asked, reported as not
    // taken, and the record read back is what the line has.
    struct Refused {
        LineCoding coding;
        tcflag_t applied;
    } refused[] = {
        {Coding(9600, 0, 1, 8), CS8 | PARENB | PARODD},
        {Coding(9600, 0, 4, 8), CS8 | PARENB | CMSPAR},
        {Coding(9600, 0, 0, 7), CS7},
        {Coding(9600, 1, 0, 5), CS5 | CSTOPB},
    };
    for (const Refused& r : refused) {
        EXPECT_EQ(c.SetCoding(r.coding), static_cast<int32_t>(pmwire::kUnsupported));
        termios applied = ttytrace::AppliedSettings().back();
        EXPECT_EQ(applied.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR), r.applied);
        ASSERT_EQ(c.GetCoding(coding), 0);
        EXPECT_EQ(coding[5], 0); // no parity
        EXPECT_EQ(coding[6], 8);
    }

    // Records no line can have change nothing.
    const LineCoding bad[] = {Coding(0, 0, 0, 8),  Coding(9600, 3, 0, 8), Coding(9600, 0, 5, 8),
                              Coding(9600, 0, 0, 4), Coding(9600, 0, 0, 9), Coding(9600, 0, 0, 16),
                              Coding(9600, 1, 0, 8)};
    size_t before = ttytrace::AppliedSettings().size();
    for (const LineCoding& b : bad) {
        EXPECT_EQ(c.SetCoding(b), static_cast<int32_t>(pmwire::kBadArgument))
            << int(b[4]) << " " << int(b[5]) << " " << int(b[6]);
    }
    EXPECT_EQ(ttytrace::AppliedSettings().size(), before);
}

TEST_F(Daemon, ControlLinesReachTheTty)
{
    Client c;
    // The pseudo-terminal refuses modem-control ioctls; the trace lets them through.
    EXPECT_NE(c.Scalar(8, {3}), 0);
    ttytrace::FakeModemLines(true);
    for (int32_t state : {1, 2, 3, 0}) {
        EXPECT_EQ(c.Scalar(8, {state}), 0);
    }
    const std::vector<int> expected = {TIOCM_DTR | TIOCM_RTS, TIOCM_DTR, TIOCM_RTS,
                                       TIOCM_DTR | TIOCM_RTS, 0};
    EXPECT_EQ(ttytrace::ModemLineStates(), expected);
    EXPECT_EQ(c.Scalar(8, {4}), static_cast<int32_t>(pmwire::kBadArgument));
    int32_t state = -1;
    EXPECT_NE(c.Scalar(7, {}, &state), 0); // nor can the lines be read back from it
}

TEST_F(Daemon, PurgeDiscardsWhatThePhoneSentAndNoReadTook)
{
    Client c;
    cable->Send("stale");
    ASSERT_TRUE(cable->WaitSent(5s));
    int flushes = ttytrace::Flushes();
    ASSERT_EQ(c.Scalar(2, {}), 0);
    EXPECT_EQ(ttytrace::Flushes(), flushes + 1);
    std::string got = "?";
    ASSERT_EQ(c.Read(got), 0);
    EXPECT_EQ(got, "");
    cable->Send("fresh");
    got.clear();
    auto until = std::chrono::steady_clock::now() + 10s;
    while (got.size() < 5 && std::chrono::steady_clock::now() < until) {
        std::string more;
        ASSERT_EQ(c.Read(more), 0);
        got += more;
    }
    EXPECT_EQ(got, "fresh");
}

TEST_F(Daemon, BadRequestsAreAnsweredWithErrors)
{
    Client c(false);
    std::string got;
    // Calls on the tty before the client opened it.
    EXPECT_EQ(c.Read(got), static_cast<int32_t>(pmwire::kNotOpen));
    EXPECT_EQ(c.Write("x", 1), static_cast<int32_t>(pmwire::kNotOpen));
    EXPECT_EQ(c.Scalar(2, {}), static_cast<int32_t>(pmwire::kNotOpen));
    ASSERT_EQ(c.Scalar(0, {1}), 0);
    ASSERT_EQ(c.Scalar(0, {96}), 0); // the second open of a port's two
    // Wrong shapes and unknown selectors.
    EXPECT_EQ(c.Scalar(9, {}), static_cast<int32_t>(pmwire::kUnsupported));
    EXPECT_EQ(c.Scalar(0, {}), static_cast<int32_t>(pmwire::kBadArgument));
    EXPECT_EQ(c.Scalar(2, {1}), static_cast<int32_t>(pmwire::kBadArgument));
    EXPECT_EQ(c.Write("x", 0), static_cast<int32_t>(pmwire::kBadArgument));
    EXPECT_EQ(c.Write("x", 257), static_cast<int32_t>(pmwire::kBadArgument));
    uint8_t shortRead[11] = {}, reply[260];
    size_t size = sizeof reply;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(c.Handle(), 3, shortRead, sizeof shortRead,
                                                  reply, &size),
              static_cast<int32_t>(pmwire::kBadArgument));
    const uint32_t readRequest[3] = {256, 1, 1};
    size = 4; // room for the count only
    EXPECT_EQ(IOConnectMethodStructureIStructureO(c.Handle(), 3, readRequest, sizeof readRequest,
                                                  reply, &size),
              static_cast<int32_t>(pmwire::kBadArgument));
    uint8_t coding[7] = {};
    EXPECT_EQ(IOConnectMethodScalarIStructureI(c.Handle(), 6, nullptr, 0, coding, sizeof coding),
              static_cast<int32_t>(pmwire::kBadArgument));
    // The connection still serves.
    ASSERT_EQ(c.Write("AT\r", 3), 0);
    EXPECT_TRUE(cable->WaitReceived(3, 5s));
    ASSERT_EQ(c.Scalar(1, {}), 0);
    EXPECT_EQ(c.Write("x", 1), static_cast<int32_t>(pmwire::kNotOpen));
}

TEST_F(Daemon, TtysThatCannotServe)
{
    struct Case {
        const char* target;
        int32_t result;
    } cases[] = {
        {"/nonexistent/ttyACM9", pmwire::kNotAttached},
        {"/dev/null", pmwire::kUnsupported}, // a device but no terminal
    };
    for (const Case& k : cases) {
        PointAt(k.target);
        Client c(false);
        EXPECT_EQ(c.Scalar(0, {1}), k.result) << k.target;
    }
    // A tty another daemon holds (on a plane of its own) is not shared.
    PointAt(cable->SlavePath());
    Plane otherPlane;
    Served other(otherPlane.Dir(), cable->SlavePath());
    io_connect_t c = 0;
    ASSERT_EQ(OpenService(kDriverClass, &c), kIOReturnSuccess);
    int32_t mode = 1;
    uint32_t none = 0;
    ASSERT_EQ(IOConnectMethodScalarIScalarO(c, 0, &mode, 1, nullptr, &none), 0);
    setenv("PM_USERCLIENT_DIR", plane.Dir().c_str(), 1);
    {
        Client second(false);
        EXPECT_EQ(second.Scalar(0, {1}), static_cast<int32_t>(pmwire::kExclusiveAccess));
    }
    IOServiceClose(c);
}

// Why cable type 5 did not open, as the host learns it: the module's code and line are those of
// every failed open (7 at 672), and PM_GetSysErr names the system's reason for each case.
class OpenRefused;
struct Refusal {
    const char* name;
    // Brings the plane or the phone into the case; what it returns lives until the open failed.
    std::shared_ptr<void> (OpenRefused::*arrange)();
    int sysErr;
};

void PrintTo(const Refusal& refusal, std::ostream* out)
{
    *out << refusal.name;
}

class OpenRefused : public Daemon, public testing::WithParamInterface<Refusal> {
  public:
    std::shared_ptr<void> HeldByAnotherClient() { return std::make_shared<Client>(); }
    std::shared_ptr<void> PhoneUnplugged()
    {
        Unplug();
        return nullptr;
    }
    std::shared_ptr<void> NoDriverInThePlane()
    {
        served.reset(); // the daemon stops and takes its socket away
        return nullptr;
    }
    std::shared_ptr<void> NoPlaneFolder()
    {
        setenv("PM_USERCLIENT_DIR", (plane.Dir() + "/missing").c_str(), 1);
        return nullptr;
    }
    std::shared_ptr<void> SocketOfADriverThatDied()
    {
        served.reset();
        int fd = plane.Bind(kDriverClass, false);
        return std::shared_ptr<void>(nullptr, [fd](void*) { close(fd); });
    }
    std::shared_ptr<void> EntryThatIsNoSocket()
    {
        served.reset();
        close(open(plane.Path(kDriverClass).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        return nullptr;
    }
    std::shared_ptr<void> PlaneOthersMayWriteTo()
    {
        EXPECT_EQ(chmod(plane.Dir().c_str(), 0777), 0);
        return nullptr;
    }
    std::shared_ptr<void> DriverDoesNotServeTheHost()
    {
        served.reset();
        auto driver = std::make_shared<pmsim::ModemDriverSim>(plane.Dir());
        driver->SetFault(0, pmsim::ModemDriverSim::Fault::Fail, pmwire::kNotPermitted);
        return driver;
    }
};

TEST_P(OpenRefused, TheSystemsReasonComesWithTheFailure)
{
    std::shared_ptr<void> arranged = (this->*GetParam().arrange)();
    ASSERT_EQ(PM_OpenPort(3), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(PM_GetErrLine(), 672);
    EXPECT_EQ(PM_GetSysErr(), GetParam().sysErr)
        << std::strerror(PM_GetSysErr()) << " instead of " << std::strerror(GetParam().sysErr);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCase, OpenRefused,
    testing::Values(Refusal{"HeldByAnotherClient", &OpenRefused::HeldByAnotherClient, EBUSY},
                    Refusal{"PhoneUnplugged", &OpenRefused::PhoneUnplugged, ENODEV},
                    Refusal{"NoDriverInThePlane", &OpenRefused::NoDriverInThePlane, ENOENT},
                    Refusal{"NoPlaneFolder", &OpenRefused::NoPlaneFolder, ENOENT},
                    Refusal{"SocketOfADriverThatDied", &OpenRefused::SocketOfADriverThatDied,
                            ECONNREFUSED},
                    Refusal{"EntryThatIsNoSocket", &OpenRefused::EntryThatIsNoSocket,
                            ECONNREFUSED},
                    Refusal{"PlaneOthersMayWriteTo", &OpenRefused::PlaneOthersMayWriteTo, EPERM},
                    Refusal{"DriverDoesNotServeTheHost", &OpenRefused::DriverDoesNotServeTheHost,
                            EACCES}),
    [](const testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST(DaemonStart, RefusesAPlaneItCannotServe)
{
    Plane plane;
    CableSim cable;
    modemd::TtyLocator locator(cable.SlavePath());
    ModemDaemon::Options options;
    options.plane = plane.Dir();
    ModemDaemon first(options, locator);
    try {
        ModemDaemon second(options, locator);
        ADD_FAILURE() << "two daemons serve one plane";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EADDRINUSE);
    }
    options.plane = plane.Dir() + "/" + kDriverClass + "/sub"; // beneath a socket: no folder there
    EXPECT_THROW(ModemDaemon(options, locator), std::system_error);
    if (geteuid() != 0) { // root writes anywhere
        std::string locked = plane.Dir() + "/locked";
        ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
        options.plane = locked;
        try {
            ModemDaemon refused(options, locator);
            ADD_FAILURE() << "served a plane it may not write";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), EACCES);
        }
    }
}

// Only a socket is removed from the driver's place in the plane (one a driver that died left): a
// file, a FIFO or a link found there stays, and the daemon does not serve.
TEST(DaemonStart, LeavesAnEntryThatIsNoSocket)
{
    Plane plane;
    modemd::TtyLocator locator("/nonexistent/ttyACM9");
    ModemDaemon::Options options;
    options.plane = plane.Dir();
    const std::string entry = plane.Path(kDriverClass);
    const struct {
        const char* what;
        std::function<int()> plant;
        mode_t kind;
    } cases[] = {
        {"a file", [&] { return close(open(entry.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)); },
         S_IFREG},
        {"a FIFO", [&] { return mkfifo(entry.c_str(), 0600); }, S_IFIFO},
        {"a link", [&] { return symlink("/dev/null", entry.c_str()); }, S_IFLNK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.plant(), 0);
        try {
            ModemDaemon daemon(options, locator);
            ADD_FAILURE() << "served in its place";
        } catch (const std::system_error& e) {
            EXPECT_NE(std::string(e.what()).find("not a socket"), std::string::npos) << e.what();
        }
        struct stat st {};
        ASSERT_EQ(lstat(entry.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.kind);
        ASSERT_EQ(unlink(entry.c_str()), 0);
    }
    // The socket of a driver that died is taken over.
    ASSERT_EQ(close(plane.Bind(kDriverClass, false)), 0);
    ModemDaemon daemon(options, locator);
    struct stat st {};
    ASSERT_EQ(lstat(entry.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

TEST(DaemonStart, UsbIds)
{
    auto id = modemd::ParseUsbId("12AB:5:SN-1");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->vendor, "12ab");
    EXPECT_EQ(id->product, "0005");
    EXPECT_EQ(id->serial, "SN-1");
    for (const char* bad : {"", "12ab", "12ab:", ":5", "12345:1", "1g:2", "1:2:"}) {
        EXPECT_FALSE(modemd::ParseUsbId(bad)) << bad;
    }
}

TEST_F(Daemon, APhoneSlowerThanTheClientLosesNothing)
{
    // A line nobody reads for a while: the tty fills, then the daemon holds the client's writes.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    PointAt(ptsname(master));
    std::string sent;
    for (int i = 0; sent.size() < 200 * 1024; ++i) {
        sent += "chunk " + std::to_string(i) + " ";
    }
    Client c;
    std::atomic<int32_t> failed{0};
    std::thread writer([&] {
        for (size_t at = 0; at < sent.size(); at += 256) {
            std::string piece = sent.substr(at, 256);
            int32_t r = c.Write(piece, static_cast<uint32_t>(piece.size()));
            if (r != 0) {
                failed = r;
                return;
            }
        }
    });
    std::this_thread::sleep_for(300ms); // let the writes pile up
    std::string got;
    char buf[4096];
    pollfd p = {master, POLLIN, 0};
    while (got.size() < sent.size() && failed == 0 && poll(&p, 1, 10000) == 1) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    writer.join();
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
    close(master);
}

namespace {

// The daemon program with args; its exit status and what it wrote to standard error. With
// untilLine, the process is left running once a line of standard error holds it (pid set).
struct Program {
    int status = -1;
    std::string err;
    pid_t pid = -1;
};

Program Start(std::vector<std::string> args, const std::string& untilLine = "")
{
    Program p;
    int err = daemontest::Spawn(std::move(args), p.pid);
    if (untilLine.empty()) {
        waitpid(p.pid, &p.status, 0);
        p.pid = -1;
        p.err = daemontest::ReadAll(err);
    } else {
        p.err = daemontest::WaitForText(err, untilLine);
    }
    close(err);
    return p;
}

int Stop(Program& p)
{
    kill(p.pid, SIGTERM);
    waitpid(p.pid, &p.status, 0);
    p.pid = -1;
    return p.status;
}

} // namespace

TEST(DaemonProgram, ServesAPortUntilStopped)
{
    Plane plane;
    CableSim cable;
    cable.AddReply("AT\r", kOk);
    Program daemon = Start({"--tty", cable.SlavePath(), "--plane", plane.Dir()}, "serving");
    ASSERT_GT(daemon.pid, 0) << daemon.err;
    EXPECT_NE(daemon.err.find("serving " + plane.Path(kDriverClass) + " for " + cable.SlavePath()),
              std::string::npos)
        << daemon.err;

    // A second daemon for the plane says why it cannot serve.
    Program second = Start({"--tty", cable.SlavePath(), "--plane", plane.Dir()});
    EXPECT_EQ(WEXITSTATUS(second.status), 1);
    EXPECT_NE(second.err.find("another driver serves it"), std::string::npos) << second.err;

    serialtest::SetCableType(5);
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    ASSERT_EQ(PM_TxBytes(3, reinterpret_cast<const uint8_t*>("AT\r")), 1);
    uint8_t answer[6] = {};
    ASSERT_EQ(PM_RxBytes(6, answer), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 6), kOk);
    ASSERT_EQ(PM_ClosePort(), 1);

    int status = Stop(daemon);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    EXPECT_NE(lstat(plane.Path(kDriverClass).c_str(), &st), 0); // the socket went with it
}

TEST(DaemonProgram, CommandLine)
{
    Program help = Start({"--help"});
    EXPECT_EQ(WEXITSTATUS(help.status), 0);
    EXPECT_NE(help.err.find("--usb"), std::string::npos);
    Program version = Start({"--version"});
    EXPECT_EQ(WEXITSTATUS(version.status), 0);
    EXPECT_EQ(version.err.rfind("portmdl-modemd ", 0), 0u) << version.err;
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{}, "--tty or --usb"},
        {{"--tty", "/etc/hostname"}, "not a terminal device"},
        {{"--usb", "12345:1"}, "--usb wants VID:PID"},
        {{"--tty", "/dev/null", "--usb", "1:2"}, "excludes"},
        {{"--tty", "/dev/null", "--allow-group", "no-such-group-here"}, "no group no-such-group"},
        {{"--frobnicate"}, "frobnicate"},
    };
    for (const Case& k : bad) {
        Program p = Start(k.args);
        EXPECT_EQ(WEXITSTATUS(p.status), 2) << k.says;
        EXPECT_NE(p.err.find(k.says), std::string::npos) << p.err;
    }
}
