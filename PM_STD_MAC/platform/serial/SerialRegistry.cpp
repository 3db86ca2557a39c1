// The serial device registry on Linux: a stand-in directory for tests, else the kernel's ttys
// read through libudev.
#include "SerialRegistry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <libudev.h>
#include <memory>
#include <new>

#include "platform/StandInDirectory.h"

namespace {

constexpr size_t kMaxSerialChars = 64;

std::optional<std::vector<SerialRegistryDevice>> queryDirectory(const std::string& dir)
{
    auto names = StandInEntries(dir);
    if (!names) {
        return std::nullopt;
    }
    std::vector<SerialRegistryDevice> devices;
    devices.reserve(names->size());
    for (auto& name : *names) {
        std::string path = dir + "/" + name;
        devices.push_back({std::move(name), std::move(path)});
    }
    return devices;
}

std::string text(const char* value)
{
    return value ? value : "";
}

// Letters and digits only, so a serial number cannot bring spaces, slashes or control characters
// into a terminal name; capped so the name stays well inside the 127 characters a name may have.
std::string tidySerial(const std::string& serial)
{
    std::string out;
    for (unsigned char c : serial) {
        if (out.size() == kMaxSerialChars) {
            break;
        }
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string decimalFromHex(const std::string& hex)
{
    if (hex.empty()) {
        return "";
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(hex.c_str(), &end, 16);
    return *end == '\0' ? std::to_string(value) : "";
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T> using UdevPtr = std::unique_ptr<T, UdevDeleter>;

TtyFacts factsOf(udev_device* tty)
{
    TtyFacts facts;
    facts.kernelName = text(udev_device_get_sysname(tty));
    // Parents are owned by the child device; they need no unref.
    udev_device* parent = udev_device_get_parent(tty);
    const char* syspath = udev_device_get_syspath(tty);
    facts.hasDevice = parent != nullptr && syspath != nullptr &&
                      std::strstr(syspath, "/devices/virtual/") == nullptr;
    if (const char* type = udev_device_get_sysattr_value(tty, "type")) {
        facts.portType = type;
    }
    if (parent) {
        facts.deviceSubsystem = text(udev_device_get_subsystem(parent));
    }
    if (udev_device* iface =
            udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface")) {
        facts.usbInterfaceDriver = text(udev_device_get_driver(iface));
        facts.usbInterfaceClass = text(udev_device_get_sysattr_value(iface, "bInterfaceClass"));
        facts.usbInterfaceNumber = text(udev_device_get_sysattr_value(iface, "bInterfaceNumber"));
    }
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
        facts.usbSerial = text(udev_device_get_sysattr_value(usb, "serial"));
        facts.usbPort = text(udev_device_get_sysname(usb));
    }
    return facts;
}

std::optional<std::vector<SerialRegistryDevice>> querySystem()
{
    UdevPtr<udev> u(udev_new());
    if (!u) {
        return std::nullopt;
    }
    UdevPtr<udev_enumerate> e(udev_enumerate_new(u.get()));
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(e.get()) < 0) {
        return std::nullopt;
    }
    struct Named {
        std::string name, kernelName;
    };
    std::vector<Named> ports;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get()))
    {
        // A tty that vanished since the scan is simply not listed.
        UdevPtr<udev_device> tty(
            udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        if (!tty) {
            continue;
        }
        TtyFacts facts = factsOf(tty.get());
        if (auto name = RealTtyName(facts)) {
            ports.push_back({std::move(*name), std::move(facts.kernelName)});
        }
    }
    // Terminal name first, as the stand-in directory orders them; the kernel name parts the
    // ports of one multi-port adapter, which share a name.
    std::sort(ports.begin(), ports.end(), [](const Named& a, const Named& b) {
        return a.name != b.name ? a.name < b.name : a.kernelName < b.kernelName;
    });
    std::vector<SerialRegistryDevice> devices;
    devices.reserve(ports.size());
    for (auto& p : ports) {
        devices.push_back({std::move(p.name), "/dev/" + p.kernelName});
    }
    return devices;
}

} // namespace

std::optional<std::string> RealTtyName(const TtyFacts& facts)
{
    if (!facts.hasDevice || facts.kernelName.empty() || facts.portType == "0") {
        return std::nullopt;
    }
    std::string serial = tidySerial(facts.usbSerial);
    if (facts.deviceSubsystem == "usb-serial") {
        return "usbserial-" + (serial.empty() ? facts.kernelName : serial);
    }
    if (facts.usbInterfaceDriver == "cdc_acm" || facts.usbInterfaceClass == "02") {
        std::string id = serial;
        if (id.empty()) {
            for (char c : facts.usbPort) {
                if (c >= '0' && c <= '9') {
                    id += c;
                }
            }
        }
        return "usbmodem" + id + decimalFromHex(facts.usbInterfaceNumber);
    }
    return facts.kernelName;
}

std::optional<std::vector<SerialRegistryDevice>> QuerySerialRegistry() noexcept
{
    try {
        const char* dir = std::getenv("PM_SERIAL_REGISTRY");
        if (dir != nullptr && dir[0] != '\0') {
            return queryDirectory(dir);
        }
        return querySystem();
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}
