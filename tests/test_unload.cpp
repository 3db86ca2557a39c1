// The library as a host loads it with dlopen: unloaded with a port still open (the reader must not
// go on running in unmapped code, the device must be given back), and loaded and unloaded over
// and over without a descriptor or thread left behind each time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <thread>

#include "RawPty.h"
#include "ProcessCounts.h"

using namespace std::chrono_literals;

namespace {

bool Mapped()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libportmdl.so") != std::string::npos) {
            return true;
        }
    }
    return false;
}

template <typename F> F Symbol(void* library, const char* name)
{
    return reinterpret_cast<F>(dlsym(library, name));
}

} // namespace

TEST(Unload, WithAPortOpenClosesItFirst)
{
    RawPty line;
    const int threadsBefore = proccount::Threads();
    void* library = dlopen(PM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto open = Symbol<int32_t (*)(const char*)>(library, "PM_OpenPortByDeviceName");
    ASSERT_NE(open, nullptr);
    ASSERT_EQ(open(line.SlavePath().c_str()), 1);
    EXPECT_GT(proccount::Threads(), threadsBefore); // the reader runs
    ASSERT_EQ(dlclose(library), 0);
    EXPECT_FALSE(Mapped());
    // The reader ended with the port, before its code went away, and the device is free again.
    EXPECT_EQ(proccount::Threads(), threadsBefore);
    std::this_thread::sleep_for(700ms); // past the reader's first pause, had it lived on
    int fd = ::open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    int exclusive = 1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
}

TEST(Unload, LoadingAThousandTimesLeavesNothing)
{
    // The first cycle may load what the library needs for good (its dependencies stay mapped).
    void* first = dlopen(PM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(first, nullptr) << dlerror();
    ASSERT_EQ(dlclose(first), 0);
    const int fdsBefore = proccount::Descriptors();
    const int threadsBefore = proccount::Threads();
    for (int i = 0; i < 1000; ++i) {
        void* library = dlopen(PM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        ASSERT_EQ(dlclose(library), 0);
    }
    EXPECT_FALSE(Mapped());
    EXPECT_EQ(proccount::Descriptors(), fdsBefore);
    EXPECT_EQ(proccount::Threads(), threadsBefore);
}
