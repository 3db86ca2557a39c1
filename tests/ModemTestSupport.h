// Shared pieces of the modem tests: a service plane folder named by PM_USERCLIENT_DIR, a raw
// driver socket the test answers by hand, and a connection to a driver through the stand-in.
#ifndef TESTS_MODEMTESTSUPPORT_H
#define TESTS_MODEMTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "SpawnArgs.h"
#include "SerialTestSupport.h"
#include "platform/usb/IORegistry.h"
#include "platform/usb/UserClient.h"

namespace modemtest {

// The driver class the modem tests open (the simulator's and the daemon's default), and the
// modem's usual answer.
inline constexpr char kDriverClass[] = "ORVUDSCDMADriver";
inline const std::string kOk = "\r\nOK\r\n";

// A temporary plane folder; PM_USERCLIENT_DIR names it while the object lives.
class Plane {
  public:
    Plane()
    {
        char tmpl[] = "/tmp/pmplane.XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("PM_USERCLIENT_DIR", m_dir.c_str(), 1);
    }
    ~Plane()
    {
        unsetenv("PM_USERCLIENT_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    Plane(const Plane&) = delete;
    Plane& operator=(const Plane&) = delete;

    const std::string& Dir() const { return m_dir; }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    // A SOCK_SEQPACKET socket bound to the entry; listening unless told otherwise.
    int Bind(const std::string& name, bool listening = true, int type = SOCK_SEQPACKET) const
    {
        int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = Path(name);
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
        if (listening) {
            EXPECT_EQ(listen(fd, 4), 0);
        }
        return fd;
    }

  private:
    std::string m_dir;
};

// The plane entry conforming to name (a reference the caller releases), or 0.
inline io_service_t FindService(const char* name)
{
    mach_port_t master = 1;
    io_iterator_t it = 0;
    if (IOMasterPort(MACH_PORT_NULL, &master) != kIOReturnSuccess ||
        IORegistryCreateIterator(master, kIOServicePlane, kIORegistryIterateRecursively, &it) !=
            kIOReturnSuccess) {
        return 0;
    }
    io_service_t found = 0;
    while (io_object_t o = IOIteratorNext(it)) {
        if (found == 0 && IOObjectConformsTo(o, name)) {
            found = o;
        } else {
            IOObjectRelease(o);
        }
    }
    IOObjectRelease(it);
    return found;
}

inline kern_return_t OpenService(const char* name, io_connect_t* connect)
{
    io_service_t service = FindService(name);
    if (service == 0) {
        return kIOReturnNoDevice;
    }
    kern_return_t r = IOServiceOpen(service, mach_task_self(), 0, connect);
    IOObjectRelease(service);
    return r;
}

// Another user than the test's (nobody), for the tests of whom the module and the daemon trust:
// its ids when setpriv can run a program as it, else nothing and why not in *why.
struct OtherUser {
    uid_t uid;
    gid_t gid;
};

inline pid_t SpawnAs(const OtherUser& user, std::vector<std::string> args, int out = -1)
{
    args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(user.uid),
                               "--regid=" + std::to_string(user.gid), "--clear-groups", "--"});
    std::vector<char*> argv = spawnargs::ArgvOf(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, "setpriv", &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

inline std::optional<OtherUser> FindOtherUser(const std::string& program, std::string* why)
{
    passwd* pw = getpwnam("nobody");
    if (pw == nullptr || pw->pw_uid == geteuid()) {
        *why = "no user nobody other than the test's";
        return std::nullopt;
    }
    OtherUser user{pw->pw_uid, pw->pw_gid};
    int status = -1;
    pid_t pid = SpawnAs(user, {program, "--help"});
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        *why = "setpriv cannot run " + program + " as nobody (it needs root, and nobody must "
               "reach the program)";
        return std::nullopt;
    }
    return user;
}

// A test of the modem path: cable type 5 and a plane folder of its own for the driver.
class ModemTest : public serialtest::SerialTest {
  protected:
    void SetUp() override { serialtest::SetCableType(5); }
    Plane plane;
};

} // namespace modemtest

#endif
