// pmctl waiting for a phone: talk --wait before its first step, term --wait across unplugs. The
// phone is the cable simulator behind a link that appears, vanishes and comes back, as a USB
// phone's node does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "CableSim.h"
#include "SpawnArgs.h"
#include "platform/serial/TtySpeed.h"
#include "pmctl_run.h"

using namespace pmctltest;

namespace {

// pmctl in the background: standard input from input (a terminal's slave) when named, output
// and errors into out.txt and err.txt in scratch.
pid_t startPmctl(const std::vector<std::string>& args, const fs::path& scratch,
                 const std::string& input = "/dev/null")
{
    std::vector<std::string> words = {PMCTL_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv = spawnargs::ArgvOf(words);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, input.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_addopen(&files, 1, (scratch / "out.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (scratch / "err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

int exitStatus(pid_t pid)
{
    int raw = 0;
    if (::waitpid(pid, &raw, 0) != pid)
        return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool waitFor(const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

size_t openDescriptors(pid_t pid)
{
    std::error_code ec;
    auto entries = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? 0 : static_cast<size_t>(std::distance(entries, fs::directory_iterator()));
}

// A keyboard: pmctl's standard input is this pseudo-terminal's slave.
class Keyboard {
  public:
    Keyboard()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(m_master, 0);
        EXPECT_EQ(::grantpt(m_master), 0);
        EXPECT_EQ(::unlockpt(m_master), 0);
        m_path = ::ptsname(m_master);
    }
    ~Keyboard() { ::close(m_master); }
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;
    const std::string& path() const { return m_path; }
    void type(const std::string& keys)
    {
        EXPECT_EQ(::write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

  private:
    int m_master = -1;
    std::string m_path;
};

// The phone's node: a link to a simulated cable that is plugged in and pulled out.
class Phone {
  public:
    explicit Phone(fs::path link) : m_link(std::move(link)) {}
    ~Phone() { unplug(); }
    pmsim::CableSim& plugIn()
    {
        m_cable = std::make_unique<pmsim::CableSim>();
        fs::create_symlink(m_cable->SlavePath(), m_link);
        return *m_cable;
    }
    void unplug()
    {
        std::error_code ec;
        fs::remove(m_link, ec);
        if (m_cable)
            m_cable->Unplug();
    }

  private:
    fs::path m_link;
    std::unique_ptr<pmsim::CableSim> m_cable;
};

} // namespace

// The phone is plugged in after talk started: the steps run on it.
TEST(PmctlWait, TalkWaitsForThePhoneBeforeItsFirstStep)
{
    TempDir scratch;
    fs::create_directory(scratch.path() / "reg");
    ::setenv("PM_SERIAL_REGISTRY", (scratch.path() / "reg").c_str(), 1);
    Phone phone(scratch.path() / "reg" / "usbmodem1");
    pid_t talk = startPmctl({"talk", "--wait", "30", "--device", "usbmodem1", "send", "AT\\r",
                             "recv", "6"},
                            scratch.path());
    ASSERT_GT(talk, 0);
    auto err = [&] { return readFile(scratch.path() / "err.txt"); };
    ASSERT_TRUE(waitFor([&] { return contains(err(), "waiting for usbmodem1 (up to 30 s)"); }))
        << err();
    phone.plugIn().AddReply("AT\r", "\r\nOK\r\n");
    EXPECT_EQ(exitStatus(talk), 0) << err();
    EXPECT_TRUE(contains(readFile(scratch.path() / "out.txt"), "RD< 0d 0a 4f 4b 0d 0a")) << err();
    ::unsetenv("PM_SERIAL_REGISTRY");
}

// A phone that does not come, or is there but never opens: exit 1 at the bound, saying which.
TEST(PmctlWait, TalkGivesUpAtItsBoundSayingWhy)
{
    TempDir scratch;
    writeFile(scratch.path() / "file", "not a tty");
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Case& c :
         {Case{{"--device", (scratch.path() / "none").string(), "--wait", "0.3"},
               "did not appear within 0.3 s"},
          Case{{"--device", (scratch.path() / "file").string(), "--wait", "0.3"},
               "is there but did not open within 0.3 s: "},
          Case{{"--usb", "1d6b:0104", "--wait", "0.2"},
               "the USB device 1d6b:0104 did not appear within 0.2 s"}}) {
        std::vector<std::string> args = {"talk"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"send", "x"});
        Outcome run = pmctl(args, scratch.path());
        EXPECT_EQ(run.status, 1) << c.says << run.err;
        EXPECT_TRUE(contains(run.err, c.says)) << run.err;
    }
}

// term --wait: waits for the phone, and after each unplug reconnects with the line as the user
// left it (the speed stepped in the session, the flow asked for), a replug storm included,
// without leaving a descriptor behind.
TEST(PmctlWait, TermReconnectsAfterUnplugsWithTheLineAsLeft)
{
    TempDir scratch;
    Keyboard keyboard;
    const fs::path link = scratch.path() / "usbmodem1";
    Phone phone(link);
    pid_t term = startPmctl({"term", "--wait", "--device", link.string(), "--speed", "250000",
                             "--flow", "rts-cts"},
                            scratch.path(), keyboard.path());
    ASSERT_GT(term, 0);
    auto err = [&] { return readFile(scratch.path() / "err.txt"); };
    ASSERT_TRUE(waitFor([&] { return contains(err(), "waiting for " + link.string()); })) << err();

    pmsim::CableSim* cable = &phone.plugIn();
    ASSERT_TRUE(waitFor([&] { return contains(err(), "Ctrl-A h lists the commands"); })) << err();
    keyboard.type("\x01u"); // 250000 -> 460800, the rate the reconnects must put back
    ASSERT_TRUE(waitFor([&] { return contains(err(), "[pmctl] speed 460800 bit/s"); })) << err();
    keyboard.type("ab");
    ASSERT_TRUE(cable->WaitReceived(2, std::chrono::seconds(20)));
    const size_t descriptors = openDescriptors(term);

    // A storm: the phone comes and goes, each time before or just after pmctl got to it.
    for (int i = 0; i < 4; ++i) {
        phone.unplug();
        phone.plugIn();
    }
    phone.unplug();
    ASSERT_TRUE(waitFor([&] { return contains(err(), "is gone (unplugged?)"); })) << err();

    const size_t reconnectsBefore = count(err(), "reconnected to");
    cable = &phone.plugIn();
    ASSERT_TRUE(waitFor([&] {
        return count(err(), "reconnected to") > reconnectsBefore &&
               contains(err().substr(err().rfind("reconnected to")), "\n");
    })) << err();
    EXPECT_TRUE(contains(err().substr(err().rfind("reconnected to")), "460800 bit/s, 8N1, flow rts-cts"))
        << err();
    uint32_t in = 0, out = 0;
    EXPECT_EQ(TtyGetSpeeds(cable->MasterFd(), &in, &out), 0);
    EXPECT_EQ(out, 460800u);
    termios line{};
    ASSERT_EQ(tcgetattr(cable->MasterFd(), &line), 0);
    EXPECT_NE(line.c_cflag & CRTSCTS, 0u);
    keyboard.type("cd");
    ASSERT_TRUE(cable->WaitReceived(2, std::chrono::seconds(20))) << err();
    EXPECT_EQ(cable->Received(), "cd");
    EXPECT_EQ(openDescriptors(term), descriptors);

    // Unplugged and quit while waiting: the port is already closed.
    phone.unplug();
    ASSERT_TRUE(waitFor([&] { return count(err(), "is gone (unplugged?)") >= 2; })) << err();
    keyboard.type("\x1d");
    EXPECT_EQ(exitStatus(term), 0) << err();
    EXPECT_TRUE(contains(err(), "The port is closed.")) << err();
}
