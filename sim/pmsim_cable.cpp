// pmsim-cable: plays a phone's data cable on a pseudo-terminal until SIGINT or SIGTERM.
//
//   pmsim-cable [--link PATH] [--echo] [--id REPLY] [--reply REQUEST=REPLY]...
//
// Prints the slave device path on the first line of standard output. --link also makes PATH a
// symbolic link to it (removed at exit), e.g. inside a PM_SERIAL_REGISTRY directory. In REPLY and
// REQUEST, "\r" and "\n" stand for CR and LF.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "CableSim.h"
#include "Escapes.h"

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: pmsim-cable [--link PATH] [--echo] [--id REPLY] [--reply REQ=REPLY]...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    // Blocked before the cable's thread starts, so only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        pmsim::CableSim cable;
        std::string link;
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            bool hasValue = i + 1 < argc;
            if (arg == "--echo") {
                cable.SetEcho(true);
            } else if (arg == "--link" && hasValue) {
                link = argv[++i];
            } else if (arg == "--id" && hasValue) {
                cable.SetIdentification(pmsim::UnescapeCrLf(argv[++i]));
            } else if (arg == "--reply" && hasValue) {
                std::string pair = argv[++i];
                std::size_t eq = pair.find('=');
                if (eq == std::string::npos || eq == 0) {
                    return Usage();
                }
                cable.AddReply(pmsim::UnescapeCrLf(pair.substr(0, eq)), pmsim::UnescapeCrLf(pair.substr(eq + 1)));
            } else {
                return Usage();
            }
        }
        if (!link.empty() && symlink(cable.SlavePath().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "pmsim-cable: %s: %s\n", link.c_str(), std::strerror(errno));
            return 1;
        }
        std::printf("%s\n", cable.SlavePath().c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!link.empty()) {
            unlink(link.c_str());
        }
        std::fprintf(stderr, "pmsim-cable: received %zu bytes\n", cable.ReceivedCount());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pmsim-cable: %s\n", e.what());
        return 1;
    }
}
