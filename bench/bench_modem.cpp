// The modem path (cable type 5, the driver simulator in a plane folder) against the serial path
// (a pseudo-terminal cable), in the same run and with the same phone behind both links:
//  - Exchange: "AT\r" out, "OK\r\n" back (both include the send's fixed 2 ms pause);
//  - Receive1MiB: the phone sends 1 MiB, the host takes it in receives of 4096 bytes;
//  - IdleOpen: the port open, the host not calling at all.
// Process CPU time is measured: the module's reader thread and the simulator's thread (the driver
// or the cable) are both counted; the modem benchmarks also report the driver thread's own CPU
// time per iteration (driver_cpu_ms), to be taken off for the module's share.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "BenchLinks.h"
#include "CableSim.h"
#include "ModemDriverSim.h"
#include "portmdl/PortMdl.h"

namespace {

using benchlinks::Cable;
using benchlinks::kMiB;
using benchlinks::Payload;

constexpr int kChunk = 4096;

pmsim::ModemDriverSim& Driver()
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

// The module's port on one of the links, open for the length of one benchmark.
struct Port {
    explicit Port(bool modem)
    {
        if (modem) {
            Driver();
            const int32_t env[2] = {5, 0};
            PM_SetInfo(env);
            ok = PM_OpenPort(0) == 1;
        } else {
            ok = PM_OpenPortByDeviceName(Cable().SlavePath().c_str()) == 1;
        }
        ok = ok && PM_SetRxTimeout(5000) == 1;
        // The reader starts polling half a second after the open.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
    ~Port() { PM_ClosePort(); }
    bool ok = false;
};

// Reports the driver thread's CPU time per iteration of the benchmark it lives through.
class DriverCpu {
  public:
    DriverCpu(benchmark::State& state, bool modem)
        : m_state(state), m_modem(modem), m_start(modem ? Driver().ThreadCpuSeconds() : 0)
    {
    }
    ~DriverCpu()
    {
        if (m_modem && m_state.iterations() > 0) {
            m_state.counters["driver_cpu_ms"] = benchmark::Counter(
                (Driver().ThreadCpuSeconds() - m_start) * 1000, benchmark::Counter::kAvgIterations);
        }
    }
    DriverCpu(const DriverCpu&) = delete;
    DriverCpu& operator=(const DriverCpu&) = delete;

  private:
    benchmark::State& m_state;
    bool m_modem;
    double m_start;
};

void Exchange(benchmark::State& state, bool modem)
{
    Port port(modem);
    DriverCpu driverCpu(state, modem);
    const uint8_t at[] = {'A', 'T', '\r'};
    uint8_t ok[4];
    for (auto _ : state) {
        if (!port.ok || PM_TxBytes(3, at) != 1 || PM_RxBytes(4, ok) != 1) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

void Receive1MiB(benchmark::State& state, bool modem)
{
    Port port(modem);
    DriverCpu driverCpu(state, modem);
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

void IdleOpen(benchmark::State& state, bool modem)
{
    Port port(modem);
    DriverCpu driverCpu(state, modem);
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

void BM_Exchange_Serial(benchmark::State& s) { Exchange(s, false); }
void BM_Exchange_Modem(benchmark::State& s) { Exchange(s, true); }
void BM_Receive1MiB_Serial(benchmark::State& s) { Receive1MiB(s, false); }
void BM_Receive1MiB_Modem(benchmark::State& s) { Receive1MiB(s, true); }
void BM_IdleOpen_Serial(benchmark::State& s) { IdleOpen(s, false); }
void BM_IdleOpen_Modem(benchmark::State& s) { IdleOpen(s, true); }

} // namespace

// The modem benchmarks run first: a cable with no client on its pseudo-terminal wakes every few
// milliseconds, which would be counted in the modem's process CPU time.
BENCHMARK(BM_Exchange_Modem)->Iterations(300)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Receive1MiB_Modem)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_IdleOpen_Modem)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Exchange_Serial)->Iterations(300)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Receive1MiB_Serial)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_IdleOpen_Serial)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
