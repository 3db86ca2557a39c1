// pmctl term: a small interactive serial terminal on the module's port, with the line settings
// the module offers and in-session commands behind an escape key (Ctrl-A).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <iostream>
#include <iterator>
#include <memory>
#include <vector>

#include "Commands.h"
#include "Devices.h"
#include "Text.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

constexpr uint8_t kQuitKey = 0x1d;   // Ctrl-]
constexpr uint8_t kEscapeKey = 0x01; // Ctrl-A, then a command key
constexpr uint8_t kXon = 0x11, kXoff = 0x13;
constexpr int32_t kSpeedCodes = 9; // the module's speed codes are 1 to 9
constexpr const char* kGoneHint = "has the cable been unplugged? Check it, then start again";
constexpr const char* kCommandsHelp =
    "Ctrl-A then: u / d  speed up / down    t  toggle DTR    r  toggle RTS\n"
    "             s  send a file            x  hex view on/off\n"
    "             i  line settings          q  quit    Ctrl-A  a Ctrl-A itself    h  this help\n";

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

void writeAll(int fd, const void* bytes, size_t size)
{
    auto data = static_cast<const uint8_t*>(bytes);
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

// The tool's own lines, on standard error, each on a line of its own amid the phone's output.
void note(const std::string& text)
{
    std::string line = "\r\n[pmctl] " + text + "\r\n";
    writeAll(STDERR_FILENO, line.data(), line.size());
}

// One terminal session on the open port.
class Session {
  public:
    explicit Session(const TermOptions& options) : m_options(options), m_hex(options.hex)
    {
        PM_PortStatus status{};
        if (PM_GetPortStatus(&status)) {
            m_rts = status.nRTS == 1;
            m_dtr = status.nDTR == 1;
            m_dataBits = status.nDataBits == 7 ? 7 : 8;
        }
        // The port status reports DTR off after an open that raised it: on a serial tty the
        // lines are what its open left them, asked of the device where it has modem lines.
        const int fd = PM_GetPortHandle();
        const int mode = PM_GetOpenMode();
        if ((mode == 1 || mode == 2) && PortMdlEnv.nCableType != 5 && fd >= 0 && ::isatty(fd)) {
            int bits = TIOCM_DTR | TIOCM_RTS;
            ::ioctl(fd, TIOCMGET, &bits); // no modem lines (a pty): as the open set them
            m_dtr = (bits & TIOCM_DTR) != 0;
            m_rts = (bits & TIOCM_RTS) != 0;
        }
    }

    // Applies --speed, --parity and --flow; throws Failure when the port refuses them.
    void applyLineOptions()
    {
        // Parity first: the status call also sets a speed code and both lines, so it keeps the
        // lines as they are, and a rate without a code is set after it.
        if (!m_options.parity.empty()) {
            PM_PortStatus status{};
            if (!PM_GetPortStatus(&status))
                throw moduleFailure("reading the port status failed");
            status.nParity = m_options.parity == "none" ? 2 : m_options.parity == "odd" ? 3 : 1;
            status.nDTR = m_dtr ? 1 : 0;
            status.nRTS = m_rts ? 1 : 0;
            if (!PM_SetPortStatus(&status))
                throw moduleFailure("setting parity " + m_options.parity + " failed");
            m_parity = m_options.parity;
        }
        if (m_options.speed != 0)
            setSpeed(m_options.speed);
        applyFlow();
    }

    std::string settings() const
    {
        return std::to_string(PM_GetBPS()) + " bit/s, " + std::to_string(m_dataBits) +
               (m_parity == "none"  ? "N"
                : m_parity == "odd" ? "O"
                                    : "E") +
               "1" + ", flow " + m_options.flow + (m_softFlow ? " (by pmctl)" : "") + ", DTR " +
               (m_dtr ? "on" : "off") + ", RTS " + (m_rts ? "on" : "off");
    }

    // The parity the line opened with is not reported by the module (it always says even);
    // pmctl knows it from how the port was opened.
    void setOpenedParity(const std::string& parity) { m_parity = parity; }

    bool hex() const { return m_hex; }

    // After the phone came back and the port opened again: the line as the user left it, the
    // speed as set or stepped (bps), parity and flow as asked, DTR and RTS as set or toggled.
    void restore(int32_t bps)
    {
        const bool dtr = m_dtr, rts = m_rts;
        m_held = m_softFlow = m_lineFlow = false;
        applyLineOptions();
        if (bps > 0 && PM_GetBPS() != bps)
            setSpeed(bps);
        PM_PortStatus status{};
        const bool known = PM_GetPortStatus(&status) != 0;
        if ((!known || (status.nDTR == 1) != dtr) && !(dtr ? PM_SetDTR() : PM_ClearDTR()))
            throw moduleFailure("setting DTR failed", kGoneHint);
        if ((!known || (status.nRTS == 1) != rts) && !(rts ? PM_SetRTS() : PM_ClearRTS()))
            throw moduleFailure("setting RTS failed", kGoneHint);
        m_dtr = dtr;
        m_rts = rts;
    }

    // Shows received bytes, keeping XON/XOFF to itself when it handles flow.
    void received(const std::vector<uint8_t>& bytes)
    {
        std::vector<uint8_t> shown;
        shown.reserve(bytes.size());
        for (uint8_t b : bytes) {
            if (m_softFlow && (b == kXon || b == kXoff)) {
                m_held = b == kXoff;
                continue;
            }
            shown.push_back(b);
        }
        if (shown.empty())
            return;
        if (!m_hex) {
            writeAll(STDOUT_FILENO, shown.data(), shown.size());
            return;
        }
        std::string text;
        for (const std::string& row : hexRows(shown.data(), shown.size()))
            text += "RD< " + row + "\n";
        writeAll(STDOUT_FILENO, text.data(), text.size());
    }

    // Sends bytes, waiting (while showing what arrives) as long as the phone holds us off.
    void send(const std::vector<uint8_t>& out)
    {
        waitWhileHeld();
        if (out.empty())
            return;
        if (m_options.echo)
            writeAll(STDOUT_FILENO, out.data(), out.size());
        if (!PM_TxBytes(static_cast<int32_t>(out.size()), out.data()))
            throw moduleFailure("sending failed", kGoneHint);
    }

    // Takes what has arrived; false when nothing had.
    bool drain()
    {
        int32_t waiting = PM_InBufferCount();
        if (waiting <= 0)
            return false;
        std::vector<uint8_t> got(static_cast<size_t>(std::min<int32_t>(waiting, 4096)));
        if (!PM_RxBytes(static_cast<int32_t>(got.size()), got.data()))
            throw moduleFailure("receiving failed", kGoneHint);
        received(got);
        return true;
    }

    // Carries out the command key that followed the escape key; a command that asks for a line
    // (send a file) takes it from typed, the keys that came with this one, before reading more.
    // Returns false to quit.
    bool command(uint8_t key, std::deque<uint8_t>& typed)
    {
        // Ctrl-letter and the letter itself do the same.
        char c = static_cast<char>(key >= 1 && key <= 26 && key != kEscapeKey ? key + 'a' - 1
                                                                              : std::tolower(key));
        switch (c) {
        case 'q':
            return false;
        case static_cast<char>(kEscapeKey):
            send({kEscapeKey});
            break;
        case 'u':
        case 'd':
            stepSpeed(c == 'u' ? 1 : -1);
            break;
        case 't':
            toggleLine(false);
            break;
        case 'r':
            toggleLine(true);
            break;
        case 'x':
            m_hex = !m_hex;
            note(std::string("hex view ") + (m_hex ? "on" : "off"));
            break;
        case 'i':
            note(settings());
            break;
        case 's':
            sendFile(readLine("file to send: ", typed));
            break;
        case 'h':
        case '?':
            writeAll(STDERR_FILENO, "\r\n", 2);
            for (const char* p = kCommandsHelp; *p; ++p)
                writeAll(STDERR_FILENO, *p == '\n' ? "\r\n" : p, *p == '\n' ? 2 : 1);
            break;
        default:
            note("no command on that key; Ctrl-A h lists them");
            break;
        }
        return true;
    }

  private:
    // Switches DTR or RTS; a device that did not follow keeps its state, and the note says so.
    void toggleLine(bool rts)
    {
        bool& state = rts ? m_rts : m_dtr;
        const bool on = !state;
        const std::string name = rts ? "RTS" : "DTR";
        if (!(rts ? (on ? PM_SetRTS() : PM_ClearRTS()) : (on ? PM_SetDTR() : PM_ClearDTR())))
            throw moduleFailure("setting " + name + " failed", kGoneHint);
        const std::string refusal = lineChangeRefusal(rts ? TIOCM_RTS : TIOCM_DTR, on);
        if (!refusal.empty()) {
            note(name + (on ? " on" : " off") + " refused: " + refusal);
            return;
        }
        state = on;
        note(name + (on ? " on" : " off"));
    }

    // The module's speed codes where the rate has one (they work on every port), the bit rate
    // call for any other rate.
    void setSpeed(int32_t bps)
    {
        int32_t code = 0;
        for (int32_t c = 1; c <= kSpeedCodes; ++c) {
            if (PM_ConvertBPS_CEValuToOSValue(c) == bps)
                code = c;
        }
        PM_ClearCommErr();
        bool done = code != 0 ? PM_SetBPS(static_cast<uint32_t>(code)) != 0
                              : PM_SetBitRate(static_cast<uint32_t>(bps)) != 0;
        if (!done)
            throw moduleFailure("setting " + std::to_string(bps) + " bit/s failed",
                                PM_GetCommErr() == PM_ERR_INVALID
                                    ? "the port cannot run at that rate"
                                    : "the device refused that speed");
    }

    // The next common rate up or down from the line's that the port takes: rates it refuses
    // are passed over (the modem port takes the module's speeds alone).
    void stepSpeed(int direction)
    {
        const auto& speeds = termSpeeds();
        const int32_t now = PM_GetBPS();
        std::vector<int32_t> candidates;
        if (direction > 0)
            candidates.assign(std::upper_bound(speeds.begin(), speeds.end(), now), speeds.end());
        else
            candidates.assign(
                std::make_reverse_iterator(std::lower_bound(speeds.begin(), speeds.end(), now)),
                speeds.rend());
        for (int32_t rate : candidates) {
            try {
                setSpeed(rate);
            } catch (const Failure&) {
                continue;
            }
            note("speed " + std::to_string(PM_GetBPS()) + " bit/s");
            return;
        }
        note("no " + std::string(direction > 0 ? "higher" : "lower") +
             " speed that the port takes; still " + std::to_string(now) + " bit/s");
    }

    // --flow: the line's own flow control; on a port without one (the modem), pmctl does
    // XON/XOFF itself.
    void applyFlow()
    {
        if (m_options.flow == "none")
            return;
        const int32_t mode = m_options.flow == "rts-cts" ? PM_FLOW_RTS_CTS : PM_FLOW_XON_XOFF;
        PM_ClearCommErr();
        if (PM_SetFlowControl(mode)) {
            m_lineFlow = true;
            return;
        }
        bool notThisPort = PM_GetCommErr() == PM_ERR_INVALID && PM_GetSysErr() == 0;
        if (mode == PM_FLOW_XON_XOFF && notThisPort) {
            m_softFlow = true;
            return;
        }
        throw moduleFailure("setting flow control " + m_options.flow + " failed",
                            notThisPort ? "RTS/CTS needs a serial port"
                            : mode == PM_FLOW_RTS_CTS
                                ? "the adapter has no RTS/CTS lines, or its driver cannot use them"
                                : "");
    }

    // Holds the sending while the phone holds us off: after its XOFF when pmctl does the flow
    // control, while the line takes no bytes when the line does. What arrives meanwhile is shown.
    void waitWhileHeld()
    {
        while (held() && !stopRequested()) {
            if (!drain())
                ::usleep(5000);
        }
    }

    bool held() const
    {
        if (m_softFlow)
            return m_held;
        if (!m_lineFlow)
            return false;
        pollfd out{PM_GetPortHandle(), POLLOUT, 0};
        return out.fd >= 0 && ::poll(&out, 1, 0) == 0;
    }

    // A line typed on the keyboard (raw mode: pmctl echoes it and handles backspace).
    std::string readLine(const std::string& prompt, std::deque<uint8_t>& typed)
    {
        std::string text = "\r\n[pmctl] " + prompt;
        writeAll(STDERR_FILENO, text.data(), text.size());
        std::string line;
        for (;;) {
            uint8_t k = 0;
            ssize_t n = 1;
            if (!typed.empty()) {
                k = typed.front();
                typed.pop_front();
            } else {
                n = ::read(STDIN_FILENO, &k, 1);
            }
            if (n < 0 && errno == EINTR) {
                if (stopRequested())
                    return "";
                continue;
            }
            if (n <= 0 || k == '\r' || k == '\n')
                break;
            if (k == 0x7f || k == '\b') {
                if (!line.empty()) {
                    line.pop_back();
                    writeAll(STDERR_FILENO, "\b \b", 3);
                }
            } else if (k == 0x03 || k == 0x1b) { // Ctrl-C or Esc: never mind
                line.clear();
                break;
            } else if (k >= 0x20) {
                line.push_back(static_cast<char>(k));
                writeAll(STDERR_FILENO, &k, 1);
            }
        }
        return line;
    }

    // Sends a regular file in pieces, with its progress on standard error; what the phone sends
    // meanwhile is shown.
    void sendFile(const std::string& path)
    {
        if (path.empty()) {
            note("nothing sent");
            return;
        }
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
            if (fd >= 0)
                ::close(fd);
            note("cannot send " + path + ": " + why);
            return;
        }
        const auto total = static_cast<long long>(st.st_size);
        long long sent = 0;
        uint8_t piece[256];
        auto progress = [&] {
            std::string line = "\r[pmctl] sending " + path + ": " + std::to_string(sent) + " of " +
                               std::to_string(total) + " bytes";
            writeAll(STDERR_FILENO, line.data(), line.size());
        };
        try {
            progress();
            for (;;) {
                ssize_t n = ::read(fd, piece, sizeof piece);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    throw Failure("reading " + path + " failed: " + std::strerror(errno));
                if (n == 0 || stopRequested())
                    break;
                send(std::vector<uint8_t>(piece, piece + n));
                sent += n;
                progress();
                drain();
            }
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
        note(sent == total ? "sent " + path : "sending " + path + " stopped");
    }

    const TermOptions& m_options;
    bool m_hex;
    bool m_held = false;     // XOFF received, no XON yet (pmctl's own flow control)
    bool m_softFlow = false; // pmctl handles XON/XOFF itself: the port has no flow control
    bool m_lineFlow = false; // the line's driver holds our sending
    bool m_rts = true, m_dtr = true;
    int m_dataBits = 8;
    std::string m_parity = "none";
};

} // namespace

