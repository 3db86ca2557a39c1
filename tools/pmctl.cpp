// pmctl: the command-line tool of the phone port module. It drives libportmdl.so through its
// public C interface, as a host application does, and reads the module's communication logs.
#include <algorithm>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <regex>

#include <CLI/CLI.hpp>

#include "CableTypes.h"
#include "Commands.h"
#include "Devices.h"
#include "Modem.h"
#include "portmdl/PortMdl.h"

namespace {

constexpr int kUsageError = 2;

void addPortOptions(CLI::App* command, pmctl::PortOptions& port, int32_t& cable,
                    std::string& usb)
{
    auto* device = command->add_option("--device,-d", port.device,
                        "serial device to open (PM_OpenPortByDeviceName): a path, or the name of "
                        "a device that 'pmctl list' shows");
    command
        ->add_option("--usb,-u", usb,
                     "the serial device with this USB identity VID:PID[:SERIAL] (hex ids, as "
                     "'pmctl list -v' shows them), found through udev; instead of --device")
        ->excludes(device);
    command->add_option("--cable,-c", cable,
                        "cable type (PM_SetInfo); without --device the port is opened by cable "
                        "type (PM_OpenPort)");
    command->add_option("--log,-l", port.logFolder,
                        "log the communication into this folder (PM_Log_SetUserInfo); read it "
                        "with 'pmctl log FOLDER'");
    command->add_option("--phone-id", port.phoneId, "the phone's identification for the log")
        ->default_str(port.phoneId);
    command
        ->add_option("--timeout,-t", port.rxTimeout,
                     "receive time-out in ms, set right after opening (PM_SetRxTimeout); the "
                     "module starts reading about 0.5 s after the port opens, so the first answer "
                     "needs more than that")
        ->default_str(std::to_string(port.rxTimeout));
}

// pmctl's version, and the library it actually loaded: another libportmdl.so found first on the
// loader's path explains many a surprise.
std::string versionText()
{
    std::string text = "pmctl " PORTMDL_VERSION_STRING;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&PM_OpenPort), &info) != 0 && info.dli_fname != nullptr) {
        char* real = ::realpath(info.dli_fname, nullptr);
        text += std::string("\nlibrary: ") + (real != nullptr ? real : info.dli_fname);
        std::free(real);
    }
    return text;
}

// A mistyped address is wrong usage, found before anything is opened.
CLI::Validator bluetoothAddressCheck()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            static const std::regex form("([0-9A-Fa-f]{2}:){5}[0-9A-Fa-f]{2}");
            if (std::regex_match(text, form))
                return {};
            return "'" + text + "' is no Bluetooth address: give six hex pairs, AA:BB:CC:DD:EE:FF";
        },
        "ADDRESS");
}

std::string portFooter(const char* example)
{
    return std::string("Open the port with --device PATH, --usb VID:PID[:SERIAL] or --cable "
                       "TYPE.\n") +
           pmctl::cableTypesHelp() + "\n\nExample:\n  " + example;
}

} // namespace

