// pmctl bt list / bt talk, and the demo's Bluetooth section: listing a phone's usable RFCOMM
// channels (PM_CountBluetoothChannels) and opening one (PM_OpenBluetoothChannel), through the
// module's public interface only. The channel names come from the listing's log records.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <string>

#include "platform/bluetooth/BluetoothAddress.h"
#include "platform/bluetooth/sim/BluetoothWorld.h"
#if PM_WITH_BLUEZ
#include "platform/bluetooth/bluez/BluezDevices.h"
#endif
#include "Commands.h"
#include "LogReader.h"
#include "Text.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

namespace fs = std::filesystem;

std::string addressText(const uint8_t (&a)[6])
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3],
                  a[4], a[5]);
    return text;
}

void parseAddress(const std::string& text, uint8_t (&a)[6])
{
    static const std::regex form("([0-9A-Fa-f]{2}):([0-9A-Fa-f]{2}):([0-9A-Fa-f]{2}):"
                                 "([0-9A-Fa-f]{2}):([0-9A-Fa-f]{2}):([0-9A-Fa-f]{2})");
    std::smatch m;
    if (!std::regex_match(text, m, form))
        throw Failure("'" + text + "' is no Bluetooth address: give six hex pairs, "
                      "AA:BB:CC:DD:EE:FF");
    for (int i = 0; i < 6; ++i)
        a[i] = static_cast<uint8_t>(std::stoul(m[i + 1].str(), nullptr, 16));
}

// The log folder: the one asked for, or a temporary one the listing's records are read from.
class LogFolder {
  public:
    explicit LogFolder(const std::string& asked)
    {
        if (!asked.empty()) {
            std::error_code ec;
            if (!fs::is_directory(asked, ec))
                throw Failure("log folder '" + asked + "' is not a folder: create it first");
            m_path = asked.back() == '/' ? asked : asked + "/";
            return;
        }
        std::error_code ec;
        std::string templ = (fs::temp_directory_path(ec) / "pmctl-bt-XXXXXX").string();
        if (ec || ::mkdtemp(templ.data()) == nullptr)
            throw Failure("cannot create a temporary log folder: set TMPDIR to a writable folder");
        m_path = templ + "/";
        m_temporary = true;
    }
    ~LogFolder()
    {
        std::error_code ec;
        if (m_temporary)
            fs::remove_all(m_path, ec);
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
    bool m_temporary = false;
};

// The names of the channels the last listing kept: each "Service Name" comment followed by
// "Matched Service!", at most the five the module keeps.
std::vector<std::string> listedNames(const std::string& folder)
{
    std::vector<std::string> names;
    pmlog::Log log;
    try {
        log = pmlog::readLog(folder);
    } catch (const std::exception&) {
        return names;
    }
    size_t start = 0;
    for (size_t i = 0; i < log.events.size(); ++i) {
        if (log.events[i].kind == pmlog::Event::Banner)
            start = i;
    }
    static const std::regex service("Service Name #[0-9]+: (.*)");
    std::string last;
    for (size_t i = start; i < log.events.size(); ++i) {
        const pmlog::Event& e = log.events[i];
        if (e.kind != pmlog::Event::Comment)
            continue;
        std::smatch m;
        if (std::regex_match(e.text, m, service))
            last = m[1].str();
        else if (e.text == "Matched Service!" && names.size() < 5)
            names.push_back(last);
    }
    return names;
}

std::chrono::steady_clock::time_point g_listStart;

int showProgress(const char* text, int, int)
{
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - g_listStart).count();
    std::fprintf(stderr, "\r%s looking for the phone's services, %.1f s", text, seconds);
    std::fflush(stderr);
    return 0;
}

struct Listing {
    int32_t count = 0;
    bool picked = false; // the device selector chose the phone (no --address)
    uint8_t address[6] = {};
    std::vector<std::string> names;
};

