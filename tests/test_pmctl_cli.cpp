// The pmctl program end to end: run as a user runs it, against the cable simulator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <thread>

#include <termios.h>

#include "ModemDriverSim.h"
#include "RawPty.h"
#include "SpawnArgs.h"
#include "platform/serial/TtySpeed.h"
#include "pmctl_run.h"

using namespace pmctltest;

namespace {

// Starts pmctl in the background, its output going to out.txt and err.txt in scratch, its input
// from the file input when one is named.
pid_t startPmctl(const std::vector<std::string>& args, const fs::path& scratch,
                 const std::string& input = "")
{
    std::vector<std::string> words = {PMCTL_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv = spawnargs::ArgvOf(words);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (!input.empty())
        posix_spawn_file_actions_addopen(&files, 0, input.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_addopen(&files, 1, (scratch / "out.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (scratch / "err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // As from a shell in the foreground, even when the tests run as a background job.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
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

// A keyboard for pmctl term: a pseudo-terminal whose slave is pmctl's standard input.
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

} // namespace

TEST(PmctlProgram, DemoRunsAWholeSessionAndCleansUp)
{
    TempDir scratch;
    Outcome run = pmctl({"demo"}, scratch.path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* line :
         {"usbmodem1421", "PM_GetBPS() = 115200", "SD> 41 54 0d", "RD< 0d 0a 4f 4b 0d 0a",
          "cable info: 1841 2 100", "the cable says charging is on",
          "the cable says charging is off", "port closed",
          "=== Port Open (LogStart, Start Communication)", "SD> 41 54 21 43 4f 4e 0d",
          "PhoneUnivID[demo-phone]", "CableType 1002", "=== Comm Finished",
          "PM_OpenPort Successful [ORVUDSCDMADriver]", "CableType 5",
          "phone 00:1B:DC:0F:4A:21, 2 usable channels", "// Service Name #2: Dial-up Networking",
          "channel closed", "4 communications, 0 damaged lines, 0 unrecognised texts",
          "Demo finished."}) {
        EXPECT_TRUE(contains(run.out, line)) << line << "\n" << run.out;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, std::regex("PM_SERIAL_REGISTRY=(\\S+)/registry")));
    EXPECT_FALSE(fs::exists(m[1].str())) << "temporary folder left behind: " << m[1];
    // No command is printed for the folder that is gone.
    EXPECT_FALSE(contains(run.out, "pmctl log " + m[1].str())) << run.out;
    // The session's page is what the demo leaves.
    ASSERT_TRUE(std::regex_search(run.out, m, std::regex("The page of this session: (\\S+)")));
    const fs::path page = m[1].str();
    std::string html = readFile(page);
    fs::remove(page);
    EXPECT_TRUE(contains(html, "<a href=\"#c1\">Communication 1</a>")) << html;
    EXPECT_TRUE(contains(html, "<pre class=\"hex\">41 54 21 43 4f 4e 0d ")) << html;
}

TEST(PmctlProgram, TalkLogsAndFailsWithTheModuleError)
{
    TempDir scratch;
    pmsim::CableSim cable;
    cable.AddReply("AT\r", kOk);
    fs::create_directories(scratch.path() / "registry");
    fs::create_directories(scratch.path() / "log");
    fs::create_symlink(cable.SlavePath(), scratch.path() / "registry" / "usbmodem7");
    ::setenv("PM_SERIAL_REGISTRY", (scratch.path() / "registry").c_str(), 1);

    Outcome list = pmctl({"list"}, scratch.path());
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(contains(list.out, (scratch.path() / "registry" / "usbmodem7").string()));
    Outcome details = pmctl({"list", "-v"}, scratch.path());
    EXPECT_EQ(details.status, 0);
    for (const char* line : {"terminal name: usbmodem7", "driver: pseudo-terminal",
                             "cable types: 1002 (first usbmodem*)"})
        EXPECT_TRUE(contains(details.out, line)) << line << "\n" << details.out;

    // A pseudo-terminal has no modem lines: the module reports success, pmctl the refusal.
    Outcome lines = pmctl({"talk", "--device", "usbmodem7", "rts", "on"}, scratch.path());
    EXPECT_EQ(lines.status, 0) << lines.err;
    EXPECT_TRUE(contains(lines.out, "RTS raise refused: the device has no modem control lines"))
        << lines.out;

    // One usbmodem device: the cable type that opens the second one says what is missing.
    Outcome second = pmctl({"talk", "--cable", "1004"}, scratch.path());
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(contains(second.err, "second port is missing")) << second.err;

    const std::string logFolder = (scratch.path() / "log").string(); // no trailing '/'
    Outcome ok = pmctl({"talk", "--cable", "1002", "--log", logFolder, "--timeout", "3000", "send",
                        "AT\\r", "recv", "6", "sleep", "10"},
                       scratch.path());
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_TRUE(contains(ok.out, "SD> 41 54 0d")) << ok.out;
    EXPECT_TRUE(contains(ok.out, "RD< 0d 0a 4f 4b 0d 0a")) << ok.out;
    EXPECT_TRUE(contains(ok.out, "port closed")) << ok.out;

    // The device by its listed name; a receive that gets nothing.
    Outcome fail = pmctl({"talk", "--device", "usbmodem7", "--log", logFolder, "--timeout", "100",
                          "recv", "2", "send", "never"},
                         scratch.path());
    EXPECT_EQ(fail.status, 1);
    EXPECT_TRUE(contains(fail.err, "recv 2")) << fail.err;
    EXPECT_TRUE(contains(fail.err, "PM_ERR_TIMEOUT")) << fail.err;
    EXPECT_FALSE(contains(fail.out, "SD>")) << "a step after the failure ran";
    EXPECT_EQ(cable.Received(), "AT\r");

    // Both communications are in the log; the failed one was closed and saved as well.
    Outcome log = pmctl({"log", logFolder}, scratch.path());
    EXPECT_EQ(log.status, 0) << log.err;
    EXPECT_TRUE(contains(log.out, "RD< 0d 0a 4f 4b 0d 0a")) << log.out;
    EXPECT_TRUE(contains(log.out, "<pause 10 ms>")) << log.out;
    EXPECT_TRUE(contains(log.out, "<TimeoutErr: waited 100 ms, got 0 bytes, 0 waiting>"));
    EXPECT_TRUE(contains(log.out, "PortMdlLastErr 3 (time-out) at line 880")) << log.out;
    EXPECT_TRUE(contains(log.out, "2 communications, 0 damaged lines")) << log.out;
}

// Device names come from the system and may hold control characters: they are shown escaped, one
// device per line, and never reach the terminal raw.
TEST(PmctlProgram, ListShowsDeviceNamesEscaped)
{
    TempDir scratch;
    fs::create_directories(scratch.path() / "registry");
    fs::create_symlink("/dev/null", scratch.path() / "registry" / "usb\n  9  forged\x1b[2J");
    ::setenv("PM_SERIAL_REGISTRY", (scratch.path() / "registry").c_str(), 1);
    Outcome list = pmctl({"list"}, scratch.path());
    ::unsetenv("PM_SERIAL_REGISTRY");
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(contains(list.out, "usb\\n  9  forged\\x1b[2J\n")) << list.out;
    EXPECT_FALSE(contains(list.out, "\x1b")) << list.out;
    EXPECT_FALSE(contains(list.out, "\n  9")) << list.out;
}

TEST(PmctlProgram, ListFilterKeepsTheModulesIndices)
{
    TempDir scratch;
    fs::create_directories(scratch.path() / "registry");
    for (const char* name : {"usbmodem1", "usbmodem2", "ttyS0"})
        fs::create_symlink("/dev/null", scratch.path() / "registry" / name);
    ::setenv("PM_SERIAL_REGISTRY", (scratch.path() / "registry").c_str(), 1);
    Outcome all = pmctl({"list"}, scratch.path());
    Outcome some = pmctl({"list", "--filter", "modem2|ttyS"}, scratch.path());
    Outcome none = pmctl({"list", "-f", "absent"}, scratch.path());
    Outcome bad = pmctl({"list", "--filter", "(usb"}, scratch.path());
    ::unsetenv("PM_SERIAL_REGISTRY");
    ASSERT_EQ(some.status, 0) << some.err;
    const std::regex row("  [0-9]+  [^\n]*\n");
    std::vector<std::string> rows;
    for (auto it = std::sregex_iterator(some.out.begin(), some.out.end(), row);
         it != std::sregex_iterator(); ++it)
        rows.push_back(it->str());
    ASSERT_EQ(rows.size(), 2u) << some.out;
    for (const std::string& r : rows)
        EXPECT_TRUE(contains(all.out, r)) << r << " is not as in the whole list:\n" << all.out;
    EXPECT_FALSE(contains(some.out, "usbmodem1")) << some.out;
    EXPECT_EQ(none.status, 0);
    EXPECT_TRUE(contains(none.out, "none of the 3 serial devices matches the filter")) << none.out;
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(contains(bad.err, "--filter '(usb' is no regular expression")) << bad.err;
}

TEST(PmctlProgram, UsageAndFileErrorsSayWhatToDo)
{
    TempDir scratch;
    writeFile(scratch.path() / "garbage.dat", std::string("\x7f"
                                                          "ELF\x02\x01\n;####\n",
                                                          11));
    writeFile(scratch.path() / "empty.dat", "");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says; // on stdout or stderr
    };
    const Case cases[] = {
        {{}, 2, "list the serial devices"}, // the commands
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"list", "--bogus"}, 2, "pmctl list: unknown option --bogus"},
        {{"--version"}, 0, "pmctl " PORTMDL_VERSION_STRING},
        {{"talk", "send", "x"}, 2, "--device PATH"},
        {{"talk", "--device", "/dev/null", "sned", "x"}, 2, "('sned') is not a step"},
        {{"talk", "--device", "/dev/null", "send", "-x"}, 2, "needs \"--\""},
        {{"talk", "--cable", "77"}, 2, "the types are"},
        {{"term", "--device", "/dev/null", "--speed", "0"}, 2, "--speed"},
        // A failed open: the module's code, and the system's reason for the path.
        {{"talk", "--device", (scratch.path() / "nothing").string(), "recvall"}, 1, "PM_ERR_OPEN"},
        {{"talk", "--device", (scratch.path() / "nothing").string()}, 1, "no such file"},
        {{"talk", "--device", scratch.path().string()}, 1, "is a folder"},
        {{"talk", "--device", (scratch.path() / "empty.dat").string()}, 1, "not a terminal"},
        {{"talk", "--device", "/dev/null", "--log", (scratch.path() / "nope").string()},
         1,
         "mkdir -p"},
        {{"charge", "maybe", "--device", "/dev/null"}, 2, "maybe"},
        {{"log", (scratch.path() / "missing").string()}, 1, "no such file or folder"},
        {{"log", scratch.path().string()}, 1, "no PM_LOG.dat or PM_LOG.tmp"},
        {{"log", (scratch.path() / "garbage.dat").string()},
         0,
         "garbage.dat line 1: not an encoded"},
        {{"log", (scratch.path() / "empty.dat").string()}, 0, "empty.dat is empty"},
        {{"log", "/dev/zero"}, 1, "is not a file"}, // read to its end, it never ends
        {{"talk", "--device", "/dev/null", "--log", (scratch.path() / "garbage.dat").string()},
         1,
         "is not a folder"},
        {{"log", "--html", (scratch.path() / "garbage.dat").string()}, 0, "<!DOCTYPE html>"},
        {{"log", "--html", "-o", (scratch.path() / "page.html").string(), scratch.path().string()},
         1,
         "no PM_LOG.dat or PM_LOG.tmp"},
        {{"log", "--html", "-o", scratch.path().string(), (scratch.path() / "empty.dat").string()},
         1,
         "is a folder"},
        {{"log", "-o", "x.html", (scratch.path() / "empty.dat").string()}, 2, "requires --html"},
        {{"log", "--html", "--records", (scratch.path() / "empty.dat").string()}, 2, "excludes"},
        {{"talk", "--help"}, 0, "sendhex HEX"},
        {{"list", "--help"}, 0, "PM_SERIAL_REGISTRY"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        Outcome run = pmctl(c.args, scratch.path());
        EXPECT_EQ(run.status, c.status) << shown << "\n" << run.out << run.err;
        EXPECT_TRUE(contains(run.out + run.err, c.says)) << shown << "\n" << run.out << run.err;
    }
    EXPECT_FALSE(fs::exists(scratch.path() / "page.html")) << "a page of no log";
}

namespace {

// What pmctl wrote: its exit status, standard output and error, and what arrived on a reading end
// the test held (a FIFO's, a terminal's master side).
struct Written {
    int status = -1;
    std::string out, err, sink;
};

// Runs pmctl in folder with its standard output on a pipe; sink (or -1) is read meanwhile, so
// neither side of pmctl's output can stall it.
Written runCollecting(const std::vector<std::string>& args, const fs::path& folder, int sink)
{
    Written w;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return w;
    std::vector<std::string> words = {PMCTL_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv = spawnargs::ArgvOf(words);
    const fs::path errFile = folder / "err.txt";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    posix_spawn_file_actions_addopen(&files, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&files, folder.c_str());
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return w;
    }
    // Until pmctl's standard output ends, which it does when pmctl does.
    pollfd ends[2] = {{out[0], POLLIN, 0}, {sink, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::array<char, 4096> buf;
    while (ends[0].fd >= 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(ends, 2, 1000) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0)
                continue;
            ssize_t n = (ends[i].revents & POLLIN) ? ::read(ends[i].fd, buf.data(), buf.size()) : 0;
            if (n > 0)
                (i == 0 ? w.out : w.sink).append(buf.data(), static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                ends[i].fd = -1; // its end, or a terminal without its other side
        }
    }
    ::close(out[0]);
    w.status = exitStatus(pid);
    if (sink >= 0) {
        ::fcntl(sink, F_SETFL, ::fcntl(sink, F_GETFL) | O_NONBLOCK);
        for (ssize_t n; (n = ::read(sink, buf.data(), buf.size())) > 0;)
            w.sink.append(buf.data(), static_cast<size_t>(n));
    }
    w.err = readFile(errFile);
    return w;
}

} // namespace

// Whatever -o names, pmctl replaces only a regular file (or writes a new one), whole; a FIFO with
// a reader, a terminal, or a link to either is written through and stays what it was; "-" is
// standard output; anything else is refused with the reason and left as it was.
TEST(PmctlProgram, PageOutputReplacesOnlyRegularFiles)
{
    TempDir scratch;
    writeFile(scratch.path() / "PM_LOG.tmp", "\nLogStart Port Open (Start Communication)\n");
    RawPty terminal;
    int sink = -1;      // the reading end this case's page should reach
    int ownedSink = -1; // ... when the case opened it
    enum class Page { File, Stdout, Sink, Nowhere };
    struct Case {
        const char* what;
        std::function<std::string(const fs::path&)> plant; // makes it at path; gives -o's value
        int status;
        Page page;
        mode_t stays; // what is at path afterwards (S_IFMT bits), 0 for nothing
        mode_t mode;  // the permissions a regular file then has, 0 unchecked
        const char* says;
    };
    const Case cases[] = {
        {"nothing there", [](const fs::path& p) { return p.string(); }, 0, Page::File, S_IFREG,
         0644, "wrote"},
        {"a private file",
         [](const fs::path& p) {
             writeFile(p, "an older page");
             fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
             return p.string();
         },
         0, Page::File, S_IFREG, 0600, "wrote"},
        {"a FIFO with a reader",
         [&](const fs::path& p) {
             EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
             sink = ownedSink = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
             return p.string();
         },
         0, Page::Sink, S_IFIFO, 0, "wrote"},
        {"a FIFO nobody reads",
         [](const fs::path& p) {
             EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
             return p.string();
         },
         1, Page::Nowhere, S_IFIFO, 0, "is a FIFO nobody reads"},
        {"a terminal",
         [&](const fs::path&) {
             sink = terminal.MasterFd();
             return terminal.SlavePath();
         },
         0, Page::Sink, 0, 0, "wrote"},
        {"a link to a file",
         [&](const fs::path& p) {
             writeFile(scratch.path() / "kept.html", "kept");
             fs::create_symlink("kept.html", p);
             return p.string();
         },
         1, Page::Nowhere, S_IFLNK, 0, "is a symbolic link to the file kept.html"},
        {"a link to standard output",
         [](const fs::path& p) {
             fs::create_symlink("/proc/self/fd/1", p);
             return p.string();
         },
         0, Page::Stdout, S_IFLNK, 0, "wrote"},
        {"a link to nothing",
         [](const fs::path& p) {
             fs::create_symlink("absent.html", p);
             return p.string();
         },
         1, Page::Nowhere, S_IFLNK, 0, "is a symbolic link to nothing"},
        {"a socket",
         [](const fs::path& p) {
             int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::strncpy(address.sun_path, p.c_str(), sizeof address.sun_path - 1);
             EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ::close(fd);
             return p.string();
         },
         1, Page::Nowhere, S_IFSOCK, 0, "is a socket"},
        {"a folder",
         [](const fs::path& p) {
             fs::create_directory(p);
             return p.string();
         },
         1, Page::Nowhere, S_IFDIR, 0, "is a folder"},
        {"-", [&](const fs::path&) { return std::string("-"); }, 0, Page::Stdout, 0, 0, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sink = ownedSink = -1;
        // Where "-" would be a file (pmctl runs in scratch): nothing may appear there.
        const fs::path path =
            scratch.path() /
            (std::string(c.what) == "-" ? std::string("-") : "out-" + std::to_string(++n));
        const std::string output = c.plant(path);
        Written w =
            runCollecting({"log", "--html", "-o", output, "PM_LOG.tmp"}, scratch.path(), sink);
        if (ownedSink >= 0)
            ::close(ownedSink);
        EXPECT_EQ(w.status, c.status) << w.err;
        EXPECT_TRUE(contains(w.err, c.says)) << w.err;
        const std::string page = c.page == Page::File     ? readFile(path)
                                 : c.page == Page::Stdout ? w.out
                                 : c.page == Page::Sink   ? w.sink
                                                          : w.out + w.sink;
        EXPECT_EQ(contains(page, "</html>"), c.page != Page::Nowhere) << page.substr(0, 200);
        if (c.page != Page::Stdout) {
            EXPECT_EQ(w.out, "");
        }
        if (c.page != Page::Sink) {
            EXPECT_EQ(w.sink, "");
        }
        struct stat st {};
        if (c.stays == 0) {
            EXPECT_NE(::lstat(path.c_str(), &st), 0) << path;
        } else {
            ASSERT_EQ(::lstat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & S_IFMT, c.stays);
            if (c.mode != 0) {
                EXPECT_EQ(st.st_mode & 0777, c.mode);
            }
        }
    }
    // Through a terminal the page went to the line; the device stayed a device.
    struct stat st {};
    ASSERT_EQ(::stat(terminal.SlavePath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    // Targets of refused links are untouched: the file is as it was, nothing was created.
    EXPECT_EQ(readFile(scratch.path() / "kept.html"), "kept");
    EXPECT_FALSE(fs::exists(scratch.path() / "absent.html"));
    // No temporary file is left beside any output.
    for (const auto& entry : fs::directory_iterator(scratch.path()))
        EXPECT_NE(entry.path().filename().string().rfind(".out-", 0), 0u) << entry.path();
}

// The page is written as the log is read: a log of a million records (gathered, their events alone
// would take some 250 MB) makes its page within 128 MiB of address space.
TEST(PmctlProgram, LogPageIsStreamedInBoundedMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
    TempDir scratch;
    std::string pauses;
    while (pauses.size() < (4u << 20))
        pauses += "<1>";
    const fs::path log = scratch.path() / "pauses.tmp";
    writeFile(log, pauses);
    const std::string cmd = "ulimit -v 131072 && " + quote(PMCTL_BINARY) + " log --html " +
                            quote(log.string()) + " | tail -c 200 >" +
                            quote((scratch.path() / "end.txt").string());
    ASSERT_EQ(std::system(("sh -c " + quote(cmd)).c_str()), 0);
    EXPECT_TRUE(contains(readFile(scratch.path() / "end.txt"), "</html>"))
        << readFile(scratch.path() / "end.txt");
}

TEST(PmctlProgram, StopSignalClosesThePortSavesTheLogAndCleansUp)
{
    TempDir scratch;
    pmsim::CableSim cable;
    cable.AddReply("AT\r", kOk);
    const fs::path logFolder = scratch.path() / "log";
    fs::create_directories(logFolder);

    // Ctrl-C in the middle of a talk: the step in progress ends, the port closes, the log is saved.
    pid_t talk = startPmctl({"talk", "--device", cable.SlavePath(), "--log", logFolder.string(),
                             "send", "AT\\r", "sleep", "20000", "send", "never"},
                            scratch.path());
    ASSERT_GT(talk, 0);
    ASSERT_TRUE(cable.WaitReceived(3, std::chrono::seconds(20)));
    ::kill(talk, SIGINT);
    EXPECT_EQ(exitStatus(talk), 1);
    EXPECT_TRUE(contains(readFile(scratch.path() / "err.txt"), "stopped by a signal"));
    EXPECT_EQ(cable.Received(), "AT\r");
    EXPECT_TRUE(fs::exists(logFolder / "PM_LOG.dat"));
    EXPECT_FALSE(fs::exists(logFolder / "PM_LOG.tmp"));
    Outcome log = pmctl({"log", logFolder.string()}, scratch.path());
    EXPECT_TRUE(contains(log.out, "SD> 41 54 0d")) << log.out;
    EXPECT_TRUE(contains(log.out, "=== Comm Finished")) << log.out;

    // The demo stopped half-way, with its port open, leaves no temporary folder behind.
    ::setenv("TMPDIR", scratch.path().c_str(), 1);
    pid_t demo = startPmctl({"demo"}, scratch.path());
    ASSERT_GT(demo, 0);
    auto demoFolders = [&] {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(scratch.path())) {
            if (entry.path().filename().string().rfind("pmctl-demo-", 0) == 0)
                found.push_back(entry.path());
        }
        return found;
    };
    ASSERT_TRUE(waitFor([&] {
        auto found = demoFolders();
        return !found.empty() && fs::exists(found[0] / "log" / "PM_LOG.tmp");
    }));
    ::kill(demo, SIGTERM);
    EXPECT_EQ(exitStatus(demo), 1);
    EXPECT_TRUE(demoFolders().empty()) << "temporary folder left behind";
}

// pmctl term on a keyboard (a pseudo-terminal as its standard input): the banner's line
// settings, typed keys, and the commands behind Ctrl-A.
TEST(PmctlProgram, TermTakesLineSettingsAndEscapeCommands)
{
    TempDir scratch;
    pmsim::CableSim cable;
    cable.SetEcho(true);
    Keyboard keyboard;
    writeFile(scratch.path() / "file.txt", "FILE-CONTENT");
    pid_t term = startPmctl({"term", "--device", cable.SlavePath(), "--speed", "115200", "--parity",
                             "none"},
                            scratch.path(), keyboard.path());
    ASSERT_GT(term, 0);
    auto err = [&] { return readFile(scratch.path() / "err.txt"); };
    auto out = [&] { return readFile(scratch.path() / "out.txt"); };
    auto type = [&](const std::string& keys) { keyboard.type(keys); };

    ASSERT_TRUE(waitFor([&] { return contains(err(), "Ctrl-A h lists the commands"); })) << err();
    std::smatch banner;
    const std::string opened = err();
    // The open raised both lines; a pseudo-terminal has none to report otherwise.
    ASSERT_TRUE(std::regex_search(opened, banner,
                                  std::regex("Connected to (\\S+): 115200 bit/s, 8N1, flow none, "
                                             "DTR on, RTS on\\.")))
        << opened;
    EXPECT_EQ(banner[1].str(), cable.SlavePath());
    type("hi\r");
    EXPECT_TRUE(cable.WaitReceived(3, std::chrono::seconds(20)));
    EXPECT_TRUE(waitFor([&] { return contains(out(), "hi\r"); })) << out();
    const struct {
        std::string keys, note;
    } commands[] = {
        {"\x01x", "hex view on"},
        {"\001d", "speed 57600 bit/s"},
        // A device without modem lines refuses, and the lines stay as they were.
        {"\x01t", "DTR off refused: the device has no modem control lines"},
        {"\x01\x12", "RTS off refused: the device has no modem control lines"}, // Ctrl-R too
        {"\x01i", "57600 bit/s, 8N1, flow none, DTR on, RTS on"},
        {"\x01s" + (scratch.path() / "file.txt").string() + "\r", "sent "},
        {"\x01z", "no command on that key"},
    };
    for (const auto& c : commands) {
        type(c.keys);
        EXPECT_TRUE(waitFor([&] { return contains(err(), "[pmctl] " + c.note); })) << c.note << "\n"
                                                                                   << err();
    }
    EXPECT_TRUE(waitFor([&] { return contains(cable.Received(), "FILE-CONTENT"); }))
        << cable.Received();
    EXPECT_TRUE(
        contains(err(), "sending " + (scratch.path() / "file.txt").string() + ": 12 of 12 bytes"))
        << err();
    // Hex view was on when the file's echo came back.
    EXPECT_TRUE(waitFor([&] { return contains(out(), "RD< 46 49 4c 45"); })) << out();
    type("\x01q");
    EXPECT_EQ(exitStatus(term), 0) << err();
    EXPECT_TRUE(contains(err(), "Closing the port.")) << err();
}

// --parity with a rate that has no speed code: the status call behind parity neither puts the
// line back to 600 bit/s nor lowers DTR, and setting a rate leaves no error in the log's summary.
TEST(PmctlProgram, TermParityKeepsTheRateAndTheLines)
{
    TempDir scratch;
    pmsim::CableSim cable;
    writeFile(scratch.path() / "keys.txt", "hi\n");
    fs::create_directories(scratch.path() / "log");
    pid_t term = startPmctl({"term", "--device", cable.SlavePath(), "--speed", "250000",
                             "--parity", "odd", "--timeout", "100", "--log",
                             (scratch.path() / "log").string()},
                            scratch.path(), (scratch.path() / "keys.txt").string());
    ASSERT_GT(term, 0);
    EXPECT_EQ(exitStatus(term), 0);
    const std::string err = readFile(scratch.path() / "err.txt");
    EXPECT_TRUE(contains(err, ": 250000 bit/s, 8O1, flow none, DTR on, RTS on.")) << err;
    EXPECT_EQ(cable.Received(), "hi\r");
    Outcome log = pmctl({"log", (scratch.path() / "log").string()}, scratch.path());
    EXPECT_EQ(log.status, 0) << log.err;
    EXPECT_FALSE(contains(log.out, "ClearDTR")) << log.out;
    const size_t last = log.out.rfind("Set CommSpeed");
    ASSERT_NE(last, std::string::npos) << log.out;
    EXPECT_EQ(log.out.substr(last, 25), "Set CommSpeed 250000 bps\n") << log.out;
    EXPECT_TRUE(contains(log.out, "PortMdlLastErr 0 at line 0")) << log.out;
}

// --flow xon-xoff: after the phone's XOFF, typed keys wait for its XON; neither is printed.
TEST(PmctlProgram, TermHoldsItsSendingWhileXoffIsInForce)
{
    TempDir scratch;
    pmsim::CableSim cable;
    Keyboard keyboard;
    pid_t term = startPmctl({"term", "--device", cable.SlavePath(), "--flow", "xon-xoff"},
                            scratch.path(), keyboard.path());
    ASSERT_GT(term, 0);
    auto out = [&] { return readFile(scratch.path() / "out.txt"); };
    ASSERT_TRUE(waitFor([&] { return contains(readFile(scratch.path() / "err.txt"), "flow xon-xoff"); }));
    cable.Send("\x13held");
    ASSERT_TRUE(waitFor([&] { return contains(out(), "held"); })) << out();
    keyboard.type("A");
    cable.Send("more");
    ASSERT_TRUE(waitFor([&] { return contains(out(), "more"); })) << out();
    EXPECT_EQ(cable.Received(), "");
    cable.Send("\x11");
    EXPECT_TRUE(cable.WaitReceived(1, std::chrono::seconds(20)));
    EXPECT_EQ(cable.Received(), "A");
    EXPECT_EQ(out(), "heldmore");
    keyboard.type("\x01q");
    EXPECT_EQ(exitStatus(term), 0);
}

// A rate without a speed code and hardware flow, as for a USB-serial adapter: the line carries
// them, the banner shows them, and the speed steps go on from the odd rate.
TEST(PmctlProgram, TermDrivesAnyRateWithHardwareFlow)
{
    TempDir scratch;
    pmsim::CableSim cable;
    Keyboard keyboard;
    pid_t term = startPmctl(
        {"term", "--device", cable.SlavePath(), "--speed", "250000", "--flow", "rts-cts"},
        scratch.path(), keyboard.path());
    ASSERT_GT(term, 0);
    auto err = [&] { return readFile(scratch.path() / "err.txt"); };
    ASSERT_TRUE(waitFor([&] { return contains(err(), "Ctrl-A h lists the commands"); })) << err();
    EXPECT_TRUE(contains(err(), ": 250000 bit/s, 8N1, flow rts-cts, ")) << err();
    auto lineRate = [&] {
        uint32_t in = 0, out = 0;
        return TtyGetSpeeds(cable.MasterFd(), &in, &out) == 0 && in == out ? out : 0u;
    };
    EXPECT_EQ(lineRate(), 250000u);
    termios line{};
    ASSERT_EQ(tcgetattr(cable.MasterFd(), &line), 0);
    EXPECT_NE(line.c_cflag & CRTSCTS, 0u);
    keyboard.type("\x01u");
    EXPECT_TRUE(waitFor([&] { return contains(err(), "[pmctl] speed 460800 bit/s"); })) << err();
    EXPECT_EQ(lineRate(), 460800u);
    keyboard.type("\001d"); // a rate with a speed code again
    EXPECT_TRUE(waitFor([&] { return contains(err(), "[pmctl] speed 230400 bit/s"); })) << err();
    keyboard.type("\x01q");
    EXPECT_EQ(exitStatus(term), 0) << err();
}

// A stop signal in the middle of charge's AT dialogue ends it as any port command: 1.
TEST(PmctlProgram, StopSignalDuringChargeEndsWithOne)
{
    TempDir scratch;
    pmsim::CableSim cable;
    pid_t charge = startPmctl({"charge", "on", "--device", cable.SlavePath()}, scratch.path());
    ASSERT_GT(charge, 0);
    ASSERT_TRUE(cable.WaitReceived(1, std::chrono::seconds(20))); // the dialogue has begun
    ::kill(charge, SIGINT);
    EXPECT_EQ(exitStatus(charge), 1);
    EXPECT_TRUE(contains(readFile(scratch.path() / "err.txt"), "stopped by a signal"))
        << readFile(scratch.path() / "err.txt");
}

// Cable type 5 that does not open: no driver at all, a driver that refuses the open, and one
// whose refusal names its reason (a phone another host holds, no phone, not this user), each with
// its own cure.
TEST(PmctlProgram, ModemOpenFailureTellsAMissingDriverFromOneWithoutItsPhone)
{
    TempDir scratch;
    const fs::path plane = scratch.path() / "plane";
    ::setenv("PM_USERCLIENT_DIR", plane.c_str(), 1);
    const std::vector<std::string> talk = {"talk", "--cable", "5", "send", "AT\\r"};
    Outcome none = pmctl(talk, scratch.path());
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.err, "no modem driver answered in " + plane.string())) << none.err;

    pmsim::ModemDriverSim driver(plane.string());
    driver.SetFault(0, pmsim::ModemDriverSim::Fault::Fail); // the open
    Outcome refused = pmctl(talk, scratch.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "the modem driver in " + plane.string() +
                                          " (PM_USERCLIENT_DIR) answered but refused the open"))
        << refused.err;
    EXPECT_FALSE(contains(refused.err, "start one")) << refused.err;

    const struct {
        int32_t result;
        const char* system;
        const char* cure;
    } reasons[] = {
        {pmwire::kExclusiveAccess, "system: Device or resource busy", "serves another host"},
        {pmwire::kNotAttached, "system: No such device", "has no phone: plug it in"},
        {pmwire::kNotPermitted, "system: Permission denied", "does not serve this user"},
    };
    for (const auto& reason : reasons) {
        driver.SetFault(0, pmsim::ModemDriverSim::Fault::Fail, reason.result);
        Outcome out = pmctl(talk, scratch.path());
        EXPECT_EQ(out.status, 1);
        EXPECT_TRUE(contains(out.err, reason.system)) << out.err;
        EXPECT_TRUE(contains(out.err, reason.cure)) << out.err;
    }
}

// The cable simulator's command line: every mistake is a usage error that says what was wrong.
TEST(PmsimCableProgram, UsageErrorsSayWhatWasWrong)
{
    TempDir scratch;
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{"--help"}, 0, "--reply 'AT\\r=\\r\\nOK\\r\\n'"},
        {{"--version"}, 0, "pmsim-cable " PORTMDL_VERSION_STRING},
        {{"--reply", "no-equals"}, 2, "is not REQUEST=REPLY"},
        {{"--reply", "=x"}, 2, "is not REQUEST=REPLY"},
        {{"--id", "\\q"}, 2, "--id: unknown escape \\q"},
        {{"--guard", "-5"}, 2, "--guard"},
        {{"--bogus"}, 2, "--bogus"},
        {{"--link", (scratch.path() / "no-folder" / "usbmodem1").string()}, 1, "mkdir -p"},
    };
    for (const Case& c : cases) {
        std::string cmd = quote(PMSIM_CABLE_BINARY), shown;
        for (const auto& a : c.args) {
            cmd += " " + quote(a);
            shown += a + " ";
        }
        cmd += " 2>&1 </dev/null";
        std::string out;
        FILE* pipe = ::popen(cmd.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::array<char, 4096> buf;
        size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
            out.append(buf.data(), n);
        int raw = ::pclose(pipe);
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, c.status) << shown << "\n" << out;
        EXPECT_TRUE(contains(out, c.says)) << shown << "\n" << out;
    }
}

// At its stop the simulator removes its --link, and only that: a file put in the link's place
// meanwhile is someone else's and stays.
TEST(PmsimCableProgram, RemovesOnlyItsOwnLink)
{
    TempDir scratch;
    const fs::path link = scratch.path() / "usbmodem1";
    const fs::path out = scratch.path() / "sim-out.txt";
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced by a file" : "still its link");
        std::vector<std::string> words = {PMSIM_CABLE_BINARY, "--link", link.string()};
        std::vector<char*> argv = spawnargs::ArgvOf(words);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = -1;
        int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
        ASSERT_EQ(spawned, 0);
        // The terminal's path is printed once the link is made.
        ASSERT_TRUE(waitFor([&] { return contains(readFile(out), "\n"); }));
        ASSERT_TRUE(fs::is_symlink(link));
        if (replaced) {
            writeFile(scratch.path() / "file.new", "someone's file");
            fs::rename(scratch.path() / "file.new", link);
        }
        ::kill(pid, SIGTERM);
        EXPECT_EQ(exitStatus(pid), 0);
        EXPECT_EQ(fs::exists(fs::symlink_status(link)), replaced);
        if (replaced) {
            EXPECT_EQ(readFile(link), "someone's file");
        }
        fs::remove(link);
    }
}
