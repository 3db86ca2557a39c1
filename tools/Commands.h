// The commands of pmctl. Each returns the process exit status: 0 done, 1 a port operation or a
// file failed (the message is on standard error).
#ifndef PMCTL_COMMANDS_H
#define PMCTL_COMMANDS_H

#include <regex>
#include <string>
#include <vector>

#include "Port.h"
#include "Steps.h"

namespace pmctl {

// The devices, only those whose name filter finds (a search, not a whole match) when it is not
// null; each keeps the module's index.
int runList(const std::regex* filter);
int runTalk(const PortOptions& port, const std::vector<Step>& steps);
// The steps of "talk" on the open port. awaitReceives: "recv" first waits up to the receive
// time-out for its bytes (a port whose receive takes only what has already arrived).
void runSteps(const std::vector<Step>& steps, bool awaitReceives);
int runCableInfo(const PortOptions& port);
int runCharge(const PortOptions& port, bool on);
int runLog(const std::string& fileOrFolder, bool records);
// The log as an HTML page, into the file output, or to standard output when it is empty.
int runLogHtml(const std::string& fileOrFolder, const std::string& output);
// The log as JSON Lines on standard output: one object per event.
int runLogJson(const std::string& fileOrFolder);

struct TermOptions {
    std::string eol = "cr"; // what Enter (or a line feed from a pipe) sends: cr, lf or crlf
    bool echo = false;      // show typed bytes locally
    bool hex = false;       // show received bytes as a hex dump
    int32_t speed = 0;      // bit/s, any positive rate; 0: leave the line as it opened
    std::string parity;     // none, odd or even; empty: leave it
    std::string flow = "none"; // none, rts-cts or xon-xoff
};
// The common bit rates, rising, that the speed up and down commands step through.
const std::vector<int32_t>& termSpeeds();
int runTerm(const PortOptions& port, const TermOptions& options);

int runDemo(bool keep);

// pmctl bt list / bt talk (Bluetooth.cpp).
struct BluetoothOptions {
    std::string address;   // "AA:BB:CC:DD:EE:FF"; empty: the device selector panel
    int32_t channel = 0;   // bt talk: index among the listed channels
    std::string logFolder; // PM_Log_SetUserInfo when not empty
    std::string phoneId = "pmctl";
    uint32_t rxTimeout = 1000;
};
int runBluetoothList(const BluetoothOptions& options);
int runBluetoothDevices();
int runBluetoothTalk(const BluetoothOptions& options, const std::vector<Step>& steps);
// The demo's Bluetooth section: a simulated world written into folder, listed, opened, talked to.
void demoBluetooth(const std::string& folder, void (*step)(const std::string&));

} // namespace pmctl

#endif // PMCTL_COMMANDS_H