// The listing; its records stay in the log folder.
Listing listChannels(const BluetoothOptions& options, const std::string& folder)
{
    Listing listing;
    uint8_t asked[6] = {};
    if (!options.address.empty()) {
        parseAddress(options.address, asked);
        std::memcpy(listing.address, asked, sizeof asked);
    }
    PM_Log_SetUserInfo(folder.c_str(), options.phoneId.c_str());
    bool terminal = ::isatty(STDERR_FILENO);
    g_listStart = std::chrono::steady_clock::now();
    listing.count = PM_CountBluetoothChannels(listing.address, terminal ? showProgress : nullptr);
    if (terminal) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    listing.names = listedNames(folder);
    listing.picked = options.address.empty();
    // An address the stack does not know makes the module ask the device selector, which may
    // pick another phone: talking to that one would be a surprise, so it is an error here.
    // (The module clears the address when the stack does not know it, and the selector found
    // nothing either.)
    if (!options.address.empty() && std::memcmp(listing.address, asked, sizeof asked) != 0) {
        const uint8_t none[6] = {};
        bool other = std::memcmp(listing.address, none, sizeof none) != 0;
        throw Failure("the Bluetooth stack does not know " + addressText(asked) +
                      (other ? " (the device selector picked " + addressText(listing.address) +
                                   " instead; pmctl leaves it alone)"
                             : "") +
                      ": pair the phone first, or check the address with 'pmctl bt devices'");
    }
    if (listing.count < 1) {
        std::string where =
            options.address.empty()
                ? "the device standing in for the selector panel (PM_BLUETOOTH_DEVICE, or the "
                  "only paired device; none?)"
                : options.address;
        throw moduleFailure(
            "no usable Bluetooth channel on " + where,
            "the phone must be paired, reachable and offer a serial or dial-up service with one "
            "of the known names; 'pmctl bt devices' shows what BlueZ knows, 'pmctl log' on --log "
            "FOLDER the services the phone offered; PM_BLUETOOTH_SIM names a simulated world "
            "instead (docs/bluetooth.md)");
    }
    return listing;
}

// The devices of the simulated world PM_BLUETOOTH_SIM names, which stands in for the stack as
// it does for the module: a phone that needs pairing is not paired yet.
int listWorldDevices(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure("PM_BLUETOOTH_SIM names " + path + ", which cannot be read: " +
                      std::strerror(errno));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    BluetoothWorld world;
    std::string error;
    if (!ParseBluetoothWorld(text, world, error))
        throw Failure("the Bluetooth world " + path + " (PM_BLUETOOTH_SIM): " + error);
    std::cout << "the simulated world " << path << " (PM_BLUETOOTH_SIM):\n";
    if (world.devices.empty())
        std::cout << "  no device\n";
    for (const WorldDevice& d : world.devices) {
        std::cout << "  " << BluetoothAddressText(d.address) << "  "
                  << (d.needsPairing ? "not paired" : "paired    ") << "  "
                  << (d.connected ? "connected" : "") << "\n";
    }
    return 0;
}

void printListing(const Listing& listing)
{
    std::cout << "phone " << addressText(listing.address)
              << (listing.picked ? " (picked by the device selector)" : "") << ": " << listing.count
              << " usable channel" << (listing.count == 1 ? "" : "s") << "\n";
    for (int32_t i = 0; i < listing.count; ++i) {
        std::cout << "  " << i << "  "
                  << (static_cast<size_t>(i) < listing.names.size() ? listing.names[i] : "?")
                  << "\n";
    }
}

} // namespace

int runBluetoothList(const BluetoothOptions& options)
{
    LogFolder folder(options.logFolder);
    printListing(listChannels(options, folder.path()));
    return 0;
}

int runBluetoothDevices()
{
    if (const char* world = std::getenv("PM_BLUETOOTH_SIM"); world != nullptr && *world != '\0')
        return listWorldDevices(world);
#if !PM_WITH_BLUEZ
    throw Failure("this pmctl was built without BlueZ (PM_WITH_BLUETOOTH=OFF): only the simulated "
                  "world of PM_BLUETOOTH_SIM is reachable");
#else
    BluezDevices bluez;
    auto devices = bluez.List();
    if (!devices) {
        throw Failure("BlueZ does not answer on the system bus: is the bluetooth service running "
                      "(systemctl status bluetooth)?");
    }
    if (devices->empty()) {
        std::cout << "BlueZ knows no device: pair the phone first (bluetoothctl: scan on, pair "
                     "ADDRESS, trust ADDRESS)\n";
        return 0;
    }
    for (const BluezDevice& d : *devices) {
        std::cout << "  " << BluetoothAddressText(d.address) << "  "
                  << (d.paired ? "paired    " : "not paired") << "  "
                  << (d.connected ? "connected  " : "           ") << "  " << d.name << "\n";
    }
    return 0;
#endif
}

