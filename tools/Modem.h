// pmctl's side of the USB modem cable (type 5): the driver services of the plane, the hint for a
// failed open, and the modem part of the demo.
#ifndef PMCTL_MODEM_H
#define PMCTL_MODEM_H

#include <filesystem>
#include <functional>
#include <string>

namespace pmctl {

// The plane folder the module searches for drivers: PM_USERCLIENT_DIR, else the default.
std::string userClientDir();

// Prints the plane's entries and whether a driver listens on each; 0, or 1 when the folder
// exists but cannot be read.
int runListServices();

// What to do when cable type 5 does not open.
std::string modemOpenHint();

// The demo's modem part: a simulated driver in a plane under scratch, cable type 5 opened, an
// exchange, closed. step announces each step.
void runModemDemo(const std::filesystem::path& scratch,
                  const std::function<void(const std::string&)>& step);

} // namespace pmctl

#endif // PMCTL_MODEM_H
