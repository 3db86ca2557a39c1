// portmdl-modemd: the phone modem driver for cable type 5 on Linux. Serves the modem's methods in
// the service plane with the phone's tty (driven by the kernel's cdc-acm) behind them.
#include <CLI/CLI.hpp>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <thread>

#include "ModemDaemon.h"
#include "StopSignals.h"
#include "TtyLocator.h"

namespace {

const char kDescription[] = R"(Serves a phone's modem to portmdl's cable type 5: listens on the socket
PLANE/ORVUDSCDMADriver and carries the modem methods to the phone's tty. One
client at a time, and only root, the daemon's user and members of the group
it serves may be clients. A phone that goes away makes calls fail until it is
back. Logs to standard error (the journal under systemd). Stops on SIGINT or SIGTERM.)";

const char kFooter[] = R"(
Examples:
  portmdl-modemd --tty /dev/ttyACM0
  portmdl-modemd --tty /dev/serial/by-id/usb-...-if00 --plane ~/plane
  portmdl-modemd --usb 1234:5678            # the phone's tty found through udev
  portmdl-modemd --usb 1234:5678:SN0042     # one phone among several alike)";

void LogLine(const std::string& line)
{
    std::fprintf(stderr, "portmdl-modemd: %s\n", line.c_str());
}

// A group given by name or number.
std::optional<gid_t> GroupNamed(const std::string& text)
{
    unsigned long number = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size() &&
        number < static_cast<gid_t>(-1)) {
        return static_cast<gid_t>(number);
    }
    group g{};
    group* found = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(text.c_str(), &g, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        return found->gr_gid;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app(kDescription, "portmdl-modemd");
    app.footer(kFooter);
    app.set_version_flag("--version", "portmdl-modemd " PM_VERSION);
    std::string tty, usb, allowGroup;
    const char* env = std::getenv("PM_USERCLIENT_DIR");
    std::string plane = env != nullptr && *env ? env : "/run/portmdl/services";
    auto* ttyOption = app.add_option("--tty", tty, "the phone's tty (a link is followed)");
    auto* usbOption = app.add_option("--usb", usb,
                                     "the tty of the USB device VID:PID[:SERIAL] (hex ids)");
    ttyOption->excludes(usbOption);
    app.add_option("--plane", plane,
                   "the service plane folder (default $PM_USERCLIENT_DIR, else "
                   "/run/portmdl/services); created when missing");
    app.add_option("--allow-group", allowGroup,
                   "the group whose members may be clients, by name or number (default: the "
                   "tty's group, else the daemon's own)");
    try {
        app.parse(argc, argv);
        if (tty.empty() && usb.empty()) {
            throw CLI::RequiredError("--tty or --usb");
        }
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }

    std::unique_ptr<modemd::TtyLocator> locator;
    if (!usb.empty()) {
        auto id = modemd::ParseUsbId(usb);
        if (!id) {
            LogLine("--usb wants VID:PID[:SERIAL] with hex ids of up to 4 digits, not " + usb);
            return 2;
        }
        locator = std::make_unique<modemd::TtyLocator>(*id);
    } else {
        struct stat st {};
        if (stat(tty.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) {
            LogLine(tty + " is not a terminal device");
            return 2;
        }
        locator = std::make_unique<modemd::TtyLocator>(tty);
    }
    gid_t group = static_cast<gid_t>(-1);
    if (!allowGroup.empty()) {
        auto named = GroupNamed(allowGroup);
        if (!named) {
            LogLine("--allow-group: no group " + allowGroup);
            return 2;
        }
        group = *named;
    } else if (std::string found = locator->Find(); !found.empty()) {
        struct stat st {};
        if (stat(found.c_str(), &st) == 0) {
            group = st.st_gid;
        }
    }
    if (locator->EventFd() < 0) {
        LogLine("no udev events; a phone that comes back is looked for every half second");
    }

    signal(SIGPIPE, SIG_IGN); // a standard error nobody reads any more must not end the daemon
    // Blocked before the daemon's thread starts, so only the wait below takes them.
    const sigset_t stopSignals = BlockStopSignals();
    try {
        modemd::ModemDaemon::Options options;
        options.plane = plane;
        options.group = group;
        options.log = LogLine;
        modemd::ModemDaemon daemon(options, *locator);
        LogLine("serving " + daemon.SocketPath() + " for " + locator->Describe() +
                (locator->Find().empty() ? " (not there yet)" : ""));
        std::thread worker([&] {
            daemon.Run();
            kill(getpid(), SIGTERM); // a daemon that stopped on its own ends the process
        });
        int signal = 0;
        sigwait(&stopSignals, &signal);
        daemon.Stop();
        worker.join();
        LogLine("stopped");
        return 0;
    } catch (const std::exception& e) {
        LogLine(std::string("cannot serve: ") + e.what());
        return 1;
    }
}
