// The library as a host loads it with dlopen: unloaded with a port of each transport still open
// (the port is closed first: no thread may go on running in unmapped code, no object may be used
// after it was destroyed, the device must be given back), and loaded and unloaded over and over
// without a descriptor or thread left behind each time. (Heap blocks left behind show in the
// sanitizer build, whose leak check runs these tests too.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ModemDriverSim.h"
#include "ProcessCounts.h"
#include "RawPty.h"

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

// A temporary folder, removed with its contents.
class TempDir {
  public:
    explicit TempDir(const char* prefix)
    {
        std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// The far end of one port, for one load/open/unload cycle: it opens the port through the loaded
// library's exported functions, as a host does, and tells whether the module gave the port back.
class Peer {
  public:
    virtual ~Peer() = default;
    virtual int32_t Open(void* library) = 0;
    // Asked after the unload; waits for the peer to see the port let go.
    virtual testing::AssertionResult GivenBack() = 0;
};

// A serial cable on a pseudo-terminal, opened by its path.
class SerialPeer : public Peer {
  public:
    int32_t Open(void* library) override
    {
        auto open = Symbol<int32_t (*)(const char*)>(library, "PM_OpenPortByDeviceName");
        return open != nullptr ? open(m_line.SlavePath().c_str()) : 0;
    }
    testing::AssertionResult GivenBack() override
    {
        // Free again: neither the exclusive lock nor the exclusive mode is left on the device.
        int fd = ::open(m_line.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return testing::AssertionFailure() << "the tty does not open again";
        }
        int exclusive = 1;
        bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
        bool held = ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive != 0;
        close(fd);
        if (locked || held) {
            return testing::AssertionFailure() << "the tty is still held";
        }
        return testing::AssertionSuccess();
    }

  private:
    RawPty m_line;
};

// A modem driver in a plane folder of its own, opened as cable type 5.
class ModemPeer : public Peer {
  public:
    ModemPeer() : m_plane("pmunload"), m_driver(MakeDriver(m_plane.Path())) {}
    ~ModemPeer() override { unsetenv("PM_USERCLIENT_DIR"); }

    int32_t Open(void* library) override
    {
        auto setInfo = Symbol<int32_t (*)(const int32_t*)>(library, "PM_SetInfo");
        auto open = Symbol<int32_t (*)(int32_t)>(library, "PM_OpenPort");
        const int32_t env[2] = {5, 0};
        return setInfo != nullptr && open != nullptr && setInfo(env) == 1 ? open(0) : 0;
    }
    testing::AssertionResult GivenBack() override
    {
        if (!m_driver->WaitClients(0, 5s)) {
            return testing::AssertionFailure() << "the driver still has a client";
        }
        for (const auto& request : m_driver->Requests()) {
            if (request.selector == 1) {
                return testing::AssertionSuccess();
            }
        }
        return testing::AssertionFailure() << "the client went without its close request";
    }

  private:
    static std::unique_ptr<pmsim::ModemDriverSim> MakeDriver(const std::string& plane)
    {
        setenv("PM_USERCLIENT_DIR", plane.c_str(), 1);
        return std::make_unique<pmsim::ModemDriverSim>(plane);
    }

    TempDir m_plane;
    std::unique_ptr<pmsim::ModemDriverSim> m_driver;
};

// A connected phone of a simulated Bluetooth world, its one channel listed and opened.
class BluetoothPeer : public Peer {
  public:
    BluetoothPeer() : m_dir("pmunloadbt")
    {
        const std::string world = m_dir.Path() + "/world.json";
        std::ofstream(world) << R"({"trace": ")" << Trace() << R"(", "devices": [
            {"address": "00:1B:DC:0F:4A:21", "connected": true,
             "records": [{"rfcomm": 3, "attributes": {"256": {"text": "Dial-up Networking"}}}]}]})";
        setenv("PM_BLUETOOTH_SIM", world.c_str(), 1);
    }
    ~BluetoothPeer() override { unsetenv("PM_BLUETOOTH_SIM"); }

    int32_t Open(void* library) override
    {
        auto count = Symbol<int32_t (*)(uint8_t*, int (*)(const char*, int, int))>(
            library, "PM_CountBluetoothChannels");
        auto open = Symbol<int32_t (*)(int32_t)>(library, "PM_OpenBluetoothChannel");
        uint8_t address[6] = {0x00, 0x1B, 0xDC, 0x0F, 0x4A, 0x21};
        return count != nullptr && open != nullptr && count(address, nullptr) == 1 ? open(0) : 0;
    }
    testing::AssertionResult GivenBack() override
    {
        // The world went with the library; its trace shows whether the channel was closed.
        std::ifstream trace(Trace());
        for (std::string line; std::getline(trace, line);) {
            if (line.rfind("IOBluetoothRFCOMMChannelCloseChannel", 0) == 0) {
                return testing::AssertionSuccess();
            }
        }
        return testing::AssertionFailure() << "the channel was never closed";
    }

  private:
    std::string Trace() const { return m_dir.Path() + "/trace"; }
    TempDir m_dir;
};

// Cycles, not one: whether an unload that runs into objects already destroyed crashes depends on
// the timing of the port's threads, so one cycle may pass by luck. A Bluetooth cycle takes the
// channel's 2-second closing pause, so it runs fewer.
struct Transport {
    const char* name;
    std::function<std::unique_ptr<Peer>()> make;
    int cycles;
};

void PrintTo(const Transport& transport, std::ostream* out)
{
    *out << transport.name;
}

class UnloadWithPortOpen : public testing::TestWithParam<Transport> {};

} // namespace

TEST_P(UnloadWithPortOpen, ClosesThePortBeforeAnythingGoes)
{
    // A first cycle may load for good what the library needs (its dependencies stay mapped):
    // counting starts after it.
    int fdsBefore = 0;
    int threadsBefore = 0;
    for (int cycle = 0; cycle <= GetParam().cycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (cycle == 1) {
            fdsBefore = proccount::Descriptors();
            threadsBefore = proccount::Threads();
        }
        std::unique_ptr<Peer> peer = GetParam().make();
        const int threadsIdle = proccount::Threads();
        void* library = dlopen(PM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        ASSERT_EQ(peer->Open(library), 1);
        ASSERT_EQ(dlclose(library), 0);
        EXPECT_FALSE(Mapped());
        // Every thread of the port ended with it, before its code went away.
        EXPECT_EQ(proccount::Threads(), threadsIdle);
        EXPECT_TRUE(peer->GivenBack());
    }
    EXPECT_EQ(proccount::Descriptors(), fdsBefore);
    EXPECT_EQ(proccount::Threads(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    EveryTransport, UnloadWithPortOpen,
    testing::Values(Transport{"Serial", [] { return std::make_unique<SerialPeer>(); }, 12},
                    Transport{"Modem", [] { return std::make_unique<ModemPeer>(); }, 12},
                    Transport{"Bluetooth", [] { return std::make_unique<BluetoothPeer>(); }, 5}),
    [](const testing::TestParamInfo<Transport>& info) { return info.param.name; });

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
