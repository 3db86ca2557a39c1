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

using benchlinks::Driver;
using benchlinks::ModulePort;

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
    ModulePort port(modem);
    DriverCpu driverCpu(state, modem);
    benchlinks::ModuleExchanges(state, port);
}

void Receive1MiB(benchmark::State& state, bool modem)
{
    ModulePort port(modem);
    DriverCpu driverCpu(state, modem);
    benchlinks::ModuleReceives(state, port, modem);
}

void IdleOpen(benchmark::State& state, bool modem)
{
    ModulePort port(modem);
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