int runBluetoothTalk(const BluetoothOptions& options, const std::vector<Step>& steps)
{
    LogFolder folder(options.logFolder);
    Listing listing = listChannels(options, folder.path());
    printListing(listing);
    if (options.channel < 0 || options.channel >= listing.count) {
        throw Failure("there is no channel " + std::to_string(options.channel) + ": the phone has " +
                      std::to_string(listing.count) + " (0 to " +
                      std::to_string(listing.count - 1) + ")");
    }
    stopIfRequested();
    if (!PM_OpenBluetoothChannel(options.channel)) {
        PortGuard guard; // the unopened transport and its log communication are closed
        throw moduleFailure("cannot open channel " + std::to_string(options.channel),
                            "the phone may refuse the connection or want to be paired first");
    }
    PortGuard guard;
    PM_SetRxTimeout(options.rxTimeout);
    std::cout << "channel " << options.channel << " open (receives wait up to "
              << options.rxTimeout << " ms in pmctl; the module's own receive never waits)\n";
    runSteps(steps, true);
    guard.close();
    std::cout << "channel closed\n";
    return 0;
}

void demoBluetooth(const std::string& folder, void (*step)(const std::string&))
{
    const std::string world = folder + "/bluetooth-world.json";
    std::ofstream(world) << R"({
  "panel": "00:1B:DC:0F:4A:21",
  "devices": [ {
    "address": "00:1B:DC:0F:4A:21",
    "records": [
      { "attributes": { "256": { "text": "Headset Audio Gateway" } } },
      { "rfcomm": 1, "attributes": { "256": { "text": "Dial-up Networking" } } },
      { "rfcomm": 2, "attributes": { "256": { "text": "Bluetooth Serial Port" } } }
    ],
    "phone": { "replies": { "AT\r": "\r\nOK\r\n", "ATI\r": "\r\nSimulated Bluetooth phone\r\n\r\nOK\r\n" } }
  } ]
})";
    std::optional<std::string> old;
    if (const char* value = std::getenv("PM_BLUETOOTH_SIM"))
        old = value;
    ::setenv("PM_BLUETOOTH_SIM", world.c_str(), 1);
    struct Restore {
        std::optional<std::string>& old;
        ~Restore()
        {
            if (old)
                ::setenv("PM_BLUETOOTH_SIM", old->c_str(), 1);
            else
                ::unsetenv("PM_BLUETOOTH_SIM");
        }
    } restore{old};
    std::cout << "\nBluetooth: PM_BLUETOOTH_SIM=" << world
              << " describes a simulated phone with three services.\n";

    step("PM_CountBluetoothChannels: no address known, so the selector panel picks the phone; "
         "SDP query, then the 2 s pause after the connection closes");
    uint8_t address[6] = {};
    g_listStart = std::chrono::steady_clock::now();
    int32_t count = PM_CountBluetoothChannels(address, ::isatty(STDERR_FILENO) ? showProgress
                                                                               : nullptr);
    if (::isatty(STDERR_FILENO))
        std::fprintf(stderr, "\r\033[K");
    if (count < 1)
        throw moduleFailure("PM_CountBluetoothChannels found no channel");
    std::cout << "    phone " << addressText(address) << ", " << count
              << " usable channels (the headset service has no RFCOMM channel)\n";

    step("PM_OpenBluetoothChannel(0): the \"Dial-up Networking\" channel");
    if (!PM_OpenBluetoothChannel(0)) {
        PortGuard guard;
        throw moduleFailure("PM_OpenBluetoothChannel failed");
    }
    PortGuard guard;

    step("AT exchange over RFCOMM: PM_TxBytes, then PM_RxBytes once the answer has arrived");
    for (const std::string command : {"AT\r", "ATI\r"}) {
        auto bytes = reinterpret_cast<const uint8_t*>(command.data());
        if (!PM_TxBytes(static_cast<int32_t>(command.size()), bytes))
            throw moduleFailure("PM_TxBytes failed");
        for (const std::string& row : hexRows(bytes, command.size()))
            std::cout << "    SD> " << row << "\n";
        // The Bluetooth receive takes only what has arrived: wait for the answer to settle.
        int32_t waiting = 0;
        for (int quiet = 0; quiet < 50; ++quiet) {
            PM_SimpleSleep(10);
            int32_t now = PM_InBufferCount();
            if (now != waiting)
                quiet = 0;
            waiting = now;
        }
        std::vector<uint8_t> answer(static_cast<size_t>(waiting));
        if (waiting == 0 || !PM_RxBytes(waiting, answer.data()))
            throw moduleFailure("no answer over the Bluetooth channel");
        for (const std::string& row : hexRows(answer.data(), answer.size()))
            std::cout << "    RD< " << row << "\n";
    }

    step("PM_ClosePort: channel and connection closed (2 s pause), the log saved");
    guard.close();
    std::cout << "    channel closed\n";
}

} // namespace pmctl
