// The serial path through the module against a plain poll()+read/write client, both talking to
// the same simulated cable on the same pseudo-terminal in the same run:
//  - Exchange: "AT\r" out, "OK\r\n" back (the module's send includes its fixed 2 ms pause, which
//    SendPause measures alone);
//  - Receive/Send: 1 MiB each way;
//  - IdleWait: a receive that waits 200 ms for bytes that never come;
//  - IdleOpen (module only): the port open, the host not calling at all;
//  - Close (module only): PM_ClosePort on an open, idle port.
// Process CPU time is measured, so the module's reader thread is counted.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "BenchLinks.h"
#include "CableSim.h"
#include "portmdl/PortMdl.h"

namespace {

using benchlinks::Cable;
using benchlinks::kChunk;
using benchlinks::kMiB;
using benchlinks::ModulePort;
using benchlinks::Payload;
using benchlinks::PlainPort;

void BM_Exchange_Module(benchmark::State& state)
{
    ModulePort port;
    benchlinks::ModuleExchanges(state, port);
}

// The fixed pause alone, to tell the module's own cost in an exchange from the pause's.
void BM_SendPause(benchmark::State& state)
{
    for (auto _ : state) {
        PM_SimpleSleep(2);
    }
}

void BM_Exchange_Plain(benchmark::State& state)
{
    PlainPort port;
    char ok[4];
    for (auto _ : state) {
        if (!port.ok || !port.Write("AT\r", 3) || !port.Read(ok, 4, 5000)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

void BM_Receive1MiB_Module(benchmark::State& state)
{
    ModulePort port;
    benchlinks::ModuleReceives(state, port);
}

void BM_Receive1MiB_Plain(benchmark::State& state)
{
    PlainPort port;
    std::string buf(kChunk, '\0');
    for (auto _ : state) {
        Cable().Send(Payload());
        for (int got = 0; got < kMiB; got += kChunk) {
            if (!port.ok || !port.Read(buf.data(), kChunk)) {
                state.SkipWithError("receive failed");
                return;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kMiB);
}

void BM_Send1MiB_Module(benchmark::State& state)
{
    ModulePort port;
    for (auto _ : state) {
        Cable().ClearReceived();
        if (!port.ok || PM_TxBytes(kMiB, reinterpret_cast<const uint8_t*>(Payload().data())) != 1 ||
            !Cable().WaitReceived(kMiB, std::chrono::seconds(10))) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kMiB);
}

void BM_Send1MiB_Plain(benchmark::State& state)
{
    PlainPort port;
    for (auto _ : state) {
        Cable().ClearReceived();
        if (!port.ok || !port.Write(Payload().data(), kMiB) ||
            !Cable().WaitReceived(kMiB, std::chrono::seconds(10))) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kMiB);
}

void BM_IdleWait_Module(benchmark::State& state)
{
    ModulePort port;
    PM_SetRxTimeout(200);
    uint8_t b;
    for (auto _ : state) {
        if (PM_RxBytes(1, &b) != 0) {
            state.SkipWithError("a byte arrived");
            break;
        }
    }
}

void BM_IdleWait_Plain(benchmark::State& state)
{
    PlainPort port;
    char b;
    for (auto _ : state) {
        if (port.Read(&b, 1, 200)) {
            state.SkipWithError("a byte arrived");
            break;
        }
    }
}

void BM_IdleOpen_Module(benchmark::State& state)
{
    ModulePort port;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// PM_ClosePort alone, on a port whose reader is polling an idle line.
void BM_Close_Module(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = PM_OpenPortByDeviceName(Cable().SlavePath().c_str()) == 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        state.ResumeTiming();
        PM_ClosePort();
        if (!ok) {
            state.SkipWithError("open failed");
            break;
        }
    }
}

} // namespace

BENCHMARK(BM_Exchange_Module)->Iterations(300)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_SendPause)->Iterations(300)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Exchange_Plain)->Iterations(300)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Receive1MiB_Module)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Receive1MiB_Plain)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Send1MiB_Module)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Send1MiB_Plain)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_IdleWait_Module)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_IdleWait_Plain)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_IdleOpen_Module)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Close_Module)->Iterations(5)->UseRealTime();
