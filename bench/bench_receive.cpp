// Bulk receive and a short exchange through the module, against a plain client, in one run:
//  - Plain:  a poll()+read/write client on the cable's pseudo-terminal (raw line, non-blocking
//            descriptor, reads of up to the piece it still wants);
//  - Serial: the module's port on the same cable;
//  - Modem:  the module's port on the modem driver simulator (cable type 5).
// Receive: the phone sends 1 MiB, the host takes it in pieces of 4096 bytes and checks them.
// Exchange: "AT\r" out, "OK\r\n" back; SendPause measures the module's fixed 2 ms send pause
// alone. The medians of single exchanges and pauses give the module's cost beyond the pause.
//
// CPU time is the process's (getrusage) less the simulators' threads, so the module's reader
// thread is counted and the phone's side is not. The paths run interleaved, several rounds, and
// the program ends with the medians and the ratios to the plain client.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "BenchLinks.h"
#include "CableSim.h"
#include "ModemDriverSim.h"
#include "portmdl/PortMdl.h"

namespace {

using benchlinks::Cable;
using benchlinks::Driver;
using benchlinks::kMiB;
using benchlinks::ModulePort;
using benchlinks::Payload;
using benchlinks::PlainPort;
using Clock = std::chrono::steady_clock;

constexpr int kPiece = 4096;
constexpr int kRounds = 5;
constexpr int kReceiveIterations = 8;
constexpr int kExchangeIterations = 300;

enum class Path { Plain, Serial, Modem };

double MedianOf(std::vector<double> v)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Seconds of CPU the simulators' threads (the phone's side) have used.
double PeerCpuSeconds()
{
    return Cable().ThreadCpuSeconds() + Driver().ThreadCpuSeconds();
}

// Seconds of CPU the process has used, less the simulators' threads.
double OwnCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    double process = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    return process - PeerCpuSeconds();
}

// Wall and own CPU time over the benchmark's loop, reported per iteration in microseconds.
class Meter {
  public:
    explicit Meter(benchmark::State& state) : m_state(state) {}
    void Start()
    {
        m_wall = Clock::now();
        m_cpu = OwnCpuSeconds();
        m_peer = PeerCpuSeconds();
    }
    void Stop()
    {
        double wall = std::chrono::duration<double>(Clock::now() - m_wall).count();
        double cpu = OwnCpuSeconds() - m_cpu;
        double peer = PeerCpuSeconds() - m_peer;
        double n = static_cast<double>(std::max<int64_t>(1, m_state.iterations()));
        m_state.counters["wall_us"] = wall * 1e6 / n;
        m_state.counters["cpu_us"] = cpu * 1e6 / n;
        m_state.counters["peer_cpu_us"] = peer * 1e6 / n;
    }

  private:
    benchmark::State& m_state;
    Clock::time_point m_wall;
    double m_cpu = 0;
    double m_peer = 0;
};

void SendPayload(Path path)
{
    if (path == Path::Modem) {
        Driver().Send(Payload());
    } else {
        Cable().Send(Payload());
    }
}

// The port a run measures: the plain client's, or the module's on the serial or modem path.
class MeasuredPort {
  public:
    explicit MeasuredPort(Path path)
    {
        if (path == Path::Plain) {
            m_plain = std::make_unique<PlainPort>();
            ok = m_plain->ok;
        } else {
            m_module = std::make_unique<ModulePort>(path == Path::Modem);
            ok = m_module->ok;
        }
    }
    bool Read(uint8_t* buf, int n)
    {
        return m_plain ? m_plain->Read(buf, n) : PM_RxBytes(n, buf) == 1;
    }
    bool Write(const uint8_t* buf, int n)
    {
        return m_plain ? m_plain->Write(buf, n) : PM_TxBytes(n, buf) == 1;
    }

    bool ok = false;

  private:
    std::unique_ptr<PlainPort> m_plain;
    std::unique_ptr<ModulePort> m_module;
};

void Receive(benchmark::State& state, Path path)
{
    MeasuredPort port(path);
    bool ok = port.ok;
    std::vector<uint8_t> buf(kPiece);
    const auto* expected = reinterpret_cast<const uint8_t*>(Payload().data());
    Meter meter(state);
    meter.Start();
    for (auto _ : state) {
        SendPayload(path);
        for (int at = 0; ok && at < kMiB; at += kPiece) {
            ok = port.Read(buf.data(), kPiece);
            ok = ok && std::memcmp(buf.data(), expected + at, kPiece) == 0;
        }
        if (!ok) {
            state.SkipWithError("receive failed or bytes differ");
            break;
        }
    }
    meter.Stop();
    state.SetBytesProcessed(state.iterations() * kMiB);
}

