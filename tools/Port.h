// How pmctl opens, drives and closes the port: through the module's public C interface only, as
// a host application does.
#ifndef PMCTL_PORT_H
#define PMCTL_PORT_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "UsbIdentity.h"

namespace pmctl {

// A failed step of a command; what() says what failed and what to do about it.
class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A wait for the device that a stop signal or the user's quit key ended.
class Stopped : public Failure {
  public:
    using Failure::Failure;
};

// How long to wait for a device that is not there (yet): until a stop.
inline constexpr std::chrono::milliseconds kWaitUntilStopped = std::chrono::milliseconds::max();

struct PortOptions {
    std::optional<int32_t> cable; // PM_SetInfo; opens by cable type unless a device is given
    std::string device;           // PM_OpenPortByDeviceName: a path or a listed device's name
    std::optional<UsbIdentity> usb; // instead of device: the one device with this USB identity
    // Wait up to this long for the device to be there and open before opening it.
    std::optional<std::chrono::milliseconds> wait;
    std::string logFolder;        // PM_Log_SetUserInfo when not empty
    std::string phoneId = "pmctl";
    uint32_t rxTimeout = 1000; // PM_SetRxTimeout right after opening
};

// The cable types that PM_OpenPort knows, with the device each one looks for.
std::string cableTypesHelp();
bool knownCableType(int32_t type);

// "3 (PM_ERR_TIMEOUT: ...)" for a module error code.
std::string moduleErrorText(int32_t code);

// A failure of function, with the module's error code and a hint.
Failure moduleFailure(const std::string& what, const std::string& hint = "");

// Sets up the log (when asked), the cable type, waits for the device when asked, opens the port
// and sets the receive time-out. Returns the path that was opened (empty for an open by cable
// type). Throws Failure; Stopped when a stop signal or quit() ended the wait.
// While the device is missing: says so once through say (on standard error without it).
std::string openPort(const PortOptions& options, const std::function<bool()>& quit = {},
                     const std::function<void(const std::string&)>& say = {});

// Whether the open serial port's device hung up (unplugged, its simulator gone); false for a
// port without a descriptor of its own (the modem driver's, a Bluetooth channel).
bool portHungUp();

// What the options name, for messages: "/dev/ttyACM0", "the USB device 22b8:4902", ...
std::string deviceDescription(const PortOptions& options);

// Waits (see PortOptions::wait) until the device the options name is there and the system opens
// it (opened and closed at once, without the module); returns its path. Throws Failure when the
// wait ends first (naming what is missing or why it does not open), or when the USB identity
// names several devices; Stopped on a stop signal or when quit() says so. When the device is
// not there at once, say is told what pmctl waits for.
std::string waitForDevice(const PortOptions& options, std::chrono::milliseconds wait,
                          const std::function<bool()>& quit,
                          const std::function<void(const std::string&)>& say);

// Closes the port; throws Failure when the module reports an error.
void closePort();

// Closes the port when it goes out of scope without closePort() (a failed step).
class PortGuard {
  public:
    PortGuard() = default;
    ~PortGuard();
    PortGuard(const PortGuard&) = delete;
    PortGuard& operator=(const PortGuard&) = delete;
    void close(); // closePort(), once
    // The port was closed (true) or opened again (false) by the caller itself.
    void setClosed(bool closed) { m_open = !closed; }
    bool isClosed() const { return !m_open; }
  private:
    bool m_open = true;
};

// Runs work; while it runs, and only when standard error is a terminal, shows a spinner with the
// elapsed seconds and label on standard error. The work runs on a worker thread then; the caller
// makes no other module call meanwhile.
int32_t withProgress(const std::string& label, const std::function<int32_t()>& work);

// The serial devices the module sees: PM_CountDevices / PM_GetDeviceName.
std::vector<std::string> listDevices();

// From now on Ctrl-C (SIGINT), SIGTERM and SIGHUP only ask the command to stop: it stops after
// the module call in progress, so that the port is closed, the log saved and temporary files
// removed. A second signal ends the program at once.
void catchStopSignals();
bool stopRequested();
// Throws Failure when a stop was asked for.
void stopIfRequested();

} // namespace pmctl

#endif // PMCTL_PORT_H
