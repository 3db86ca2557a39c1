// Shared pieces of the serial tests: a PM_SERIAL_REGISTRY folder of links to pseudo-terminals,
// device identity of an open descriptor, and stderr capture.
#ifndef TESTS_SERIALTESTSUPPORT_H
#define TESTS_SERIALTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "PortMdlState.h"
#include "portmdl/PortMdl.h"

namespace serialtest {

// A serial device registry: each entry is a terminal name linking to a device.
class Registry {
  public:
    Registry()
    {
        char tmpl[] = "/tmp/pmserial.XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("PM_SERIAL_REGISTRY", m_dir.c_str(), 1);
    }
    ~Registry()
    {
        unsetenv("PM_SERIAL_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The callout path under which the module finds the device.
    std::string Add(const std::string& ttyName, const std::string& target)
    {
        std::string path = m_dir + "/" + ttyName;
        EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        return path;
    }
    const std::string& Dir() const { return m_dir; }

  private:
    std::string m_dir;
};

// True when fd is open on the device that path names.
inline bool SameDevice(int fd, const std::string& path)
{
    struct stat a {
    }, b{};
    return fd >= 0 && fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_rdev == b.st_rdev;
}

inline void SetCableType(int32_t cableType)
{
    const int32_t env[2] = {cableType, 0};
    PM_SetInfo(env);
}

// Every test leaves no port open behind it.
class SerialTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        if (TheCommBase != nullptr) {
            PM_ClosePort();
        }
    }
};

} // namespace serialtest

#endif
