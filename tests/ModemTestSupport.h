// Shared pieces of the modem tests: a service plane folder named by PM_USERCLIENT_DIR, and a raw
// driver socket the test answers by hand.
#ifndef TESTS_MODEMTESTSUPPORT_H
#define TESTS_MODEMTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace modemtest {

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

// The number of descriptors the process holds.
inline int OpenDescriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
    }
    return n;
}

} // namespace modemtest

#endif