const std::vector<int32_t>& termSpeeds()
{
    // The rates serial drivers commonly know by name, and the module's 14400.
    static const std::vector<int32_t> speeds = {
        300,     600,     1200,    2400,    4800,    9600,    14400,   19200,
        38400,   57600,   115200,  230400,  460800,  500000,  576000,  921600,
        1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    return speeds;
}

int runTerm(const PortOptions& port, const TermOptions& options)
{
    const bool interactive = ::isatty(STDIN_FILENO) != 0;
    std::string path;
    try {
        path = openPort(port, {}, [](const std::string& text) { note(text); });
    } catch (const Stopped& stopped) {
        std::cerr << "pmctl: " << stopped.what() << "\n";
        return 0;
    }
    PortGuard guard;
    Session session(options);
    // Cable types 3, 4 and 8 opened by type have even parity, every other line none.
    bool even = port.device.empty() && port.cable &&
                (*port.cable == 3 || *port.cable == 4 || *port.cable == 8);
    session.setOpenedParity(even ? "even" : "none");
    session.applyLineOptions();
    std::string eol = options.eol == "lf" ? "\n" : options.eol == "crlf" ? "\r\n" : "\r";
    std::cerr << "Connected to "
              << (path.empty() ? "cable type " + std::to_string(*port.cable) : path) << ": "
              << session.settings() << ".\n"
              << (interactive ? "Ctrl-A h lists the commands, Ctrl-A q or Ctrl-] quits. " : "")
              << "Enter sends "
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
        bool escaped = false; // the escape key came; the next key is a command
        auto quietSince = std::chrono::steady_clock::now();
        const auto quiet = std::chrono::milliseconds(port.rxTimeout);
        bool running = true;
        // While the phone is away (--wait) nothing is sent: Ctrl-], Ctrl-A q or Ctrl-C quit,
        // other keys are dropped. Piped input waits for the phone.
        auto quitKeys = [&] {
            pollfd in{STDIN_FILENO, POLLIN, 0};
            uint8_t keys[256];
            ssize_t n = interactive && ::poll(&in, 1, 0) > 0 ? ::read(STDIN_FILENO, keys, sizeof keys) : 0;
            for (ssize_t i = 0; i < n; ++i) {
                if (keys[i] == kQuitKey || keys[i] == 0x03 ||
                    (escaped && std::tolower(keys[i]) == 'q'))
                    return true;
                escaped = keys[i] == kEscapeKey;
            }
            return false;
        };
        // The phone was unplugged: the port is closed, and opened again when the phone is back,
        // with the line as it was. False when the user quit meanwhile.
        auto reconnect = [&] {
            const int32_t bps = PM_GetBPS();
            note(deviceDescription(port) + " is gone (unplugged?): the port is closed; waiting "
                 "for it to come back (Ctrl-] quits)");
            PM_ClosePort();
            guard.setClosed(true);
            for (;;) {
                try {
                    path = openPort(port, quitKeys);
                    guard.setClosed(false);
                    session.restore(bps);
                    note("reconnected to " + (path.empty() ? deviceDescription(port) : path) +
                         ": " + session.settings());
                    return true;
                } catch (const Stopped&) {
                    return false;
                } catch (const Failure& failure) {
                    // Gone again before it was set up (a replug storm), or it will not open:
                    // the next try waits for it to be there and open again.
                    note(std::string("reconnecting failed: ") + failure.what());
                    if (!guard.isClosed()) {
                        PM_ClosePort();
                        guard.setClosed(true);
                    }
                    ::usleep(500000);
                }
            }
        };
        while (running && !stopRequested()) {
            if (port.wait && portHungUp()) {
                running = reconnect();
                escaped = false;
                continue;
            }
            if (session.drain()) {
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
            std::deque<uint8_t> typed(keys, keys + n);
            while (!typed.empty() && running) {
                uint8_t k = typed.front();
                typed.pop_front();
                if (interactive && escaped) {
                    escaped = false;
                    session.send(out);
                    out.clear();
                    running = session.command(k, typed);
                } else if (interactive && k == kEscapeKey) {
                    escaped = true;
                } else if (interactive && k == kQuitKey) {
                    running = false;
                } else if (k == (interactive ? '\r' : '\n')) {
                    out.insert(out.end(), eol.begin(), eol.end());
                } else {
                    out.push_back(k);
                }
            }
            try {
                session.send(out);
            } catch (const Failure&) {
                if (!port.wait || !portHungUp())
                    throw;
                note("not sent: " + std::to_string(out.size()) + " bytes");
            }
        }
    } catch (const Failure&) {
        std::cerr << "\n"; // the message starts a line of its own, after what the phone sent
        throw;
    }
    if (guard.isClosed()) {
        std::cerr << "\nThe port is closed.\n";
        return 0;
    }
    std::cerr << "\nClosing the port.\n";
    guard.close();
    return 0;
}

} // namespace pmctl