void Exchange(benchmark::State& state, Path path)
{
    MeasuredPort port(path);
    bool ok = port.ok;
    const uint8_t at[] = {'A', 'T', '\r'};
    uint8_t reply[4];
    // Each exchange's own time is kept and their median reported: a load on the machine makes
    // single exchanges stray far, which would swamp a mean.
    std::vector<double> times;
    times.reserve(kExchangeIterations);
    Meter meter(state);
    meter.Start();
    for (auto _ : state) {
        auto start = Clock::now();
        ok = port.Write(at, 3) && port.Read(reply, 4);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (!ok || std::memcmp(reply, "OK\r\n", 4) != 0) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    meter.Stop();
    state.counters["median_us"] = MedianOf(times);
}

void SendPause(benchmark::State& state)
{
    std::vector<double> times;
    times.reserve(kExchangeIterations);
    Meter meter(state);
    meter.Start();
    for (auto _ : state) {
        auto start = Clock::now();
        PM_SimpleSleep(2);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    meter.Stop();
    state.counters["median_us"] = MedianOf(times);
}

// Keeps every run's figures by name, for the summary.
class Collector : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (!run.error_occurred) {
                std::string name = run.run_name.function_name;
                m_wall[name].push_back(run.counters.at("wall_us"));
                m_cpu[name].push_back(run.counters.at("cpu_us"));
                m_peer[name].push_back(run.counters.at("peer_cpu_us"));
                if (run.counters.count("median_us") != 0) {
                    m_each[name].push_back(run.counters.at("median_us"));
                }
            } else {
                m_failed = true;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    static double Median(std::vector<double> v) { return MedianOf(std::move(v)); }
    double Wall(const std::string& name) const { return Median(Get(m_wall, name)); }
    double Cpu(const std::string& name) const { return Median(Get(m_cpu, name)); }
    double Peer(const std::string& name) const { return Median(Get(m_peer, name)); }
    double Each(const std::string& name) const { return Median(Get(m_each, name)); }
    bool Failed() const { return m_failed; }

  private:
    static std::vector<double> Get(const std::map<std::string, std::vector<double>>& m,
                                   const std::string& name)
    {
        auto it = m.find(name);
        return it == m.end() ? std::vector<double>{} : it->second;
    }
    std::map<std::string, std::vector<double>> m_wall, m_cpu, m_peer, m_each;
    bool m_failed = false;
};

void PrintSummary(const Collector& c)
{
    const double mib = 1.0; // one iteration of a receive is one MiB
    std::printf("\nMedians of %d interleaved rounds (CPU: the process less the simulators)\n",
                kRounds);
    std::printf("%-8s %12s %14s %12s %14s %16s\n", "Receive", "MB/s", "CPU ms/MiB", "rate ratio",
                "CPU ratio", "phone ms/MiB");
    const double plainWall = c.Wall("Receive/Plain"), plainCpu = c.Cpu("Receive/Plain");
    for (const char* path : {"Plain", "Serial", "Modem"}) {
        std::string name = std::string("Receive/") + path;
        double wall = c.Wall(name), cpu = c.Cpu(name);
        double rate = wall > 0 ? kMiB / wall : 0; // bytes per microsecond = MB/s
        std::printf("%-8s %12.1f %14.2f %12.2f %14.2f %16.2f\n", path, rate, cpu / 1000 / mib,
                    wall > 0 ? plainWall / wall : 0, plainCpu > 0 ? cpu / plainCpu : 0,
                    c.Peer(name) / 1000 / mib);
    }
    // Beyond the pause: an exchange's median time, less the pause's and the plain client's.
    const double pause = c.Each("SendPause"), plainExchange = c.Each("Exchange/Plain");
    std::printf("\n%-8s %12s %14s %14s %20s\n", "Exchange", "mean us", "CPU us", "median us",
                "beyond pause - plain");
    for (const char* path : {"Plain", "Serial", "Modem"}) {
        std::string name = std::string("Exchange/") + path;
        double median = c.Each(name);
        double beyond = path == std::string("Plain") ? 0 : median - pause - plainExchange;
        std::printf("%-8s %12.1f %14.1f %14.1f %20.1f\n", path, c.Wall(name), c.Cpu(name), median,
                    beyond);
    }
    std::printf("SendPause median %.1f us\n", pause);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const std::pair<const char*, Path> paths[] = {
        {"Plain", Path::Plain}, {"Serial", Path::Serial}, {"Modem", Path::Modem}};
    // The paths take turns, in a rotating order, so a change in the machine's load falls on all.
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < 3; ++i) {
            const auto& [name, path] = paths[(round + i) % 3];
            Path p = path;
            benchmark::RegisterBenchmark((std::string("Receive/") + name).c_str(),
                                         [p](benchmark::State& s) { Receive(s, p); })
                ->Iterations(kReceiveIterations)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
        benchmark::RegisterBenchmark("SendPause", SendPause)->Iterations(kExchangeIterations);
        for (int i = 0; i < 3; ++i) {
            const auto& [name, path] = paths[(round + i) % 3];
            Path p = path;
            benchmark::RegisterBenchmark((std::string("Exchange/") + name).c_str(),
                                         [p](benchmark::State& s) { Exchange(s, p); })
                ->Iterations(kExchangeIterations)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
        }
    }
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    PrintSummary(collector);
    benchmark::Shutdown();
    return collector.Failed() ? 1 : 0;
}
