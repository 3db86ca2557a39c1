#include "Devices.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "Port.h"
#include "CableTypes.h"
#include "UsbIdentity.h"
#include "platform/serial/SerialRegistry.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

// The registry as the module's search sees it: terminal name and callout path, in order.
std::vector<SerialRegistryDevice> registryDevices()
{
    auto devices = QuerySerialRegistry();
    return devices ? *devices : std::vector<SerialRegistryDevice>{};
}

std::vector<std::string> matching(const std::vector<SerialRegistryDevice>& devices,
                                  const char* prefix)
{
    std::vector<std::string> found;
    for (const auto& d : devices) {
        if (d.ttyDevice && d.ttyDevice->rfind(prefix, 0) == 0)
            found.push_back(d.calloutDevice.value_or(""));
    }
    return found;
}

CablePick pick(const std::vector<SerialRegistryDevice>& devices, const CableSearch& search)
{
    auto found = matching(devices, search.prefix);
    if (found.empty() && search.fallback != nullptr)
        found = matching(devices, search.fallback);
    CablePick result;
    result.matches = static_cast<int>(found.size());
    if (search.index < result.matches)
        result.callout = found[search.index];
    return result;
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

std::string attribute(udev_device* device, const char* name)
{
    const char* value = device ? udev_device_get_sysattr_value(device, name) : nullptr;
    return value ? value : "";
}

// Kernel name, USB ids, serial number and driver of the character device behind path.
void addSystemFacts(DeviceFacts& facts)
{
    struct stat st {};
    if (::stat(facts.callout.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return;
    std::unique_ptr<udev, UdevDeleter> context(udev_new());
    if (!context)
        return;
    std::unique_ptr<udev_device, UdevDeleter> device(
        udev_device_new_from_devnum(context.get(), 'c', st.st_rdev));
    if (!device) {
        // Pseudo-terminal slaves have no sysfs entry.
        facts.kernelName = "pts/" + std::to_string(minor(st.st_rdev));
        facts.driver = "pseudo-terminal";
        return;
    }
    facts.kernelName = udev_device_get_sysname(device.get());
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(device.get()); link != nullptr;
         link = udev_list_entry_get_next(link)) {
        std::string name = udev_list_entry_get_name(link);
        if (name.rfind("/dev/serial/by-id/", 0) == 0)
            facts.byIdLinks.push_back(name);
    }
    // The parents belong to the child: not unreferenced separately.
    udev_device* interface =
        udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_interface");
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
    if (interface != nullptr) {
        const char* driver = udev_device_get_driver(interface);
        facts.driver = driver ? driver : "";
        facts.interfaceNumber = attribute(interface, "bInterfaceNumber");
    }
    if (facts.driver.empty()) {
        udev_device* parent = udev_device_get_parent(device.get());
        const char* driver = parent ? udev_device_get_driver(parent) : nullptr;
        facts.driver = driver ? driver : "";
    }
    if (usb != nullptr) {
        facts.usbVendor = attribute(usb, "idVendor");
        facts.usbProduct = attribute(usb, "idProduct");
        facts.manufacturer = attribute(usb, "manufacturer");
        facts.product = attribute(usb, "product");
        facts.serial = attribute(usb, "serial");
    }
}

std::string searchText(const CableSearch& s)
{
    std::string text = std::string(s.index == 0 ? "first" : "second") + " " + s.prefix + "*";
    if (s.fallback != nullptr)
        text += ", else first " + std::string(s.fallback) + "*";
    return text;
}

} // namespace

std::vector<DeviceFacts> describeDevices()
{
    auto registry = registryDevices();
    std::vector<DeviceFacts> result;
    for (const std::string& path : listDevices()) {
        DeviceFacts facts;
        facts.callout = path;
        for (const auto& d : registry) {
            if (d.calloutDevice == path && d.ttyDevice) {
                facts.terminalName = *d.ttyDevice;
                break;
            }
        }
        for (const CableSearch& search : kCableSearches) {
            if (pick(registry, search).callout == path)
                facts.cableTypes.push_back(search.type);
        }
        addSystemFacts(facts);
        result.push_back(std::move(facts));
    }
    return result;
}

CablePick deviceForCable(int32_t cableType)
{
    for (const CableSearch& search : kCableSearches) {
        if (search.type == cableType)
            return pick(registryDevices(), search);
    }
    return {};
}

std::string openFailureReason(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        if (err == ENOENT) {
            return path + ": no such file: the phone is not connected or has another name now "
                          "('pmctl list', ls /dev/serial/by-id/)";
        }
        if (err == EACCES) {
            return path + ": permission denied on a folder of the path";
        }
        return path + ": " + std::strerror(err);
    }
    if (S_ISDIR(st.st_mode))
        return path + ": is a folder, not a device: give the device inside it";
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EACCES) {
            return path + ": permission denied: add yourself to the device's group (sudo usermod "
                          "-aG dialout $USER, then log in again)";
        }
        if (err == EBUSY) {
            return path + ": busy: another program holds it (fuser -v " + path +
                   "); ModemManager probes new phones for a while (docs/troubleshooting.md)";
        }
        return path + ": " + std::strerror(err);
    }
    bool terminal = ::isatty(fd) != 0;
    ::close(fd);
    if (!terminal)
        return path + ": not a terminal: the path is no serial port";
    return {};
}

