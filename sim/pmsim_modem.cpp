// pmsim-modem: plays a phone modem's USB driver in the service plane until SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Escapes.h"
#include "ModemDriverSim.h"
#include "StopSignals.h"
#include "portmdl/PortMdl.h"

namespace {

const char kHelp[] = R"(usage: pmsim-modem [options]

Plays a phone modem's USB driver for cable type 5: listens on the socket
DIR/NAME of the service plane, serves the modem's methods (selectors 0 to 8)
and puts a phone behind them. Prints the socket's path on the first line of
standard output, then serves until SIGINT or SIGTERM (the socket is removed
then). The module finds the driver through PM_USERCLIENT_DIR.

The phone:
  --echo               every byte written comes back
  --reply REQ=REPLY    answer REQ with REPLY (may be repeated)
  --id REPLY           the whole reply to "AT!CCHK" after "+++"
  Texts take the escapes of pmctl: \r \n \t \0 \a \b \f \v \e \\ \" \' and \xNN.
  Without --echo or --reply the phone takes the bytes and answers nothing but
  the AT commands of its command mode ("+++", AT, AT!CCHK, AT!CON, AT!COFF,
  at%z).

The plane:
  --dir DIR            the plane folder (default: $PM_USERCLIENT_DIR, else
                       /run/portmdl/services); created when missing
  --name NAME          the class the driver serves (default ORVUDSCDMADriver)

Faults (SEL is a selector 0..8; each may be repeated for other selectors):
  --fail SEL[=RESULT]  answer SEL with RESULT (default 0xE00002BC)
  --delay SEL=MS       answer SEL MS milliseconds late
  --malformed SEL      answer SEL with 8 bytes only (tag and result)
  --oversize SEL       answer SEL with a structure larger than expected
  --wrong-tag SEL      answer SEL with a tag the client never sent
  --silent SEL         never answer SEL
  --claim N            read replies claim N bytes, whatever they carry
  --read-wait MS       how long a read request waits for the phone (50)
  --die-after N        die (exit 3, socket file left behind) at the N-th
                       request, without answering it

  --help               this text
  --version            the version

Examples:
  plane=$(mktemp -d)    # a folder of the user's own: the module trusts no other
  pmsim-modem --dir "$plane" --reply 'AT\r=\r\nOK\r\n' &
  PM_USERCLIENT_DIR=$plane pmctl talk --cable 5 send 'AT\r' recvall

  pmsim-modem --dir "$plane" --echo --delay 4=200    # slow writes
  pmsim-modem --dir "$plane" --fail 0                # refuses the open
  pmsim-modem --dir "$plane" --echo --die-after 100  # dies in use
)";

bool Number(const std::string& text, unsigned long max, unsigned long* value)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    *value = std::strtoul(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && *value <= max && text[0] != '-';
}

int Usage(const std::string& why)
{
    std::fprintf(stderr, "pmsim-modem: %s\nTry 'pmsim-modem --help'.\n", why.c_str());
    return 2;
}

// Undoes the escapes in text; false with error for a bad escape.
bool Unescape(const std::string& text, std::string& bytes, std::string& error)
{
    std::vector<uint8_t> out;
    if (!escapes::unescape(text, out, error))
        return false;
    bytes.assign(out.begin(), out.end());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    using pmsim::ModemDriverSim;
    const char* env = std::getenv("PM_USERCLIENT_DIR");
    std::string dir = env != nullptr && *env ? env : "/run/portmdl/services";
    std::string name = ModemDriverSim::kClassName;
    struct Setting {
        std::string option, value;
    };
    std::vector<Setting> settings;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::puts("pmsim-modem " PORTMDL_VERSION_STRING);
            return 0;
        }
        if (arg == "--echo") {
            settings.push_back({arg, ""});
            continue;
        }
        if (i + 1 >= argc) {
            return Usage("unknown option or missing value: " + arg);
        }
        std::string value = argv[++i];
        if (arg == "--dir") {
            dir = value;
        } else if (arg == "--name") {
            name = value;
        } else {
            settings.push_back({arg, value});
        }
    }

    // Blocked before the driver's thread starts, so only the wait below takes them.
    const sigset_t stopSignals = BlockStopSignals();
    try {
        ModemDriverSim driver(dir, name);
        for (const Setting& s : settings) {
            std::string sel = s.value, rest;
            if (std::size_t eq = s.value.find('='); eq != std::string::npos) {
                sel = s.value.substr(0, eq);
                rest = s.value.substr(eq + 1);
            }
            unsigned long selector = 0, number = 0;
            bool selectorOk = Number(sel, 0xFFFFFFFFul, &selector);
            if (s.option == "--echo") {
                driver.SetEcho(true);
            } else if (s.option == "--reply") {
                if (s.value.find('=') == std::string::npos || sel.empty()) {
                    return Usage("--reply wants REQUEST=REPLY");
                }
                std::string request, reply, error;
                if (!Unescape(sel, request, error) || !Unescape(rest, reply, error)) {
                    return Usage("--reply: " + error);
                }
                driver.AddReply(std::move(request), std::move(reply));
            } else if (s.option == "--id") {
                std::string reply, error;
                if (!Unescape(s.value, reply, error)) {
                    return Usage("--id: " + error);
                }
                driver.SetIdentification(std::move(reply));
            } else if (s.option == "--fail" && selectorOk &&
                       (rest.empty() || Number(rest, 0xFFFFFFFFul, &number))) {
                driver.SetFault(static_cast<uint32_t>(selector), ModemDriverSim::Fault::Fail,
                                rest.empty() ? ModemDriverSim::kError
                                             : static_cast<int32_t>(number));
            } else if (s.option == "--delay" && selectorOk && Number(rest, 600000, &number)) {
                driver.SetDelay(static_cast<uint32_t>(selector),
                                std::chrono::milliseconds(number));
            } else if ((s.option == "--malformed" || s.option == "--oversize" ||
                        s.option == "--wrong-tag" || s.option == "--silent") &&
                       selectorOk && rest.empty()) {
                auto fault = s.option == "--malformed"  ? ModemDriverSim::Fault::Malformed
                             : s.option == "--oversize" ? ModemDriverSim::Fault::Oversize
                             : s.option == "--wrong-tag" ? ModemDriverSim::Fault::WrongTag
                                                         : ModemDriverSim::Fault::Silent;
                driver.SetFault(static_cast<uint32_t>(selector), fault);
            } else if (s.option == "--claim" && Number(s.value, 0xFFFFFFFFul, &number)) {
                driver.SetClaimedCount(static_cast<uint32_t>(number));
            } else if (s.option == "--read-wait" && Number(s.value, 600000, &number)) {
                driver.SetReadWait(std::chrono::milliseconds(number));
            } else if (s.option == "--die-after" && Number(s.value, 0xFFFFFFFFul, &number) &&
                       number > 0) {
                driver.DieAfter(static_cast<unsigned>(number));
            } else {
                return Usage("bad option or value: " + s.option + " " + s.value);
            }
        }
        std::printf("%s\n", driver.SocketPath().c_str());
        std::fflush(stdout);
        const timespec tick = {0, 100 * 1000 * 1000};
        while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
            if (driver.Dead()) {
                std::fprintf(stderr, "pmsim-modem: died as told\n");
                return 3;
            }
        }
        std::fprintf(stderr, "pmsim-modem: received %zu bytes\n", driver.Received().size());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pmsim-modem: %s\n", e.what());
        return 1;
    }
}
