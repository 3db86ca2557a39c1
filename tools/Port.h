// How pmctl opens, drives and closes the port: through the module's public C interface only, as
// a host application does.
#ifndef PMCTL_PORT_H
#define PMCTL_PORT_H

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pmctl {

// A failed step of a command; what() says what failed and what to do about it.
class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct PortOptions {
    std::optional<int32_t> cable; // PM_SetInfo; opens by cable type unless a device is given
    std::string device;           // PM_OpenPortByDeviceName: a path or a listed device's name
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

// Sets up the log (when asked), the cable type, opens the port and sets the receive time-out.
// Returns the path that was opened. Throws Failure.
std::string openPort(const PortOptions& options);

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
