#include "TtyLocator.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <libudev.h>
#include <vector>

namespace modemd {

namespace {

std::optional<std::string> HexId(const std::string& text)
{
    if (text.empty() || text.size() > 4 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); })) {
        return std::nullopt;
    }
    std::string out(4 - text.size(), '0');
    for (unsigned char c : text) {
        out += static_cast<char>(std::tolower(c));
    }
    return out; // the form of the sysfs attributes idVendor and idProduct
}

std::string Attribute(udev_device* dev, const char* name)
{
    const char* v = udev_device_get_sysattr_value(dev, name);
    return v != nullptr ? v : "";
}

} // namespace

std::optional<UsbId> ParseUsbId(const std::string& text)
{
    std::size_t first = text.find(':');
    if (first == std::string::npos) {
        return std::nullopt;
    }
    std::size_t second = text.find(':', first + 1);
    auto vendor = HexId(text.substr(0, first));
    auto product = HexId(text.substr(first + 1, second == std::string::npos
                                                    ? std::string::npos
                                                    : second - first - 1));
    if (!vendor || !product) {
        return std::nullopt;
    }
    std::string serial = second == std::string::npos ? "" : text.substr(second + 1);
    if (second != std::string::npos && serial.empty()) {
        return std::nullopt;
    }
    return UsbId{*vendor, *product, serial};
}

TtyLocator::TtyLocator(std::string path) : m_path(std::move(path))
{
    StartMonitor();
}

TtyLocator::TtyLocator(UsbId id) : m_usb(std::move(id))
{
    StartMonitor();
}

TtyLocator::~TtyLocator()
{
    if (m_monitor != nullptr) {
        udev_monitor_unref(m_monitor);
    }
    if (m_udev != nullptr) {
        udev_unref(m_udev);
    }
}

void TtyLocator::StartMonitor()
{
    m_udev = udev_new();
    if (m_udev == nullptr) {
        return;
    }
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        if (m_monitor != nullptr) {
            udev_monitor_unref(m_monitor);
            m_monitor = nullptr;
        }
    }
}

std::string TtyLocator::Describe() const
{
    if (!m_usb) {
        return m_path;
    }
    return "USB " + m_usb->vendor + ":" + m_usb->product +
           (m_usb->serial.empty() ? "" : ":" + m_usb->serial);
}

std::string TtyLocator::Find() const
{
    if (!m_usb) {
        return m_path;
    }
    if (m_udev == nullptr) {
        return "";
    }
    std::string found;
    udev_enumerate* e = udev_enumerate_new(m_udev);
    if (e == nullptr) {
        return "";
    }
    udev_enumerate_add_match_subsystem(e, "tty");
    udev_enumerate_scan_devices(e);
    std::vector<std::string> nodes;
    for (udev_list_entry* it = udev_enumerate_get_list_entry(e); it != nullptr;
         it = udev_list_entry_get_next(it)) {
        udev_device* dev = udev_device_new_from_syspath(m_udev, udev_list_entry_get_name(it));
        if (dev == nullptr) {
            continue;
        }
        // The parent is borrowed from the child and goes with it.
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
        const char* node = udev_device_get_devnode(dev);
        if (usb != nullptr && node != nullptr && Attribute(usb, "idVendor") == m_usb->vendor &&
            Attribute(usb, "idProduct") == m_usb->product &&
            (m_usb->serial.empty() || Attribute(usb, "serial") == m_usb->serial)) {
            nodes.push_back(node);
        }
        udev_device_unref(dev);
    }
    udev_enumerate_unref(e);
    // A phone with several interfaces has several ttys: the first by name is its modem's.
    std::sort(nodes.begin(), nodes.end());
    return nodes.empty() ? "" : nodes.front();
}

int TtyLocator::EventFd() const
{
    return m_monitor != nullptr ? udev_monitor_get_fd(m_monitor) : -1;
}

bool TtyLocator::TakeEvents()
{
    bool added = false;
    while (m_monitor != nullptr) {
        udev_device* dev = udev_monitor_receive_device(m_monitor);
        if (dev == nullptr) {
            break;
        }
        const char* action = udev_device_get_action(dev);
        added = added || (action != nullptr && std::strcmp(action, "add") == 0);
        udev_device_unref(dev);
    }
    return added;
}

} // namespace modemd
