// pmsim-cable: plays a phone's data cable on a pseudo-terminal until SIGINT or SIGTERM. Prints the
// slave device path on the first line of standard output; see --help.
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>

#include "CableSim.h"
#include "Escapes.h"
#include "StopSignals.h"
#include "portmdl/PortMdl.h"

namespace {

constexpr int kUsageError = 2;

const char* const kFooter = R"(The cable has two modes, as a phone's data cable does:
  data mode (the start): each --reply pair answers its request when the request
    arrives; with --echo every byte received comes straight back;
  command mode: "+++" with --guard ms of silence before and after it answers
    "\r\nOK\r\n"; then lines ending in CR: "AT" -> OK, "AT!CCHK" -> the --id
    reply, "AT!CON" / "AT!COFF" -> OK (charging on / off), "at%z" -> OK and back
    to data mode, anything else -> ERROR.

Texts take the escapes of pmctl: \r \n \t \0 \a \b \f \v \e \\ \" \' and \xNN.
Quote them for the shell with single quotes.

Examples:
  pmsim-cable --link /tmp/devs/usbmodem1 --reply 'AT\r=\r\nOK\r\n'
      answers "AT" + CR with OK; PM_SERIAL_REGISTRY=/tmp/devs pmctl list shows it
  pmsim-cable --echo
      returns every byte; open the printed /dev/pts/N with pmctl --device
  pmsim-cable --id '\r\n1841\r\n0002\r\n0100\r\n\r\nOK\r\n'
      the identification reply that pmctl cable-info reads (this is the default)

Stop it with Ctrl-C or kill: it removes the --link (unless something else took
its place) and prints how many bytes it received. Exit status: 0 stopped, 1 the
pseudo-terminal or the link failed, 2 wrong usage.)";

// Undoes pmctl's escapes in text; a bad escape is a usage error that names the option.
std::string Unescape(const std::string& text, const std::string& option)
{
    std::vector<uint8_t> bytes;
    std::string error;
    if (!escapes::unescape(text, bytes, error))
        throw CLI::ValidationError(option, error);
    return std::string(bytes.begin(), bytes.end());
}

// Removes the link made at start only while it is still that link: whatever took its place
// since is someone else's.
void RemoveOwnLink(const std::string& link, const std::string& target)
{
    std::string text(PATH_MAX, '\0');
    ssize_t n = readlink(link.c_str(), text.data(), text.size());
    if (n >= 0 && text.substr(0, static_cast<size_t>(n)) == target)
        unlink(link.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    // Named, so that help and the man page say "pmsim-cable", not the path it was started by.
    CLI::App app{"pmsim-cable: plays a phone's data cable on a pseudo-terminal, for pmctl and "
                 "libportmdl without a phone. Prints the terminal's path (/dev/pts/N) on the "
                 "first line, then answers until stopped.", "pmsim-cable"};
    app.set_version_flag("--version", std::string("pmsim-cable " PORTMDL_VERSION_STRING));
    app.footer(kFooter);
    std::string link, id;
    std::vector<std::string> replies;
    bool echo = false;
    int guardMs = 500;
    app.add_option("--link", link,
                   "also make PATH a symbolic link to the terminal (removed at exit), e.g. in a "
                   "PM_SERIAL_REGISTRY folder; its folder must exist and PATH must not");
    app.add_flag("--echo", echo, "data mode: send back every byte received");
    app.add_option("--id", id, "the whole reply to AT!CCHK (escapes allowed)");
    app.add_option("--reply", replies,
                   "REQUEST=REPLY: in data mode, answer REQUEST with REPLY (escapes allowed; the "
                   "first '=' separates them; repeat for more pairs)");
    app.add_option("--guard", guardMs, "the silence around \"+++\" in ms")
        ->default_str(std::to_string(guardMs))
        ->check(CLI::Range(0, 60000));

    std::vector<std::pair<std::string, std::string>> pairs;
    try {
        app.parse(argc, argv);
        if (!id.empty())
            id = Unescape(id, "--id");
        for (const std::string& pair : replies) {
            std::size_t eq = pair.find('=');
            if (eq == std::string::npos || eq == 0) {
                throw CLI::ValidationError(
                    "--reply", "'" + pair +
                                   "' is not REQUEST=REPLY with a non-empty REQUEST, e.g. "
                                   "--reply 'AT\\r=\\r\\nOK\\r\\n'");
            }
            pairs.emplace_back(Unescape(pair.substr(0, eq), "--reply"),
                               Unescape(pair.substr(eq + 1), "--reply"));
        }
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help, --version
        std::fprintf(stderr, "pmsim-cable: %s\nRun 'pmsim-cable --help' for the options and examples.\n",
                     e.what());
        return kUsageError;
    }

    // Blocked before the cable's thread starts, so only sigwait below takes them.
    const sigset_t stopSignals = BlockStopSignals();
    try {
        pmsim::CableSim cable;
        cable.SetEcho(echo);
        cable.SetGuardTime(std::chrono::milliseconds(guardMs));
        if (!id.empty())
            cable.SetIdentification(id);
        for (auto& [request, reply] : pairs)
            cable.AddReply(request, reply);
        if (!link.empty() && symlink(cable.SlavePath().c_str(), link.c_str()) != 0) {
            int err = errno;
            std::fprintf(stderr, "pmsim-cable: cannot make the link %s: %s%s\n", link.c_str(),
                         std::strerror(err),
                         err == EEXIST   ? " (remove it, or choose another name)"
                         : err == ENOENT ? " (create its folder first: mkdir -p)"
                                         : "");
            return 1;
        }
        std::printf("%s\n", cable.SlavePath().c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!link.empty())
            RemoveOwnLink(link, cable.SlavePath());
        std::fprintf(stderr, "pmsim-cable: received %zu bytes\n", cable.ReceivedCount());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pmsim-cable: %s\n", e.what());
        return 1;
    }
}
