// What pmctl tells about serial devices beyond the module's list of paths: the details of
// `pmctl list -v`, which device a cable type opens, and the system's reason when an open fails.
#ifndef PMCTL_DEVICES_H
#define PMCTL_DEVICES_H

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace pmctl {

struct DeviceFacts {
    std::string callout;      // the path the module opens (PM_GetDeviceName)
    std::string terminalName; // the name the cable types look for ("usbmodem123450")
    std::string kernelName;   // "ttyACM0"; empty when the path is no character device
    std::string usbVendor, usbProduct; // hex ids, "04e8"
    std::string manufacturer, product, serial;
    std::string driver;          // of the USB interface, or of the device
    std::string interfaceNumber; // of the USB interface, hex
    std::vector<std::string> byIdLinks; // udev's /dev/serial/by-id links to the device
    std::vector<int32_t> cableTypes; // the cable types whose PM_OpenPort opens this device
};

// The devices the module lists, in its order, each with what the system says about it.
std::vector<DeviceFacts> describeDevices();

// The device PM_OpenPort would open for cableType (empty when it finds none; cable type 5 opens
// no serial device), and how many devices carry the name it looks for.
struct CablePick {
    std::string callout;
    int matches = 0;
};
CablePick deviceForCable(int32_t cableType);

// The system's reason why path cannot be opened as a serial port ("no such file", "permission
// denied", "busy", "not a terminal", "a folder"), with what to do; empty when it opens now.
std::string openFailureReason(const std::string& path);

// After the module accepted a change of RTS or DTR (tiocmBit TIOCM_RTS or TIOCM_DTR): why the
// open serial port does not show the line as asked, or empty when it does or cannot be asked.
// The module reports success for a change the device refused.
std::string lineChangeRefusal(int tiocmBit, bool on);

// What 'pmctl list' (with or without -v) says when the module lists no device.
inline constexpr char kNoSerialDevices[] = "no serial devices found: plug a phone's cable in, or "
                                           "set PM_SERIAL_REGISTRY to a folder of links to devices\n";

struct UsbIdentity;

// pmctl list -v: the devices the filter finds (all without one) that carry the identity (all
// without one).
int runListVerbose(const std::regex* filter, const UsbIdentity* usb);

// The path of the one device that carries the identity, or empty with what is wrong in error.
std::string findUsbDevice(const UsbIdentity& identity, std::string& error, bool* several = nullptr);

} // namespace pmctl

#endif // PMCTL_DEVICES_H
