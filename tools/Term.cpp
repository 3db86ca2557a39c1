// pmctl term: a small interactive serial terminal on the module's port.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include "Commands.h"
#include "Text.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

constexpr uint8_t kQuitKey = 0x1d; // Ctrl-]
constexpr const char* kGoneHint = "has the cable been unplugged? Check it, then start again";

// Puts the terminal on standard input into raw mode and restores it however the scope is left.
class RawTerminal {
  public:
    RawTerminal()
    {
        if (::tcgetattr(STDIN_FILENO, &m_saved) != 0)
            return;
        termios raw = m_saved;
        ::cfmakeraw(&raw);
        // Keep output processing, so that the tool's own lines still start at the left margin.
        raw.c_oflag |= OPOST | ONLCR;
        m_active = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawTerminal()
    {
        if (m_active)
            ::tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

  private:
    termios m_saved{};
    bool m_active = false;
};

void writeAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void showReceived(const std::vector<uint8_t>& bytes, bool hex)
{
    if (!hex) {
        writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
        return;
    }
    std::string text;
    for (const std::string& row : hexRows(bytes.data(), bytes.size()))
        text += "RD< " + row + "\n";
    writeAll(STDOUT_FILENO, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

} // namespace

int runTerm(const PortOptions& port, const TermOptions& options)
{
    const bool interactive = ::isatty(STDIN_FILENO) != 0;
    std::string path = openPort(port);
    PortGuard guard;
    std::string eol = options.eol == "lf" ? "\n" : options.eol == "crlf" ? "\r\n" : "\r";
    std::cerr << "Connected to "
              << (path.empty() ? "cable type " + std::to_string(*port.cable) : path) << ". "
              << (interactive ? "Ctrl-] quits. " : "") << "Enter sends "
              << (options.eol == "lf"     ? "LF"
                  : options.eol == "crlf" ? "CR LF"
                                          : "CR")
              << ".\n";

    // The terminal is raw only while the loop runs: the messages around it print normally.
    try {
        std::unique_ptr<RawTerminal> raw;
        if (interactive)
            raw = std::make_unique<RawTerminal>();
        bool inputOpen = true;
        auto quietSince = std::chrono::steady_clock::now();
        const auto quiet = std::chrono::milliseconds(port.rxTimeout);
        while (!stopRequested()) {
            int32_t waiting = PM_InBufferCount();
            if (waiting > 0) {
                std::vector<uint8_t> got(static_cast<size_t>(std::min<int32_t>(waiting, 4096)));
                if (!PM_RxBytes(static_cast<int32_t>(got.size()), got.data()))
                    throw moduleFailure("receiving failed", kGoneHint);
                showReceived(got, options.hex);
                quietSince = std::chrono::steady_clock::now();
                continue;
            }
            if (!inputOpen) {
                // Piped input has ended: wait for the answer to go quiet, then stop.
                if (std::chrono::steady_clock::now() - quietSince >= quiet)
                    break;
                ::usleep(5000);
                continue;
            }
            pollfd in{STDIN_FILENO, POLLIN, 0};
            int ready = ::poll(&in, 1, 10);
            if (ready < 0 && errno != EINTR)
                throw Failure(std::string("reading the keyboard failed: ") + std::strerror(errno));
            if (ready <= 0)
                continue;
            uint8_t keys[256];
            ssize_t n = ::read(STDIN_FILENO, keys, sizeof keys);
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                inputOpen = false;
                quietSince = std::chrono::steady_clock::now();
                continue;
            }
            std::vector<uint8_t> out;
            bool quit = false;
            for (ssize_t i = 0; i < n; ++i) {
                uint8_t k = keys[i];
                if (interactive && k == kQuitKey) {
                    quit = true;
                    break;
                }
                if (k == (interactive ? '\r' : '\n'))
                    out.insert(out.end(), eol.begin(), eol.end());
                else
                    out.push_back(k);
            }
            if (!out.empty()) {
                if (options.echo)
                    writeAll(STDOUT_FILENO, out.data(), out.size());
                if (!PM_TxBytes(static_cast<int32_t>(out.size()), out.data()))
                    throw moduleFailure("sending failed", kGoneHint);
            }
            if (quit)
                break;
        }
    } catch (const Failure&) {
        std::cerr << "\n"; // the message starts a line of its own, after what the phone sent
        throw;
    }
    std::cerr << "\nClosing the port.\n";
    guard.close();
    return 0;
}

} // namespace pmctl