int main(int argc, char** argv)
{
    // Named, so that help and the man page say "pmctl", not the path it was started by.
    CLI::App app{"pmctl: talk to a phone through the port module (libportmdl.so), list serial "
                 "devices, read communication logs.", "pmctl"};
    app.require_subcommand(1);
    app.set_version_flag("--version", versionText(), "print pmctl's version and the library it uses");
    app.footer("Every command takes --help. Exit status: 0 done, 1 a port operation or file "
               "failed (or a stop signal ended a port command), 2 wrong usage.\nTry 'pmctl demo' for a whole session against a simulated "
               "cable.");

    pmctl::PortOptions port;
    int32_t cable = 0;
    std::string usbText;
    double waitSeconds = 0;
    bool termWait = false;

    auto* list = app.add_subcommand(
        "list", "list the serial devices and the modem driver services the module sees");
    bool verbose = false;
    list->add_flag("--verbose,-v", verbose,
                   "also each device's terminal name, kernel name, USB ids, serial number, "
                   "driver, and the cable types that open it");
    std::string filterText;
    list->add_option("--filter,-f", filterText,
                     "only the devices whose name this regular expression finds (with -v also "
                     "those whose terminal name, kernel name, USB ids, maker, product, serial "
                     "number or driver it finds); each keeps its index");
    list->add_option("--usb,-u", usbText,
                     "only the devices with this USB identity VID:PID[:SERIAL], listed as with -v");
    list->footer("Uses PM_CountDevices and PM_GetDeviceName. When the environment variable\n"
                 "PM_SERIAL_REGISTRY names a folder, its entries (for example links to\n"
                 "pseudo-terminals) are the serial devices instead of the system's.\n"
                 "Then the user-client services: the entries of PM_USERCLIENT_DIR (default\n"
                 "/run/portmdl/services) and whether a driver listens on each; cable type 5\n"
                 "opens ORVUDSCDMADriver.\n\n"
                 "Examples:\n  pmctl list -v\n  pmctl list --filter 'usbmodem|ttyACM'\n"
                 "  pmctl list --usb 22b8:4902\n"
                 "  PM_SERIAL_REGISTRY=~/devs PM_USERCLIENT_DIR=~/plane pmctl list");

    std::vector<std::string> stepWords;
    auto* talk = app.add_subcommand(
        "talk", "open a port, carry out the steps given on the command line, print what came "
                "back, close");
    addPortOptions(talk, port, cable, usbText);
    const char* waitHelp = "wait up to SECONDS for the device to be there and open before "
                           "opening it (a phone being plugged in)";
    talk->add_option("--wait,-w", waitSeconds, waitHelp)->check(CLI::NonNegativeNumber);
    talk->add_option("steps", stepWords, "the steps, in order (below)");
    talk->footer(std::string(pmctl::stepsHelp()) + "\n\n" +
                 portFooter("pmctl talk --device /dev/ttyACM0 --log /tmp/pmlog/ send 'AT\\r' "
                            "recvall"));

    pmctl::TermOptions term;
    auto* termCmd = app.add_subcommand("term", "an interactive serial terminal on the port");
    addPortOptions(termCmd, port, cable, usbText);
    termCmd->add_flag("--wait,-w", termWait,
                      "wait for the device to be there, and when it is unplugged, wait for it "
                      "to come back and reconnect with the line settings as you left them");
    termCmd->add_option("--eol", term.eol, "what Enter sends: cr, lf or crlf")
        ->check(CLI::IsMember({"cr", "lf", "crlf"}))
        ->default_str(term.eol);
    termCmd->add_flag("--echo", term.echo, "show what you type");
    termCmd->add_flag("--hex", term.hex, "show received bytes as a hex dump");
    termCmd
        ->add_option("--speed,-b", term.speed,
                     "line speed in bit/s: any rate the device can run at, such as 115200, "
                     "250000 or 1000000 (the modem port: 600 2400 9600 14400 19200 38400 57600 "
                     "115200 230400; default: as the port opened, 600)")
        ->check(CLI::PositiveNumber);
    termCmd->add_option("--parity", term.parity, "none, odd or even (default: as the port opened)")
        ->check(CLI::IsMember({"none", "odd", "even"}));
    termCmd
        ->add_option("--flow", term.flow,
                     "none, rts-cts (hardware, serial ports) or xon-xoff (the line's driver "
                     "stops our sending at the phone's XOFF; on the modem port pmctl does)")
        ->check(CLI::IsMember({"none", "rts-cts", "xon-xoff"}))
        ->default_str(term.flow);
    termCmd->footer("Keys go to the phone as they are typed (a line at a time when standard\n"
                    "input is not a terminal); received bytes are printed. The first line shows\n"
                    "the line settings. Ctrl-A then a key is a command:\n"
                    "  u / d  speed up / down      t  toggle DTR      r  toggle RTS\n"
                    "  s  send a file (progress on standard error)    x  hex view on/off\n"
                    "  i  line settings    h  the commands    q  quit    Ctrl-A  send Ctrl-A\n"
                    "Ctrl-] also quits.\n\n" +
                    portFooter("pmctl term --device /dev/ttyUSB0 --speed 250000 --flow rts-cts"));

    auto* cableInfo = app.add_subcommand(
        "cable-info", "ask the serial cable for its three identification numbers");
    addPortOptions(cableInfo, port, cable, usbText);
    cableInfo->add_option("--wait,-w", waitSeconds, waitHelp)->check(CLI::NonNegativeNumber);
    cableInfo->footer("Uses PM_IsChargableCable on the open port: an AT dialogue of about\n"
                      "4 seconds.\n\n" +
                      portFooter("pmctl cable-info --cable 1002"));

    std::string chargeState;
    auto* charge = app.add_subcommand("charge", "switch the phone's charging on or off");
    addPortOptions(charge, port, cable, usbText);
    charge->add_option("--wait,-w", waitSeconds, waitHelp)->check(CLI::NonNegativeNumber);
    charge->add_option("state", chargeState, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    charge->footer("Uses PM_ChargeEnable / PM_ChargeDisable on the open port: an AT dialogue\n"
                   "of about 6 seconds.\n\n" +
                   portFooter("pmctl charge on --device /dev/ttyACM0"));

    std::string logPath;
    bool records = false;
    auto* log = app.add_subcommand("log", "print a communication log as a readable transcript");
    log->add_option("FILE_OR_FOLDER", logPath,
                    "the log folder (PM_LOG.dat, PM_LOG.tmp), or one log file")
        ->required();
    log->add_flag("--records", records,
                  "print the decoded record text as the module wrote it, traffic still "
                  "scrambled");
    bool html = false;
    bool json = false;
    std::string htmlOutput;
    auto* htmlFlag = log->add_flag("--html", html,
                                   "write one self-contained HTML page instead: a timeline of each "
                                   "communication")
                         ->excludes("--records");
    log->add_flag("--json", json,
                  "print one JSON object per line for each event instead (JSON Lines), for "
                  "scripts")
        ->excludes("--records")
        ->excludes("--html");
    log->add_option("--output,-o", htmlOutput,
                    "with --html: where the page goes: a file (written whole, then put in "
                    "place), a terminal, FIFO or /dev/null (written through), or - for "
                    "standard output (the default); nothing else is replaced")
        ->needs(htmlFlag);
    log->footer("Decodes the rolling log (Base64, byte halves swapped) and the scrambled\n"
                "traffic, and prints each communication: banners, sends (SD>) and receives\n"
                "(RD<) as hex and ASCII, response times, pauses, time-outs, line and speed\n"
                "changes, comments and the closing summary. Damaged lines are reported with\n"
                "their line number and skipped (lines starting '!'); text that is no known\n"
                "record starts with '?'.\n\n"
                "--html writes the same log as one HTML page that needs no network and no\n"
                "other file: sends on the left, replies on the right, pauses drawn to scale,\n"
                "time-outs and errors in red; a click on a send or reply shows its hex dump.\n\n"
                "--json prints the same events as JSON Lines: one object per line, its kind\n"
                "in \"event\" (send, receive, pause, timeout, close, ...).\n\n"
                "Examples:\n  pmctl log ~/customer-logs/\n"
                "  pmctl log --html -o session.html ~/customer-logs/PM_LOG.dat\n"
                "  pmctl log --json ~/customer-logs/ | grep '\"timeout\"'");

    pmctl::BluetoothOptions bt;
    std::vector<std::string> btStepWords;
    auto* btCmd = app.add_subcommand("bt", "list a phone's Bluetooth channels, talk over one");
    btCmd->require_subcommand(1);
    auto* btList = btCmd->add_subcommand("list", "list the usable RFCOMM channels of a phone");
    auto* btDevices = btCmd->add_subcommand(
        "devices", "the devices BlueZ knows, paired or not (the phones 'bt list' can reach)");
    auto* btTalk = btCmd->add_subcommand(
        "talk", "open one of the phone's channels and carry out the steps, as 'pmctl talk' does");
    for (CLI::App* c : {btList, btTalk}) {
        c->add_option("--address,-a", bt.address,
                      "the phone's address AA:BB:CC:DD:EE:FF; without it the device selector "
                      "panel picks one")
            ->check(bluetoothAddressCheck());
        c->add_option("--log,-l", bt.logFolder,
                      "log into this folder (PM_Log_SetUserInfo); read it with 'pmctl log'");
        c->add_option("--phone-id", bt.phoneId, "the phone's identification for the log")
            ->default_str(bt.phoneId);
    }
    btTalk->add_option("--channel,-n", bt.channel, "the channel's number in 'pmctl bt list'")
        ->required();
    btTalk
        ->add_option("--timeout,-t", bt.rxTimeout,
                     "how long a 'recv' step waits for its bytes, in ms (the module's Bluetooth "
                     "receive takes only bytes that have already arrived)")
        ->default_str(std::to_string(bt.rxTimeout));
    btTalk->add_option("steps", btStepWords, "the steps, in order (see 'pmctl talk --help')");
    btCmd->footer(
        "Uses PM_CountBluetoothChannels (an SDP query, then a 2 s pause after the\n"
        "connection closes) and PM_OpenBluetoothChannel. A channel is usable when its\n"
        "service has one of the known serial or dial-up names. The environment variable\n"
        "PM_BLUETOOTH_SIM may name a simulated world (docs/bluetooth.md).\n\n"
        "Examples:\n  pmctl bt list --address 00:1B:DC:0F:4A:21\n"
        "  pmctl bt talk --address 00:1B:DC:0F:4A:21 --channel 0 send 'AT\\r' recv 6");

    bool keep = false;
    auto* demo = app.add_subcommand(
        "demo", "a whole session against a simulated cable on a pseudo-terminal, then short ones "
                "against a simulated modem driver and a simulated Bluetooth phone, and their log");
    demo->add_flag("--keep", keep, "keep the temporary folder with the log and print its path");
    demo->footer("Needs no hardware and no root. Plays a phone's cable on a pseudo-terminal,\n"
                 "points PM_SERIAL_REGISTRY at it and does what a host does: log folder, cable\n"
                 "type 1002, device list, open, speed, an AT exchange, cable info, charge on\n"
                 "and off, close; then cable type 5 against a simulated modem driver (open,\n"
                 "an exchange, close); then lists and opens a simulated phone's Bluetooth\n"
                 "channel and exchanges AT commands over it; then prints the decoded log and\n"
                 "writes its HTML page ($TMPDIR/pmctl-session-XXXXXX.html, kept). Takes about\n"
                 "25 seconds.");

    if (argc == 1) {
        // No command: what there is to do.
        std::cout << app.help();
        return kUsageError;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help, --version
        CLI::App* used = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
        std::string where = used ? "pmctl " + used->get_name() : "pmctl";
        std::vector<std::string> extras = used ? used->remaining() : app.remaining();
        if (!extras.empty() && extras.front().rfind("-", 0) == 0) {
            std::cerr << where << ": unknown option " << extras.front() << "\n";
            if (used == talk) {
                std::cerr << "A step argument that begins with '-' needs \"--\" before the "
                             "first step: pmctl talk --device PATH -- send -x\n";
            }
        } else if (!extras.empty() && used == nullptr) {
            std::cerr
                << "pmctl: unknown command '" << extras.front()
                << "'; the commands are list, talk, term, cable-info, charge, log, bt, demo\n";
        } else if (used == nullptr && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
            std::cerr << "pmctl: say which command: list, talk, term, cable-info, charge, log, bt, "
                         "demo\n";
        } else {
            std::cerr << where << ": " << e.what() << "\n";
        }
        std::cerr << "Run '" << where << " --help' for more.\n";
        return kUsageError;
    }

    try {
        auto* used = app.get_subcommands().front();
        if (const CLI::Option* opt = used->get_option_no_throw("--cable");
            opt != nullptr && opt->count() != 0)
            port.cable = cable;
        if (!usbText.empty()) {
            std::string error;
            port.usb = pmctl::parseUsbIdentity(usbText, error);
            if (!port.usb) {
                std::cerr << "pmctl " << used->get_name() << ": --usb " << error << "\n";
                return kUsageError;
            }
        }
        if (const CLI::Option* opt = used->get_option_no_throw("--wait");
            opt != nullptr && opt->count() != 0) {
            port.wait = used == termCmd ? pmctl::kWaitUntilStopped
                                        : std::chrono::milliseconds(
                                              static_cast<int64_t>(waitSeconds * 1000 + 0.5));
        }
        if (used == list) {
            std::optional<std::regex> filter;
            if (!filterText.empty()) {
                try {
                    filter.emplace(filterText, std::regex::ECMAScript);
                } catch (const std::regex_error& e) {
                    std::cerr << "pmctl list: --filter '" << filterText
                              << "' is no regular expression: " << e.what() << "\n";
                    return kUsageError;
                }
            }
            const std::regex* wanted = filter ? &*filter : nullptr;
            const pmctl::UsbIdentity* usb = port.usb ? &*port.usb : nullptr;
            int status = verbose || usb ? pmctl::runListVerbose(wanted, usb)
                                        : pmctl::runList(wanted);
            return std::max(status, pmctl::runListServices());
        }
        if (used == log) {
            if (json)
                return pmctl::runLogJson(logPath);
            return html ? pmctl::runLogHtml(logPath, htmlOutput) : pmctl::runLog(logPath, records);
        }
        if (used == btCmd) {
            pmctl::catchStopSignals();
            if (btList->parsed())
                return pmctl::runBluetoothList(bt);
            if (btDevices->parsed())
                return pmctl::runBluetoothDevices();
            std::vector<pmctl::Step> steps;
            std::string error;
            if (!pmctl::parseSteps(btStepWords, steps, error)) {
                std::cerr << "pmctl bt talk: " << error << "\n";
                return kUsageError;
            }
            return pmctl::runBluetoothTalk(bt, steps);
        }
        if (used == demo) {
            pmctl::catchStopSignals();
            return pmctl::runDemo(keep);
        }
        if (port.device.empty() && !port.usb && !port.cable) {
            std::cerr << "pmctl " << used->get_name()
                      << ": say which port: --device PATH (see 'pmctl list'), --usb VID:PID or "
                         "--cable TYPE (see 'pmctl "
                      << used->get_name() << " --help')\n";
            return kUsageError;
        }
        if (port.device.empty() && !port.usb && port.wait && *port.cable == pmctl::kModemCable) {
            std::cerr << "pmctl " << used->get_name()
                      << ": --wait waits for a serial device; cable type 5 opens the modem "
                         "driver, which waits for its phone itself\n";
            return kUsageError;
        }
        if (port.device.empty() && !port.usb && !pmctl::knownCableType(*port.cable)) {
            std::cerr << "pmctl " << used->get_name() << ": cable type " << *port.cable
                      << " cannot be opened by type; the types are 3 4 5 8 1002 1003 1004 (see "
                         "--help), or add --device PATH to open a device with that cable type\n";
            return kUsageError;
        }
        pmctl::catchStopSignals();
        if (used == talk) {
            std::vector<pmctl::Step> steps;
            std::string error;
            if (!pmctl::parseSteps(stepWords, steps, error)) {
                std::cerr << "pmctl talk: " << error << "\n";
                return kUsageError;
            }
            return pmctl::runTalk(port, steps);
        }
        if (used == termCmd)
            return pmctl::runTerm(port, term);
        if (used == cableInfo)
            return pmctl::runCableInfo(port);
        if (used == charge)
            return pmctl::runCharge(port, chargeState == "on");
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "pmctl: " << e.what() << "\n";
        return 1;
    }
    return kUsageError;
}
