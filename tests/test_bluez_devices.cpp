// BlueZ's devices over D-Bus, against python3-dbusmock's bluez5 template on a private bus that the
// tests start and stop themselves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "CommBaseBluetooth.h"
#include "pmctl_run.h"
#include "PortMdlState.h"
#include "platform/bluetooth/sim/BluetoothWorld.h"
#include "platform/bluetooth/bluez/BluezBluetooth.h"
#include "platform/bluetooth/bluez/BluezDevices.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

BluetoothDeviceAddress address(const char* text)
{
    BluetoothDeviceAddress a{};
    EXPECT_TRUE(ParseBluetoothAddress(text, a));
    return a;
}

// A private bus standing in for the system bus, with a mock BlueZ on it.
class BluezBus : public ::testing::Test {
  protected:
    void SetUp() override
    {
        FILE* daemon = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        ASSERT_NE(daemon, nullptr);
        char line[512] = {}, pid[64] = {};
        bool ok = std::fgets(line, sizeof line, daemon) != nullptr &&
                  std::fgets(pid, sizeof pid, daemon) != nullptr;
        ::pclose(daemon);
        ASSERT_TRUE(ok) << "dbus-daemon did not start";
        m_busPid = static_cast<pid_t>(std::atoi(pid));
        std::string busAddress = line;
        busAddress.erase(busAddress.find_last_not_of('\n') + 1);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    }

    void startMock()
    {
        // Debian's interpreter, the one python3-dbusmock is installed for.
        const char* argv[] = {"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "bluez5",
                              nullptr};
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0); // its call log
        int spawned = posix_spawn(&m_mockPid, argv[0], &files, nullptr,
                                  const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&files);
        ASSERT_EQ(spawned, 0);
        ASSERT_EQ(sd_bus_open_system(&m_bus), 0);
        auto deadline = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            sd_bus_message* reply = nullptr;
            int owned = 0;
            if (sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                                   "org.bluez") >= 0) {
                sd_bus_message_read(reply, "b", &owned);
            }
            sd_bus_message_unref(reply);
            if (owned) {
                break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the BlueZ mock did not start";
            std::this_thread::sleep_for(50ms);
        }
        mock("AddAdapter", "ss", "hci0", "computer");
    }

    void TearDown() override
    {
        sd_bus_flush_close_unref(m_bus);
        for (pid_t pid : {m_mockPid, m_busPid}) {
            if (pid > 0) {
                ::kill(pid, SIGTERM);
            }
        }
        if (m_mockPid > 0) {
            ::waitpid(m_mockPid, nullptr, 0);
        }
    }

    template <typename... Args>
    void mock(const char* method, const char* signature, Args... args)
    {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(m_bus, "org.bluez", "/", "org.bluez.Mock", method, &error,
                                   nullptr, signature, args...);
        EXPECT_GE(r, 0) << method << ": " << (error.message ? error.message : "");
        sd_bus_error_free(&error);
    }

    // Sets one property of a device object, of any type.
    template <typename Value>
    void setProperty(const char* path, const char* name, const char* type, Value value)
    {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(m_bus, "org.bluez", path, "org.freedesktop.DBus.Mock",
                                   "UpdateProperties", &error, nullptr, "sa{sv}",
                                   "org.bluez.Device1", 1, name, type, value);
        EXPECT_GE(r, 0) << (error.message ? error.message : "");
        sd_bus_error_free(&error);
    }
    void breakProperty(const char* path, const char* name) { setProperty(path, name, "i", 5); }

    pid_t m_busPid = -1, m_mockPid = -1;
    sd_bus* m_bus = nullptr;
};

TEST_F(BluezBus, TheDevicesAreListedWithAddressNameAndPairing)
{
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    mock("AddDevice", "sss", "hci0", "11:22:33:44:55:66", "Laptop");
    mock("PairDevice", "ssi", "hci0", "AA:BB:CC:DD:EE:01", 5898764);
    BluezDevices bluez;
    auto devices = bluez.List();
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices->size(), 2u);
    auto phone = bluez.Find(address("aa:bb:cc:dd:ee:01"));
    ASSERT_TRUE(phone);
    EXPECT_EQ(phone->name, "Phone");
    EXPECT_EQ(phone->path, "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01");
    EXPECT_TRUE(phone->paired);
    EXPECT_FALSE(phone->connected);
    auto laptop = bluez.Find(address("11:22:33:44:55:66"));
    ASSERT_TRUE(laptop);
    EXPECT_FALSE(laptop->paired);
    EXPECT_FALSE(bluez.Find(address("11:22:33:44:55:67")));
}

