// What the benchmarks share: the megabyte the phone sends, the cable that answers "AT\r" with
// "OK\r\n" and the modem driver that does the same (one each per process, so every benchmark of a
// run talks to the same phone), the module's port on either, a plain client on the cable, and the
// module's exchange and receive loops.
#ifndef BENCH_BENCHLINKS_H
#define BENCH_BENCHLINKS_H

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "CableSim.h"
#include "ModemDriverSim.h"
#include "portmdl/PortMdl.h"

namespace benchlinks {

constexpr int kMiB = 1 << 20;
constexpr int kChunk = 4096; // the module's receives take the megabyte in pieces of this size

inline const std::string& Payload()
{
    static const std::string payload = [] {
        std::string s(kMiB, '\0');
        for (int i = 0; i < kMiB; ++i) {
            s[static_cast<size_t>(i)] = static_cast<char>((i * 31 + 7) & 0xFF);
        }
        return s;
    }();
    return payload;
}

inline pmsim::CableSim& Cable()
{
    static auto* cable = [] {
        auto* c = new pmsim::CableSim();
        c->AddReply("AT\r", "OK\r\n");
        return c;
    }();
    return *cable;
}

// The driver in a plane folder of its own, which PM_USERCLIENT_DIR names from then on.
inline pmsim::ModemDriverSim& Driver()
{
    static auto* driver = [] {
        char tmpl[] = "/tmp/pmbench-plane.XXXXXX";
        std::string dir = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp/pmbench-plane";
        setenv("PM_USERCLIENT_DIR", dir.c_str(), 1);
        auto* d = new pmsim::ModemDriverSim(dir);
        d->AddReply("AT\r", "OK\r\n");
        return d;
    }();
    return *driver;
}

// The module's port on the cable or (modem) the modem driver, open for the length of one
// benchmark. The cable type the modem needs is set for the open only.
struct ModulePort {
    explicit ModulePort(bool modem = false)
    {
        if (modem) {
            Driver();
            const int32_t saved[2] = {PortMdlEnv.nCableType, PortMdlEnv.nHostWord};
            const int32_t env[2] = {5, 0};
            PM_SetInfo(env);
            ok = PM_OpenPort(0) == 1;
            PM_SetInfo(saved);
        } else {
            ok = PM_OpenPortByDeviceName(Cable().SlavePath().c_str()) == 1;
        }
        ok = ok && PM_SetRxTimeout(5000) == 1;
        // The reader starts polling half a second after the open.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
    ~ModulePort() { PM_ClosePort(); }
    ModulePort(const ModulePort&) = delete;
    ModulePort& operator=(const ModulePort&) = delete;
    bool ok = false;
};

// A plain client on the cable: raw line, non-blocking descriptor, poll() for every wait.
struct PlainPort {
    explicit PlainPort(pmsim::CableSim& cable = Cable())
    {
        fd = open(cable.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        termios t{};
        ok = fd >= 0 && tcgetattr(fd, &t) == 0;
        if (ok) {
            cfmakeraw(&t);
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 0;
            ok = tcsetattr(fd, TCSANOW, &t) == 0 && tcflush(fd, TCIOFLUSH) == 0;
        }
    }
    ~PlainPort()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    PlainPort(const PlainPort&) = delete;
    PlainPort& operator=(const PlainPort&) = delete;
    bool Write(const void* bytes, size_t n)
    {
        const auto* data = static_cast<const char*>(bytes);
        while (n > 0) {
            ssize_t w = write(fd, data, n);
            if (w > 0) {
                data += w;
                n -= static_cast<size_t>(w);
            } else {
                pollfd p = {fd, POLLOUT, 0};
                if (poll(&p, 1, 5000) <= 0) {
                    return false;
                }
            }
        }
        return true;
    }
    // All n bytes, each wait for more bounded by timeoutMs.
    bool Read(void* bytes, size_t n, int timeoutMs = 5000)
    {
        auto* data = static_cast<char*>(bytes);
        while (n > 0) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) {
                return false;
            }
            ssize_t r = read(fd, data, n);
            if (r > 0) {
                data += r;
                n -= static_cast<size_t>(r);
            }
        }
        return true;
    }
    int fd = -1;
    bool ok = false;
};

// "AT\r" out and "OK\r\n" back through the module's port, once an iteration.
inline void ModuleExchanges(benchmark::State& state, const ModulePort& port)
{
    const uint8_t at[] = {'A', 'T', '\r'};
    uint8_t ok[4];
    for (auto _ : state) {
        if (!port.ok || PM_TxBytes(3, at) != 1 || PM_RxBytes(4, ok) != 1) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

// The phone (behind the driver with modem, else the cable) sends the megabyte; the module's port
// takes it in receives of kChunk bytes, once an iteration.
inline void ModuleReceives(benchmark::State& state, const ModulePort& port, bool modem = false)
{
    std::string buf(kChunk, '\0');
    for (auto _ : state) {
        if (modem) {
            Driver().Send(Payload());
        } else {
            Cable().Send(Payload());
        }
        for (int got = 0; got < kMiB; got += kChunk) {
            if (!port.ok || PM_RxBytes(kChunk, reinterpret_cast<uint8_t*>(buf.data())) != 1) {
                state.SkipWithError("receive failed");
                return;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kMiB);
}

} // namespace benchlinks

#endif
