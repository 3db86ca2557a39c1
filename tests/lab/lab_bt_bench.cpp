// lab-bt-bench: the module's Bluetooth exchange and bulk receive against a plain RFCOMM client on
// the lab's real stacks, in one run (tests/lab/rfcomm-bench.test.sh). Prints the medians and their
// ratios; fails only when an exchange fails or bytes are wrong, whatever the figures (a mebibyte
// that does not come in time is a missing figure).
//   lab-bt-bench [ROUNDS]   (3 by default: a mebibyte costs about a second of the machine's clock)
// The phone is the lab's (BT_PHONE): "AT\r" comes back as "AT\r\r\nOK\r\n", "BULK\r" as its echo
// and a mebibyte of known bytes. The module opens the first listed channel, the plain client
// the other of channels 3 and 4; the phone serves every channel alike.
// Both links stay open for the whole run; all rounds' exchanges come first, then the mebibytes,
// each round taking turns which client goes first:
//  - exchange: "AT\r" out, its 9-byte answer back, kExchanges times; the module's host looks at
//    the count between yields (its receive takes only what has arrived), the plain client polls;
//  - pause: the module's fixed 2 ms send pause (PM_SimpleSleep(2)) alone;
//  - receive: "BULK\r" out, its echo and 1 MiB back, taken in pieces of 4096 bytes and compared;
//    the module's host takes every whole piece waiting, then sleeps 1 ms (PM_SimpleSleep(1)).
// Times are the machine's clock; CPU is getrusage of the process (the module's listener thread
// included).
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LabBulk.h"
#include "Median.h"
#include "portmdl/PortMdl.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExchanges = 30;
constexpr int kPiece = 4096;
// The phone's two listening channels with accepted names; the module's link holds one of them.
constexpr uint8_t kChannels[] = {3, 4};
constexpr auto kDeadline = std::chrono::seconds(20);
// Set when a client got bytes other than the phone sent: the only thing besides a failed exchange
// that fails the run (a stalled mebibyte is reported, as a missing figure).
bool g_wrongBytes = false;
const char kAt[] = "AT\r";
const char kAtAnswer[] = "AT\r\r\nOK\r\n";

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double micros(Clock::time_point since)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
}

// What one client does; each returns false when the transfer failed or its bytes were wrong.
class Client {
  public:
    virtual ~Client() = default;
    virtual bool Send(const void* data, size_t n) = 0;
    virtual bool Receive(uint8_t* data, size_t n) = 0;
    // Takes n bytes in pieces of kPiece and compares them with expected.
    virtual bool ReceiveChecked(const uint8_t* expected, size_t n) = 0;
};

