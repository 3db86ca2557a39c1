// The serial device registry: which serial devices the system has, each with its terminal name
// and the callout path that is opened. Read afresh at every query; nothing is kept between calls.
#ifndef PM_STD_MAC_PLATFORM_SERIALREGISTRY_H
#define PM_STD_MAC_PLATFORM_SERIALREGISTRY_H

#include <optional>
#include <string>
#include <vector>

// One serial device as the registry reports it. A property the registry lacks is empty (nullopt);
// whether a present property fits the caller's buffers is the caller's concern.
struct SerialRegistryDevice {
    std::optional<std::string> ttyDevice;     // terminal name, no directory ("usbmodem1411")
    std::optional<std::string> calloutDevice; // full path of the device to open
};

// The serial devices in a stable order, or nullopt when the registry cannot be read.
//
// If PM_SERIAL_REGISTRY is set (and not empty), it names a directory standing in for the
// registry: every entry whose name does not begin with '.' is a device, in bytewise name order,
// with the entry's name as terminal name and "<directory>/<name>" as callout path. A directory
// that cannot be read is a failed query, so a test never sees the machine's real devices.
//
// Otherwise the system's real serial ports are listed (see RealTtyName for the names).
std::optional<std::vector<SerialRegistryDevice>> QuerySerialRegistry() noexcept;

// What the kernel's device registry says about one tty, as far as its naming needs.
struct TtyFacts {
    std::string kernelName;              // "ttyACM0"
    bool hasDevice = false;              // backed by a device (not a virtual terminal)
    std::optional<std::string> portType; // serial core "type" attribute; "0" means no UART
    std::string deviceSubsystem;         // subsystem of the backing device: "usb-serial", "pnp"
    std::string usbInterfaceDriver;      // driver of the enclosing USB interface: "cdc_acm"
    std::string usbInterfaceClass;       // its bInterfaceClass, hex: "02"
    std::string usbInterfaceNumber;      // its bInterfaceNumber, hex: "00"
    std::string usbSerial;               // serial number string of the USB device
    std::string usbPort;                 // kernel name of the USB device: "1-1.2"
};

// The terminal name a real tty gets, or nullopt for a tty that is no serial port:
// - no backing device (virtual consoles, ptmx, pseudo-terminals): not listed;
// - a serial-core port of type "0" (a placeholder such as ttyS1 with no UART behind it): not
//   listed;
// - a port of a USB-serial converter (backing device in "usb-serial"):
//   "usbserial-" + serial number, or "usbserial-" + kernel name when the serial number is empty;
// - a tty on a USB interface bound to "cdc_acm" or of interface class 02 (communications):
//   "usbmodem" + serial number (or, without one, the digits of the USB port) + interface number
//   in decimal;
// - any other port: its kernel name.
// Serial numbers keep only their ASCII letters and digits, at most 64 of them.
std::optional<std::string> RealTtyName(const TtyFacts& facts);

#endif
