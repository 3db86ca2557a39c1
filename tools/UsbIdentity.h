// A phone named by its USB identity (--usb VID:PID[:SERIAL]) and the device it names among the
// serial devices pmctl sees. Kept apart from udev so that tests can hand in a device list.
#ifndef PMCTL_USBIDENTITY_H
#define PMCTL_USBIDENTITY_H

#include <optional>
#include <string>
#include <vector>

#include "Devices.h"

namespace pmctl {

struct UsbIdentity {
    std::string vendor, product; // four lowercase hex digits each
    std::string serial;          // empty: any serial number
    std::string text() const;    // "22b8:4902" or "22b8:4902:SERIAL"
};

// Reads VID:PID[:SERIAL]: one to four hex digits each for the ids; the serial number is the rest
// (it may hold ':'). On a malformed text returns nothing and says why in error.
std::optional<UsbIdentity> parseUsbIdentity(const std::string& text, std::string& error);

// Whether the device carries the identity (ids in any case; the serial number exactly).
bool matchesUsb(const UsbIdentity& identity, const DeviceFacts& device);

// The device's path when exactly one device carries the identity. Paths that reach the same
// kernel device (a registry link and the node) count once. Otherwise returns empty and error
// names the USB serial devices there are, or those that match, and what to do; several is set
// when more than one matched.
std::string pickUsbDevice(const UsbIdentity& identity, const std::vector<DeviceFacts>& devices,
                          std::string& error, bool* several = nullptr);

} // namespace pmctl

#endif // PMCTL_USBIDENTITY_H