// A plain RFCOMM client: a stream socket, non-blocking, poll() before every read and write.
class Plain : public Client {
  public:
    explicit Plain(const bdaddr_t& phone)
    {
        // A channel the module's link already holds is busy (one link per channel and session).
        for (uint8_t channel : kChannels) {
            m_fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
            sockaddr_rc remote{};
            remote.rc_family = AF_BLUETOOTH;
            remote.rc_bdaddr = phone;
            remote.rc_channel = channel;
            if (m_fd >= 0 &&
                connect(m_fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
                std::printf("plain client on channel %d\n", channel);
                break;
            }
            if (errno != EBUSY) { // busy: the module's link holds that channel
                std::perror("lab-bt-bench: connect");
            }
            if (m_fd >= 0) {
                close(m_fd);
                m_fd = -1;
            }
        }
        if (m_fd >= 0) {
            fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Plain() override
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Plain(const Plain&) = delete;
    Plain& operator=(const Plain&) = delete;
    bool Ok() const { return m_fd >= 0; }

    bool Send(const void* data, size_t n) override
    {
        const auto* p = static_cast<const uint8_t*>(data);
        while (n > 0) {
            ssize_t w = write(m_fd, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
            } else if (!wait(POLLOUT)) {
                return false;
            }
        }
        return true;
    }
    bool Receive(uint8_t* data, size_t n) override
    {
        return receive(data, n, Clock::now() + kDeadline);
    }
    bool ReceiveChecked(const uint8_t* expected, size_t n) override
    {
        uint8_t piece[kPiece];
        auto end = Clock::now() + kDeadline; // for the whole transfer, as the module's
        for (size_t at = 0; at < n; at += kPiece) {
            size_t want = std::min<size_t>(kPiece, n - at);
            if (!receive(piece, want, end)) {
                std::fprintf(stderr, "lab-bt-bench: plain: the link gave out after %zu bytes (%s)\n",
                             at, std::strerror(errno));
                return false;
            }
            if (std::memcmp(piece, expected + at, want) != 0) {
                g_wrongBytes = true;
                std::fprintf(stderr, "lab-bt-bench: plain: bytes differ in %zu..%zu\n", at,
                             at + want);
                return false;
            }
        }
        return true;
    }

  private:
    bool receive(uint8_t* data, size_t n, Clock::time_point end)
    {
        while (n > 0) {
            if (!wait(POLLIN, end)) {
                return false;
            }
            ssize_t r = read(m_fd, data, n);
            if (r == 0) {
                errno = ECONNRESET; // the phone ended the link
                return false;
            }
            if (r > 0) {
                data += r;
                n -= static_cast<size_t>(r);
            }
        }
        return true;
    }
    bool wait(short events, Clock::time_point end = Clock::now() + kDeadline)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p = {m_fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (r == 0) {
            errno = ETIMEDOUT;
        } else if (r == 1 && (p.revents & events) == 0) {
            errno = ECONNRESET; // hung up or failed, nothing left to read or room to write
        }
        return r == 1 && (p.revents & events) != 0;
    }
    int m_fd = -1;
};

// The module's port on the first channel its listing finds.
class Module : public Client {
  public:
    explicit Module(const bdaddr_t& phone)
    {
        uint8_t address[6];
        for (int i = 0; i < 6; ++i) {
            address[i] = phone.b[5 - i]; // bdaddr_t holds the address backwards
        }
        m_ok = PM_CountBluetoothChannels(address, nullptr) > 0 && PM_OpenBluetoothChannel(0) == 1;
        if (!m_ok) {
            std::fprintf(stderr, "lab-bt-bench: the module's open failed (error %d)\n",
                         PM_GetCommErr());
        }
        PM_SetTxTimeout(10000);
    }
    ~Module() override { PM_ClosePort(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    bool Ok() const { return m_ok; }

    bool Send(const void* data, size_t n) override
    {
        return PM_TxBytes(static_cast<int32_t>(n), static_cast<const uint8_t*>(data)) == 1;
    }
    // Waits for the count by yielding, as quick a look as a host can take.
    bool Receive(uint8_t* data, size_t n) override
    {
        auto end = Clock::now() + kDeadline;
        while (PM_InBufferCount() < static_cast<int32_t>(n)) {
            if (Clock::now() > end) {
                return false;
            }
            PM_SimpleSleep(0);
        }
        return PM_RxBytes(static_cast<int32_t>(n), data) == 1;
    }
    // Takes every whole piece waiting, then sleeps a millisecond: a host that does not spin.
    bool ReceiveChecked(const uint8_t* expected, size_t n) override
    {
        uint8_t piece[kPiece];
        auto end = Clock::now() + kDeadline;
        size_t at = 0;
        while (at < n) {
            int32_t want = static_cast<int32_t>(std::min<size_t>(kPiece, n - at));
            if (PM_InBufferCount() < want) {
                if (Clock::now() > end) {
                    std::fprintf(stderr, "lab-bt-bench: module: %zu bytes came in time\n", at);
                    return false;
                }
                PM_SimpleSleep(1);
                continue;
            }
            if (PM_RxBytes(want, piece) != 1 ||
                std::memcmp(piece, expected + at, static_cast<size_t>(want)) != 0) {
                g_wrongBytes = true;
                std::fprintf(stderr, "lab-bt-bench: module: bytes differ in %zu..%zu\n", at,
                             at + static_cast<size_t>(want));
                return false;
            }
            at += static_cast<size_t>(want);
        }
        return true;
    }

  private:
    bool m_ok = false;
};

struct Figures {
    std::vector<double> exchangeUs; // single exchanges
    std::vector<double> bulkUs;     // whole mebibytes, request to last byte
    std::vector<double> bulkCpuUs;
};

bool exchanges(Client& client, Figures& figures)
{
    uint8_t answer[sizeof kAtAnswer - 1];
    for (int i = 0; i < kExchanges; ++i) {
        auto start = Clock::now();
        if (!client.Send(kAt, sizeof kAt - 1) || !client.Receive(answer, sizeof answer)) {
            std::fprintf(stderr, "lab-bt-bench: exchange %d failed\n", i);
            return false;
        }
        figures.exchangeUs.push_back(micros(start));
        if (std::memcmp(answer, kAtAnswer, sizeof answer) != 0) {
            std::fprintf(stderr, "lab-bt-bench: exchange %d: wrong answer\n", i);
            return false;
        }
    }
    return true;
}

bool bulk(Client& client, const std::string& payload, Figures& figures)
{
    const size_t echo = sizeof lab::kBulkRequest - 1;
    uint8_t echoed[echo];
    double cpu = cpuSeconds();
    auto start = Clock::now();
    bool ok = client.Send(lab::kBulkRequest, echo) && client.Receive(echoed, echo);
    if (ok && std::memcmp(echoed, lab::kBulkRequest, echo) != 0) {
        g_wrongBytes = true;
        ok = false;
    }
    ok = ok && client.ReceiveChecked(reinterpret_cast<const uint8_t*>(payload.data()),
                                    payload.size());
    figures.bulkUs.push_back(micros(start));
    figures.bulkCpuUs.push_back((cpuSeconds() - cpu) * 1e6);
    if (!ok) {
        std::fprintf(stderr, "lab-bt-bench: the mebibyte failed or its bytes differ\n");
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    setvbuf(stdout, nullptr, _IOLBF, 0); // a run cut short still shows how far it came
    const char* address = std::getenv("BT_PHONE");
    bdaddr_t phone{};
    if (address == nullptr || str2ba(address, &phone) != 0 || rounds < 1) {
        std::fprintf(stderr, "usage: BT_PHONE=AA:BB:CC:DD:EE:FF lab-bt-bench [ROUNDS]\n");
        return 2;
    }
    // A link that drops must fail the run with a message, not end it by a signal.
    signal(SIGPIPE, SIG_IGN);
    // The module first: its listing ends the device's connection, which would take a plain link
    // opened before it along.
    Module module(phone);
    Plain plain(phone);
    if (!plain.Ok() || !module.Ok()) {
        return 1;
    }
    std::printf("both links open\n");
    const std::string payload = lab::BulkPayload();
    Figures plainFigures, moduleFigures;
    std::vector<double> pauseUs;
    // All exchanges first, then the mebibytes: a stalled mebibyte leaves its link unusable.
    for (int round = 0; round < rounds; ++round) {
        // Turns alternate, so a change on the machine falls on both.
        std::pair<Client*, Figures*> order[2] = {{&plain, &plainFigures},
                                                 {&module, &moduleFigures}};
        if (round % 2 != 0) {
            std::swap(order[0], order[1]);
        }
        for (auto& [client, figures] : order) {
            if (!exchanges(*client, *figures)) {
                return 1;
            }
            std::printf("round %d: %s: %d exchanges, median %.0f us\n", round + 1,
                        client == &plain ? "plain" : "module", kExchanges,
                        MedianOf(figures->exchangeUs));
        }
        for (int i = 0; i < kExchanges; ++i) {
            auto start = Clock::now();
            PM_SimpleSleep(2);
            pauseUs.push_back(micros(start));
        }
    }
    bool received = true;
    for (int round = 0; round < rounds && received; ++round) {
        std::pair<Client*, Figures*> order[2] = {{&plain, &plainFigures},
                                                 {&module, &moduleFigures}};
        if (round % 2 != 0) {
            std::swap(order[0], order[1]);
        }
        for (auto& [client, figures] : order) {
            if (!bulk(*client, payload, *figures)) {
                if (g_wrongBytes) {
                    return 1;
                }
                received = false;
                break;
            }
            std::printf("round %d: %s: one mebibyte in %.0f ms, %.1f CPU ms\n", round + 1,
                        client == &plain ? "plain" : "module", figures->bulkUs.back() / 1000,
                        figures->bulkCpuUs.back() / 1000);
        }
    }

    const double mib = static_cast<double>(lab::kBulkSize) / (1 << 20);
    double plainRate = lab::kBulkSize / MedianOf(plainFigures.bulkUs); // bytes per µs = MB/s
    double moduleRate = lab::kBulkSize / MedianOf(moduleFigures.bulkUs);
    double plainCpu = MedianOf(plainFigures.bulkCpuUs) / 1000 / mib;
    double moduleCpu = MedianOf(moduleFigures.bulkCpuUs) / 1000 / mib;
    double plainExchange = MedianOf(plainFigures.exchangeUs);
    double moduleExchange = MedianOf(moduleFigures.exchangeUs);
    double pause = MedianOf(pauseUs);
    std::printf("\nMedians of %d rounds (%d exchanges and one mebibyte per client and round)\n",
                rounds, kExchanges);
    if (received) {
        std::printf("receive 1 MiB: plain %.3f MB/s %.1f CPU ms/MiB, module %.3f MB/s %.1f CPU "
                    "ms/MiB; rate ratio %.2f, CPU ratio %.2f\n",
                    plainRate, plainCpu, moduleRate, moduleCpu, moduleRate / plainRate,
                    moduleCpu / plainCpu);
    } else {
        std::printf("receive 1 MiB: no figure, a mebibyte stalled (above)\n");
    }
    std::printf("exchange: plain %.0f us, module %.0f us, pause %.0f us; module beyond the pause "
                "%.0f us, beyond the pause - plain %.0f us, ratio (beyond the pause / plain) %.2f\n",
                plainExchange, moduleExchange, pause, moduleExchange - pause,
                moduleExchange - pause - plainExchange, (moduleExchange - pause) / plainExchange);
    return 0;
}