TEST_F(BluezBus, ConnectDisconnectAndPairReachBlueZ)
{
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    BluezDevices bluez;
    const std::string path = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
    EXPECT_EQ(bluez.IsConnected(path), std::optional<bool>(false));
    // BlueZ's "already connected", "not connected" and "already paired" are the state asked for.
    EXPECT_EQ(bluez.Connect(path), 0);
    EXPECT_EQ(bluez.Connect(path), 0);
    EXPECT_EQ(bluez.Disconnect(path), 0);
    EXPECT_EQ(bluez.Disconnect(path), 0);
    setProperty(path.c_str(), "Connected", "b", 1);
    EXPECT_EQ(bluez.IsConnected(path), std::optional<bool>(true));
    EXPECT_EQ(bluez.Pair(path), 0);
    auto paired = bluez.Find(address("AA:BB:CC:DD:EE:01"));
    ASSERT_TRUE(paired);
    EXPECT_TRUE(paired->paired);
    EXPECT_EQ(bluez.Pair(path), 0);
    // A device BlueZ does not have is an error.
    EXPECT_LT(bluez.Connect("/org/bluez/hci0/dev_00_00_00_00_00_09"), 0);
    EXPECT_FALSE(bluez.IsConnected("/org/bluez/hci0/dev_00_00_00_00_00_09"));
}

TEST_F(BluezBus, PropertiesOfUnexpectedTypesAreNotTaken)
{
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:02", "Odd");
    breakProperty("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_02", "Address");
    breakProperty("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01", "Connected");
    BluezDevices bluez;
    auto devices = bluez.List();
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices->size(), 1u); // the device without a usable address is left out
    EXPECT_EQ(devices->front().name, "Phone");
    EXPECT_FALSE(devices->front().connected);
    EXPECT_FALSE(bluez.IsConnected("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"));
}

// A phone none of whose profiles BlueZ implements: Connect answers "not available", which the
// backend tells apart from BlueZ's other errors (it then looks for the phone itself).
TEST_F(BluezBus, ConnectToAPhoneWithoutProfilesIsToldApart)
{
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    const std::string path = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
    BluezDevices bluez;
    const struct {
        const char* error;
        int expected;
    } cases[] = {{"org.bluez.Error.NotAvailable", -ENOPROTOOPT}, {"org.bluez.Error.Failed", -EIO}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        std::string code = "raise dbus.exceptions.DBusException('br-connection-profile-unavailable', "
                           "name='" + std::string(c.error) + "')";
        sd_bus_error error = SD_BUS_ERROR_NULL;
        ASSERT_GE(sd_bus_call_method(m_bus, "org.bluez", path.c_str(), "org.freedesktop.DBus.Mock",
                                     "AddMethod", &error, nullptr, "sssss", "org.bluez.Device1",
                                     "Connect", "", "", code.c_str()),
                  0)
            << (error.message ? error.message : "");
        sd_bus_error_free(&error);
        EXPECT_EQ(bluez.Connect(path), c.expected);
    }
}

