// Where the phone's tty is: a fixed path (--tty, which may be a link such as /dev/serial/by-id/...)
// or the tty of a USB device named by vendor, product and optionally serial number (--usb), looked
// up in udev at each open, so a phone that comes back under another name is found again. A udev
// monitor tells when a tty came or went, so the daemon can try again at once.
#ifndef PM_MODEMD_TTYLOCATOR_H
#define PM_MODEMD_TTYLOCATOR_H

#include <optional>
#include <string>

struct udev;
struct udev_monitor;

namespace modemd {

struct UsbId {
    std::string vendor;  // four lower-case hex digits
    std::string product; // four lower-case hex digits
    std::string serial;  // empty: any
};

// "VID:PID[:SERIAL]" with VID and PID of 1 to 4 hex digits; nothing for anything else.
std::optional<UsbId> ParseUsbId(const std::string& text);

class TtyLocator {
  public:
    explicit TtyLocator(std::string path); // --tty
    explicit TtyLocator(UsbId id);         // --usb
    ~TtyLocator();
    TtyLocator(const TtyLocator&) = delete;
    TtyLocator& operator=(const TtyLocator&) = delete;

    // The tty to open now; empty when the USB device is not there.
    std::string Find() const;
    // What the locator looks for, for messages.
    std::string Describe() const;

    // A descriptor that becomes readable when a tty was added or removed, or -1 when udev's
    // events cannot be had (the daemon then only tries again from time to time).
    int EventFd() const;
    // Takes the waiting events; true when one of them may be the phone's tty coming back.
    bool TakeEvents();

  private:
    void StartMonitor();

    std::string m_path;
    std::optional<UsbId> m_usb;
    struct udev* m_udev = nullptr;
    struct udev_monitor* m_monitor = nullptr;
};

} // namespace modemd

#endif
