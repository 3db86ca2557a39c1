// Bulk receive and a short exchange through the module, against a plain client, in one run:
//  - Plain:  a poll()+read/write client on the cable's pseudo-terminal (raw line, non-blocking
//            descriptor, reads of up to the piece it still wants);
//  - Serial: the module's port on the same cable;
//  - Modem:  the module's port on the modem driver simulator (cable type 5).
// Receive: the phone sends 1 MiB, the host takes it in pieces of 4096 bytes and checks them.
// Exchange: "AT\r" out, "OK\r\n" back. Each step makes one exchange through the module (whose
// send pauses 2 ms before the bytes go out), then one 2 ms pause alone (PM_SimpleSleep(2)), then
// one exchange through the plain client (on a cable of its own, open all along), so both
// exchanges' bytes go out after 2 ms of rest. The module's cost beyond the pause and the plain
// client's round trip is a difference within one step; a run reports the median of those
// differences, so a change in the machine's load between steps falls on all three.
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
#include "Median.h"
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

// The plain client's cable in the exchanges, so that the module's port stays open beside it.
pmsim::CableSim& PlainCable()
{
    static auto* cable = [] {
        auto* c = new pmsim::CableSim();
        c->AddReply("AT\r", "OK\r\n");
        return c;
    }();
    return *cable;
}

// Seconds of CPU the simulators' threads (the phone's side) have used.
double PeerCpuSeconds()
{
    return Cable().ThreadCpuSeconds() + PlainCable().ThreadCpuSeconds() +
           Driver().ThreadCpuSeconds();
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

// One exchange through the plain client (when given) or the module; its time in microseconds.
double ExchangeMicros(PlainPort* plain, bool& ok)
{
    const uint8_t at[] = {'A', 'T', '\r'};
    uint8_t reply[4] = {};
    auto start = Clock::now();
    ok = plain ? plain->Write(at, 3) && plain->Read(reply, 4)
               : PM_TxBytes(3, at) == 1 && PM_RxBytes(4, reply) == 1;
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    ok = ok && std::memcmp(reply, "OK\r\n", 4) == 0;
    return us;
}

void Exchange(benchmark::State& state, Path path)
{
    PlainPort plain(PlainCable());
    MeasuredPort module(path);
    bool ok = plain.ok && module.ok;
    // Each step's figures are kept and their medians reported: a load on the machine makes single
    // exchanges stray far, which would swamp a mean.
    std::vector<double> moduleUs, plainUs, pauseUs, beyondUs;
    Meter meter(state);
    meter.Start();
    for (auto _ : state) {
        bool moduleOk = false, plainOk = false;
        double mine = ExchangeMicros(nullptr, moduleOk);
        auto start = Clock::now();
        PM_SimpleSleep(2);
        double pause = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        double theirs = ExchangeMicros(&plain, plainOk);
        if (!ok || !moduleOk || !plainOk) {
            state.SkipWithError("exchange failed");
            break;
        }
        moduleUs.push_back(mine);
        plainUs.push_back(theirs);
        pauseUs.push_back(pause);
        beyondUs.push_back(mine - pause - theirs);
    }
    meter.Stop();
    state.counters["median_us"] = MedianOf(moduleUs);
    state.counters["plain_us"] = MedianOf(plainUs);
    state.counters["pause_us"] = MedianOf(pauseUs);
    state.counters["beyond_us"] = MedianOf(beyondUs);
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
                for (const char* counter : {"median_us", "plain_us", "pause_us", "beyond_us"}) {
                    if (run.counters.count(counter) != 0) {
                        m_each[name + "." + counter].push_back(run.counters.at(counter));
                    }
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
    double Each(const std::string& name, const std::string& counter) const
    {
        return Median(Get(m_each, name + "." + counter));
    }
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
    // Beyond the pause: per step, the module's exchange less the pause and the plain exchange
    // made beside it; the median of those differences in each run, then across the runs.
    std::printf("\n%-8s %12s %14s %14s %12s %12s %20s\n", "Exchange", "step us", "CPU us",
                "median us", "plain us", "pause us", "beyond pause - plain");
    for (const char* path : {"Serial", "Modem"}) {
        std::string name = std::string("Exchange/") + path;
        std::printf("%-8s %12.1f %14.1f %14.1f %12.1f %12.1f %20.1f\n", path, c.Wall(name),
                    c.Cpu(name), c.Each(name, "median_us"), c.Each(name, "plain_us"),
                    c.Each(name, "pause_us"), c.Each(name, "beyond_us"));
    }
    std::printf("(step and CPU: one module exchange, one pause and one plain exchange)\n");
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
        for (int i = 0; i < 2; ++i) {
            const auto& [name, path] = paths[1 + (round + i) % 2];
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