std::string lineChangeRefusal(int tiocmBit, bool on)
{
    // Only a tty of the serial transport has a descriptor of its own to ask (open modes 1 and 2;
    // cable type 5 is the modem driver's connection).
    int mode = PM_GetOpenMode();
    int fd = PM_GetPortHandle();
    if ((mode != 1 && mode != 2) || PortMdlEnv.nCableType == 5 || fd < 0 || ::isatty(fd) == 0)
        return {};
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0) {
        return std::string("the device has no modem control lines (") + std::strerror(errno) +
               "), so it refused the change; the module reports success";
    }
    if (((bits & tiocmBit) != 0) != on)
        return "the device did not change the line; the module reports success";
    return {};
}

std::string findUsbDevice(const UsbIdentity& identity, std::string& error, bool* several)
{
    return pickUsbDevice(identity, describeDevices(), error, several);
}

int runListVerbose(const std::regex* filter, const UsbIdentity* usb)
{
    auto devices = describeDevices();
    if (devices.empty()) {
        std::cout << kNoSerialDevices;
        return 0;
    }
    size_t shown = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceFacts& d = devices[i];
        // With -v the filter also finds a device by what the listing shows of it.
        const std::string facts[] = {
            d.callout,      d.terminalName, d.kernelName, d.usbVendor + ":" + d.usbProduct,
            d.manufacturer, d.product,      d.serial,     d.driver};
        if (filter != nullptr &&
            std::none_of(std::begin(facts), std::end(facts),
                         [&](const std::string& fact) { return std::regex_search(fact, *filter); }))
            continue;
        if (usb != nullptr && !matchesUsb(*usb, d))
            continue;
        ++shown;
        auto line = [](const char* label, const std::string& value) {
            std::cout << "    " << label << ": " << (value.empty() ? "-" : value) << "\n";
        };
        std::cout << i << "  " << d.callout << "\n";
        line("terminal name", d.terminalName);
        line("kernel name", d.kernelName);
        if (!d.usbVendor.empty()) {
            std::string usb = d.usbVendor + ":" + d.usbProduct;
            if (!d.manufacturer.empty() || !d.product.empty())
                usb += " (" + d.manufacturer + (d.manufacturer.empty() ? "" : " ") + d.product + ")";
            if (!d.interfaceNumber.empty())
                usb += ", interface " + d.interfaceNumber;
            line("USB", usb);
        } else {
            line("USB", "");
        }
        line("serial number", d.serial);
        for (const std::string& link : d.byIdLinks)
            line("by-id", link);
        if (d.byIdLinks.empty())
            line("by-id", "");
        line("driver", d.driver);
        std::string types;
        for (int32_t t : d.cableTypes) {
            for (const CableSearch& s : kCableSearches) {
                if (s.type == t)
                    types += (types.empty() ? "" : ", ") + std::to_string(t) + " (" + searchText(s) + ")";
            }
        }
        line("cable types", types.empty() ? "none; open it with --device" : types);
    }
    if (shown == 0)
        std::cout << "none of the " << devices.size() << " serial devices matches the filter"
                  << (usb != nullptr ? " and the USB identity " + usb->text() : "") << "\n";
    return 0;
}

} // namespace pmctl