TEST_F(BluezBus, WithoutBlueZOrWithoutABusEveryCallFailsAtOnce)
{
    {
        BluezDevices bluez; // a bus, but nobody owns org.bluez
        auto before = std::chrono::steady_clock::now();
        EXPECT_FALSE(bluez.List());
        EXPECT_LT(bluez.Connect("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    BluezDevices none;
    EXPECT_FALSE(none.List());
    EXPECT_FALSE(none.IsConnected("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"));
    EXPECT_LT(none.Pair("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"), 0);
}

// ---- the backend on a kernel without Bluetooth: everything that needs the radio fails at once

int g_steps = 0;
int countStep(const char*, int, int)
{
    ++g_steps;
    return 0;
}

TEST_F(BluezBus, ThePanelIsTheNamedDeviceOrTheOnlyPairedOne)
{
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    mock("AddDevice", "sss", "hci0", "11:22:33:44:55:66", "Laptop");
    std::unique_ptr<BluetoothPlatform> bt(MakeBluezBluetooth());
    BluetoothRef controller = bt->IOBluetoothGetDeviceSelectorController();
    ::unsetenv("PM_BLUETOOTH_DEVICE");
    EXPECT_EQ(bt->IOBluetoothDeviceSelectorRunPanelWithAttributes(controller, nullptr), nullptr)
        << "no paired device";
    mock("PairDevice", "ssi", "hci0", "AA:BB:CC:DD:EE:01", 5898764);
    const BluetoothRefList* picked =
        bt->IOBluetoothDeviceSelectorRunPanelWithAttributes(controller, nullptr);
    ASSERT_NE(picked, nullptr);
    ASSERT_EQ(picked->size(), 1u);
    EXPECT_EQ(BluetoothAddressText(*bt->IOBluetoothDeviceGetAddress(picked->front())),
              "AA:BB:CC:DD:EE:01");
    mock("PairDevice", "ssi", "hci0", "11:22:33:44:55:66", 5898764);
    EXPECT_EQ(bt->IOBluetoothDeviceSelectorRunPanelWithAttributes(controller, nullptr), nullptr)
        << "two paired devices";
    ::setenv("PM_BLUETOOTH_DEVICE", "11:22:33:44:55:66", 1);
    picked = bt->IOBluetoothDeviceSelectorRunPanelWithAttributes(controller, nullptr);
    ASSERT_NE(picked, nullptr);
    EXPECT_EQ(BluetoothAddressText(*bt->IOBluetoothDeviceGetAddress(picked->front())),
              "11:22:33:44:55:66");
    for (const char* bad : {"11:22:33:44:55", "not an address", "11:22:33:44:55:67"}) {
        ::setenv("PM_BLUETOOTH_DEVICE", bad, 1);
        EXPECT_EQ(bt->IOBluetoothDeviceSelectorRunPanelWithAttributes(controller, nullptr), nullptr)
            << bad;
    }
    ::unsetenv("PM_BLUETOOTH_DEVICE");
    EXPECT_EQ(bt->FrontWindow(), nullptr);
    DialogRef dialog = &dialog;
    EXPECT_NE(bt->CreateStandardAlert(kAlertPlainAlert, "x", nullptr, nullptr, &dialog), 0);
}

TEST_F(BluezBus, SDPAndRFCOMMFailCleanlyWithoutBluetoothInTheKernel)
{
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    std::unique_ptr<BluetoothPlatform> bt(MakeBluezBluetooth());
    BluetoothDeviceAddress a = address("AA:BB:CC:DD:EE:01");
    BluetoothRef device = bt->IOBluetoothDeviceCreateWithAddress(&a);
    ASSERT_NE(device, nullptr);
    BluetoothDeviceAddress unknown = address("AA:BB:CC:DD:EE:09");
    EXPECT_EQ(bt->IOBluetoothDeviceCreateWithAddress(&unknown), nullptr);

    std::atomic<uint8_t> done{0};
    ASSERT_EQ(bt->IOBluetoothDevicePerformSDPQuery(device, EI_CommBaseBluetooth::callbackSDPQuery,
                                                   &done),
              0);
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(done);
    EXPECT_EQ(bt->IOBluetoothDeviceGetServices(device), nullptr);

    BluetoothRef channel = device; // must be overwritten
    auto before = std::chrono::steady_clock::now();
    EXPECT_NE(bt->IOBluetoothDeviceOpenRFCOMMChannel(device, 3, &channel), 0);
    EXPECT_EQ(channel, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    uint32_t sent = 0;
    EXPECT_NE(bt->IOBluetoothRFCOMMChannelWriteSimple(device, "x", 1, true, &sent), 0);
}

TEST_F(BluezBus, AWholeListingAndOpenEndQuicklyWithTheirFailureCodes)
{
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    mock("PairDevice", "ssi", "hci0", "AA:BB:CC:DD:EE:01", 5898764);
    ::unsetenv("PM_BLUETOOTH_SIM");
    ::unsetenv("PM_BLUETOOTH_DEVICE");
    uint8_t address[6] = {}; // the panel: the only paired device
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(PM_CountBluetoothChannels(address, countStep), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    const uint8_t phone[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
    EXPECT_EQ(std::memcmp(address, phone, 6), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);

    // The listing found nothing, so no row can be opened: the device is connected, then closed.
    EXPECT_EQ(PM_OpenBluetoothChannel(0), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 8);
    EXPECT_EQ(PM_ClosePort(), 1);

    // A row of the table: no RFCOMM on this kernel, so four attempts and a pairing request fail.
    auto& holder = EI_CommBaseBluetooth::g_myBluetoothDevice;
    holder.m_nChannels = 1;
    holder.m_nChannelID[0] = 3;
    before = std::chrono::steady_clock::now();
    EXPECT_EQ(PM_OpenBluetoothChannel(0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s); // the 2-second closing pause
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);
    EXPECT_EQ(PM_ClosePort(), 1);
}

// ---- a close from another thread while BlueZ does not answer

// The values the pure getters report, read together.
std::vector<int64_t> getterValues()
{
    return {PM_GetCommErr(), PM_GetSysErr(),    PM_IsErrTimeOut(), PM_GetOpenMode(),
            PM_GetBPS(),     PM_GetTxTimeout(), PM_GetRxTimeout(), PM_GetErrLine()};
}

class BluezHangs : public BluezBus {
  protected:
    // A phone whose Connect BlueZ never answers (the mock sits in it for ten minutes, marking the
    // moment it got the call with a file).
    void startHangingMock()
    {
        startMock();
        mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
        mock("PairDevice", "ssi", "hci0", "AA:BB:CC:DD:EE:01", 5898764);
        m_marker = std::filesystem::temp_directory_path() /
                   ("pm-bluez-connect-" + std::to_string(::getpid()));
        std::filesystem::remove(m_marker);
        std::string code = "open('" + m_marker.string() + "', 'w').close(); time.sleep(600)";
        sd_bus_error error = SD_BUS_ERROR_NULL;
        ASSERT_GE(sd_bus_call_method(m_bus, "org.bluez", kPath, "org.freedesktop.DBus.Mock",
                                     "AddMethod", &error, nullptr, "sssss", "org.bluez.Device1",
                                     "Connect", "", "", code.c_str()),
                  0)
            << (error.message ? error.message : "");
        sd_bus_error_free(&error);
        ::unsetenv("PM_BLUETOOTH_SIM");
        ::unsetenv("PM_BLUETOOTH_DEVICE");
    }
    void TearDown() override
    {
        std::filesystem::remove(m_marker);
        BluezBus::TearDown();
    }

    // Runs call on another thread until BlueZ holds its Connect; then the getters must answer
    // while the call still waits, and a close must end it, well before any of its bounds.
    // openMode: the open mode the call sets as it begins (an open's), or -1 (none).
    std::future<int32_t> hangInConnect(std::function<int32_t()> call, int32_t openMode = -1)
    {
        std::vector<int64_t> before = getterValues();
        if (openMode >= 0) {
            before[3] = openMode;
        }
        auto running = std::async(std::launch::async, std::move(call));
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!std::filesystem::exists(m_marker) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(std::filesystem::exists(m_marker)) << "Connect never reached BlueZ";
        EXPECT_EQ(getterValues(), before);
        EXPECT_NE(running.wait_for(0s), std::future_status::ready)
            << "the getters waited for the call";
        m_closeResult = PM_ClosePort();
        m_closeError = {PM_GetCommErr(), PM_GetErrLine()};
        m_closed.set_value();
        // Connect's own bound is 20 s: a call still waiting after 5 s did not see the close.
        EXPECT_EQ(running.wait_for(5s), std::future_status::ready);
        return running;
    }

    static constexpr const char* kPath = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
    std::filesystem::path m_marker;
    // The close hangInConnect made: its result, and the code and line its own thread read after it.
    int32_t m_closeResult = -1;
    std::vector<int32_t> m_closeError;
    std::promise<void> m_closed; // set once that close has returned
};

TEST_F(BluezHangs, ACloseFromAnotherThreadEndsAListingWaitingForBlueZ)
{
    startHangingMock();
    // The listing's thread reads its outcome as its host would, after the close that ended it
    // has returned and recorded its own.
    std::vector<int32_t> read;
    std::shared_future<void> closed = m_closed.get_future().share();
    std::future<int32_t> listing = hangInConnect([&read, closed] {
        uint8_t address[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
        int32_t count = PM_CountBluetoothChannels(address, countStep);
        closed.wait_for(30s);
        read = {PM_GetCommErr(), PM_GetErrLine(), PM_IsErrTimeOut()};
        return count;
    });
    ASSERT_EQ(listing.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(listing.get(), 0);
    EXPECT_EQ(read, (std::vector<int32_t>{PM_ERR_TIMEOUT, PM_LINE_BLUETOOTH_COUNT, 1}));
    // The close found no port, and says so to its own thread only.
    EXPECT_EQ(m_closeResult, 0);
    EXPECT_EQ(m_closeError, (std::vector<int32_t>{PM_ERR_INVALID, PM_LINE_CLOSE}));
}

TEST_F(BluezHangs, ACloseFromAnotherThreadEndsAnOpenWaitingForBlueZ)
{
    startHangingMock();
    auto& holder = EI_CommBaseBluetooth::g_myBluetoothDevice;
    const unsigned char phone[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
    ASSERT_NE(holder.CreateDevice(phone), nullptr);
    holder.m_nChannels = 1;
    holder.m_nChannelID[0] = 3;
    std::future<int32_t> open = hangInConnect([] { return PM_OpenBluetoothChannel(0); }, 3);
    ASSERT_EQ(open.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(open.get(), 0);
    // The close closed what the open had begun, and keeps the open's code.
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_GetPortHandle(), -1);
}

TEST_F(BluezBus, PmctlListsTheDevicesBlueZKnows)
{
    pmctltest::TempDir scratch;
    pmctltest::Outcome none = pmctltest::pmctl({"bt", "devices"}, scratch.path());
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(pmctltest::contains(none.err, "BlueZ does not answer")) << none.err;
    startMock();
    mock("AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:01", "Phone");
    mock("PairDevice", "ssi", "hci0", "AA:BB:CC:DD:EE:01", 5898764);
    pmctltest::Outcome run = pmctltest::pmctl({"bt", "devices"}, scratch.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "  AA:BB:CC:DD:EE:01  paired                   Phone\n");
}

} // namespace
