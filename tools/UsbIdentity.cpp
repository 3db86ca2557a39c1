#include "UsbIdentity.h"

#include <algorithm>
#include <cctype>

namespace pmctl {

namespace {

bool hexId(const std::string& text)
{
    return !text.empty() && text.size() <= 4 &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// udev gives ids as four lowercase digits; users type "22B8" or "5ac" as well.
std::string normalId(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return std::string(4 - std::min<size_t>(text.size(), 4), '0') + text;
}

std::string describe(const DeviceFacts& d)
{
    std::string line = "  " + d.callout + "  " + d.usbVendor + ":" + d.usbProduct;
    if (!d.serial.empty())
        line += ":" + d.serial;
    std::string name = d.manufacturer + (d.manufacturer.empty() || d.product.empty() ? "" : " ") +
                       d.product;
    if (!name.empty())
        line += " (" + name + ")";
    if (!d.interfaceNumber.empty())
        line += ", interface " + d.interfaceNumber;
    for (const std::string& link : d.byIdLinks)
        line += "\n      " + link;
    return line + "\n";
}

} // namespace

std::string UsbIdentity::text() const
{
    return vendor + ":" + product + (serial.empty() ? "" : ":" + serial);
}

std::optional<UsbIdentity> parseUsbIdentity(const std::string& text, std::string& error)
{
    size_t first = text.find(':');
    if (first == std::string::npos) {
        error = "'" + text + "' is no USB identity: write VID:PID or VID:PID:SERIAL, the ids in "
                "hex (22b8:4902)";
        return std::nullopt;
    }
    size_t second = text.find(':', first + 1);
    std::string vendor = text.substr(0, first);
    std::string product = text.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                              : second - first - 1);
    for (const auto& [id, what] : {std::pair{vendor, "vendor"}, std::pair{product, "product"}}) {
        if (!hexId(id)) {
            error = "'" + text + "': the " + what + " id '" + id +
                    "' is not one to four hex digits (22b8:4902; 'pmctl list -v' shows them)";
            return std::nullopt;
        }
    }
    UsbIdentity identity{normalId(vendor), normalId(product), ""};
    if (second != std::string::npos) {
        identity.serial = text.substr(second + 1);
        if (identity.serial.empty()) {
            error = "'" + text + "': the serial number after the second ':' is empty; leave out "
                    "the ':' to take any";
            return std::nullopt;
        }
    }
    return identity;
}

bool matchesUsb(const UsbIdentity& identity, const DeviceFacts& device)
{
    if (device.usbVendor.empty())
        return false;
    return normalId(device.usbVendor) == identity.vendor &&
           normalId(device.usbProduct) == identity.product &&
           (identity.serial.empty() || device.serial == identity.serial);
}

std::string pickUsbDevice(const UsbIdentity& identity, const std::vector<DeviceFacts>& devices,
                          std::string& error, bool* several)
{
    std::vector<const DeviceFacts*> found;
    for (const DeviceFacts& d : devices) {
        if (!matchesUsb(identity, d))
            continue;
        bool seen = std::any_of(found.begin(), found.end(), [&](const DeviceFacts* f) {
            return !d.kernelName.empty() && f->kernelName == d.kernelName;
        });
        if (!seen)
            found.push_back(&d);
    }
    if (several != nullptr)
        *several = found.size() > 1;
    if (found.size() == 1)
        return found.front()->callout;
    if (found.empty()) {
        std::string usb;
        for (const DeviceFacts& d : devices) {
            if (!d.usbVendor.empty())
                usb += describe(d);
        }
        error = "no serial device has the USB identity " + identity.text() +
                (usb.empty() ? ", and no USB serial device is connected: plug the phone in"
                             : "; the USB serial devices are:\n" + usb +
                                   "('pmctl list -v' shows them all)");
    } else {
        std::string list;
        for (const DeviceFacts* d : found)
            list += describe(*d);
        error = std::to_string(found.size()) + " serial devices have the USB identity " +
                identity.text() + ":\n" + list +
                (identity.serial.empty() ? "add the serial number (--usb VID:PID:SERIAL) or "
                                           "name one with --device"
                                         : "name one with --device");
    }
    if (error.back() == '\n')
        error.pop_back();
    return {};
}

} // namespace pmctl
