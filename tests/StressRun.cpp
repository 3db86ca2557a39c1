#include "StressRun.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "RingBuff.h"
#include "StressFrames.h"
#include "StressPeers.h"
#include "portmdl/PortMdl.h"

namespace stress {

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSlow = 5; // a sanitizer's build runs this much slower, or worse
#else
constexpr int kSlow = 1;
#endif

constexpr int kHostThreads = 2;
constexpr size_t kLogLength = 60;
constexpr Micros kMs = 1000;
// A call that has not ended after this long hangs: the run stops the process with its report.
constexpr Micros kHang = 50000 * kMs * kSlow;

const std::array<uint32_t, 9> kCodeRates = {600,   2400,  9600,   14400, 19200,
                                            38400, 57600, 115200, 230400};
// Bit rates for PM_SetBitRate: the nine codes' and some a serial adapter may take or refuse.
const std::array<uint32_t, 13> kBitRates = {600,    2400,   9600,  14400,  19200,  38400,  57600,
                                            115200, 230400, 31250, 250000, 460800, 1000000};

uint64_t Mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

ModelRules RulesFor(Link link)
{
    ModelRules r;
    r.link = link;
    r.speedGrace = 2 * kMs * kSlow;
    r.timeoutMargin = 200 * kMs * kSlow;
    r.sendArrival = 3000 * kMs * kSlow;
    switch (link) {
    case Link::Serial:
        r.speedDiscards = true;
        r.flushesOutput = true;
        r.phoneReads = 100 * kMs * kSlow;
        r.queueFloor = EI_RingBuff::kCapacity;
        r.readerStart = 600 * kMs * kSlow;
        break;
    case Link::Modem:
        r.readerStart = 600 * kMs * kSlow;
        break;
    case Link::Bluetooth:
        r.receiveWaits = false;
        r.arrivalGrace = 100 * kMs * kSlow;
        break;
    }
    return r;
}

std::string Ms(Micros t)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(t) / 1e6);
    return buf;
}

class Runner {
  public:
    explicit Runner(const RunOptions& options)
        : m_options(options), m_rules(RulesFor(options.link)),
          m_model(m_rules, static_cast<uint32_t>(Mix(options.seed) | 1)),
          m_start(std::chrono::steady_clock::now())
    {
    }

    RunResult Run();

  private:
    enum class HostOp {
        Receive,
        Send,
        Count,
        Clear,
        SetBPS,
        SetBitRate,
        SetPortStatus,
        Line,
        FlowNone,
        GetStatus,
        Reopen,
        SwitchSpeed,
        Pause
    };

    Micros Now() const
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - m_start)
            .count();
    }
    void Log(int who, Micros b, Micros e, const std::string& text);
    void Fail(const std::string& why);
    bool Stopped() const { return m_stop.load() || m_model.Failed() || m_failed.load(); }
    std::string Report(bool passed, Micros at);

    void HostLoop(int thread);
    void HostCall(int thread, std::mt19937_64& rng, HostOp op);
    // A call the thread makes: begins it in the model and marks the thread busy.
    Micros Enter(int thread, PortModel::Op op);
    Micros Leave(int thread, Micros began);
    // The call ended within its bound, not counting the time the other thread's calls ran.
    void Bounded(int thread, const std::string& what, Micros b, Micros e, Micros bound);
    void PhoneLoop();
    HostOp Pick(std::mt19937_64& rng) const;

    RunOptions m_options;
    ModelRules m_rules;
    PortModel m_model;
    std::unique_ptr<Peer> m_peer;
    std::chrono::steady_clock::time_point m_start;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};

    std::mutex m_mutex; // guards what follows
    std::string m_failure;
    std::deque<std::string> m_log;
    std::array<Micros, kHostThreads> m_busySince{-1, -1};
    std::array<std::string, kHostThreads> m_busyWith;
    std::array<std::deque<std::pair<Micros, Micros>>, kHostThreads> m_busy;
    std::array<uint32_t, kHostThreads> m_nextSend{};
};

void Runner::Log(int who, Micros b, Micros e, const std::string& text)
{
    std::string line = "  " + Ms(b) + "-" + Ms(e) + " " +
                       (who >= 0 ? "[" + std::to_string(who) + "] " : std::string("[P] ")) + text;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.push_back(std::move(line));
    if (m_log.size() > kLogLength) {
        m_log.pop_front();
    }
}

void Runner::Fail(const std::string& why)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failure.empty()) {
        m_failure = why;
    }
    m_failed = true;
}

std::string Runner::Report(bool passed, Micros at)
{
    std::ostringstream out;
    const char* link = LinkName(m_options.link);
    out << "stress test on the " << link << " transport, seed " << m_options.seed << ", "
        << m_options.seconds << " s: ";
    PortModel::Stats s = m_model.GetStats();
    if (passed) {
        out << "passed. The phone wrote " << s.written << " bytes, the host received " << s.received
            << " (" << s.lost << " thrown away) in " << s.receives << " receives (" << s.timeouts
            << " failed, " << s.smallPlaced << " short ones placed by their "
            << "neighbours); " << s.clears << " clears, " << s.reopens << " reopens, "
            << s.speedChanges << " speed changes, " << s.sends << " sends (" << s.frames
            << " reached the phone whole).";
        return out.str();
    }
    std::string why;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        why = m_failure;
    }
    if (why.empty()) {
        why = m_model.Failure();
    }
    out << "FAILED at " << Ms(at) << " s\n  " << why << "\nreplay: ./dev.sh stress "
        << m_options.seconds << " " << m_options.seed << " " << link
        << "  (the seed repeats the schedule; the threads' timing differs from run to run)\n"
        << "the last calls (seconds since the start; [0] and [1] the host's threads, [P] the "
           "phone):\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string& line : m_log) {
        out << line << "\n";
    }
    for (int t = 0; t < kHostThreads; ++t) {
        if (m_busySince[t] >= 0) {
            out << "  " << Ms(m_busySince[t]) << "-     [" << t << "] " << m_busyWith[t]
                << " (not ended)\n";
        }
    }
    return out.str();
}

Micros Runner::Enter(int thread, PortModel::Op op)
{
    static const std::map<PortModel::Op, const char*> kNames = {
        {PortModel::Op::Receive, "a receive"},
        {PortModel::Op::Send, "PM_TxBytes"},
        {PortModel::Op::Count, "PM_InBufferCount"},
        {PortModel::Op::Clear, "PM_ClearBuffer"},
        {PortModel::Op::Reopen, "PM_ClosePort and an open"},
        {PortModel::Op::Speed, "a speed change"},
        {PortModel::Op::RxTimeout, "PM_SetRxTimeout"},
        {PortModel::Op::Other, "a line or status call"}};
    Micros b = Now();
    m_model.Begin(thread, op, b);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busySince[thread] = b;
    m_busyWith[thread] = kNames.at(op);
    return b;
}

Micros Runner::Leave(int thread, Micros began)
{
    Micros e = Now();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busySince[thread] = -1;
    m_busy[thread].emplace_back(began, e);
    if (m_busy[thread].size() > 256) {
        m_busy[thread].pop_front();
    }
    return e;
}

void Runner::Bounded(int thread, const std::string& what, Micros b, Micros e, Micros bound)
{
    Micros others = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int t = 0; t < kHostThreads; ++t) {
            if (t == thread) {
                continue;
            }
            for (const auto& [ob, oe] : m_busy[t]) {
                others += std::max<Micros>(0, std::min(e, oe) - std::max(b, ob));
            }
            if (m_busySince[t] >= 0) {
                others += std::max<Micros>(0, e - std::max(b, m_busySince[t]));
            }
        }
    }
    if (e - b - others > bound) {
        Fail(what + " (thread " + std::to_string(thread) + ") took " +
             std::to_string((e - b) / kMs) + " ms, " + std::to_string(others / kMs) +
             " of them beside the other thread's calls; " + "its bound is " +
             std::to_string(bound / kMs) + " ms");
    }
}

Runner::HostOp Runner::Pick(std::mt19937_64& rng) const
{
    // Weights in tenths of a percent; a Bluetooth close pauses 2 s, so it reopens less often.
    const int reopen = m_options.link == Link::Bluetooth ? 3 : 10;
    const std::array<std::pair<HostOp, int>, 13> weights = {{{HostOp::Receive, 300},
                                                             {HostOp::Send, 140},
                                                             {HostOp::Count, 100},
                                                             {HostOp::Clear, 50},
                                                             {HostOp::SetBPS, 50},
                                                             {HostOp::SetBitRate, 30},
                                                             {HostOp::SetPortStatus, 30},
                                                             {HostOp::Line, 50},
                                                             {HostOp::FlowNone, 10},
                                                             {HostOp::GetStatus, 50},
                                                             {HostOp::Reopen, reopen},
                                                             {HostOp::SwitchSpeed, 30},
                                                             {HostOp::Pause, 100}}};
    int total = 0;
    for (const auto& w : weights) {
        total += w.second;
    }
    int pick = static_cast<int>(rng() % static_cast<uint64_t>(total));
    for (const auto& w : weights) {
        if (pick < w.second) {
            return w.first;
        }
        pick -= w.second;
    }
    return HostOp::Pause;
}

void Runner::HostLoop(int thread)
{
    std::mt19937_64 rng(Mix(m_options.seed + 11 + static_cast<uint64_t>(thread)));
    while (!Stopped()) {
        HostCall(thread, rng, Pick(rng));
    }
}

void Runner::HostCall(int thread, std::mt19937_64& rng, HostOp op)
{
    auto below = [&](uint64_t n) { return rng() % n; };
    auto between = [&](int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(rng() % static_cast<uint64_t>(hi - lo + 1));
    };
    const Micros slack = 1000 * kMs * kSlow;
    const bool bluetooth = m_options.link == Link::Bluetooth;
    switch (op) {
    case HostOp::Receive: {
        int r = static_cast<int>(below(100));
        int32_t n = static_cast<int32_t>(r < 12   ? between(1, 3)
                                         : r < 60 ? between(4, 64)
                                         : r < 92 ? between(65, 4096)
                                                  : between(4097, bluetooth ? 16384 : 65536));
        int t = static_cast<int>(below(100));
        uint32_t timeout = static_cast<uint32_t>(t < 10   ? 0
                                                 : t < 45 ? between(1, 50)
                                                 : t < 85 ? between(51, 500)
                                                          : between(501, m_rules.mostTimeout));
        bool single = n == 1 && below(2) == 0;
        Micros b = Enter(thread, PortModel::Op::RxTimeout);
        int32_t set = PM_SetRxTimeout(timeout);
        Micros e = Leave(thread, b);
        m_model.RxTimeoutSet(thread, timeout, set == 1, b, e);
        Log(thread, b, e,
            "PM_SetRxTimeout(" + std::to_string(timeout) + ") -> " + std::to_string(set));
        Bounded(thread, "PM_SetRxTimeout", b, e, slack);
        std::vector<uint8_t> buf(static_cast<size_t>(n));
        b = Enter(thread, PortModel::Op::Receive);
        int32_t got = single ? PM_RxByte(buf.data()) : PM_RxBytes(n, buf.data());
        e = Leave(thread, b);
        PortModel::ReceiveBounds bounds = m_model.Received(thread, n, buf.data(), got == 1, b, e);
        std::string what =
            single ? std::string("PM_RxByte") : "PM_RxBytes(" + std::to_string(n) + ")";
        std::string where;
        if (bounds.first >= 0) {
            where = " at " + std::to_string(bounds.first) + ".." + std::to_string(bounds.last) +
                    (bounds.runs > 1 ? " in " + std::to_string(bounds.runs) + " pieces" : "");
        }
        Log(thread, b, e, what + " -> " + std::to_string(got) + where);
        Bounded(thread, what, b, e,
                (bluetooth ? 0 : static_cast<Micros>(bounds.maxTimeout) * kMs) + slack);
        break;
    }
    case HostOp::Send: {
        int r = static_cast<int>(below(100));
        uint16_t length = static_cast<uint16_t>(r < 70   ? between(0, 64)
                                                : r < 95 ? between(65, 1024)
                                                         : between(1025, 8192));
        uint32_t number = m_nextSend[thread]++;
        std::vector<uint8_t> frame = MakeFrame(thread, number, length);
        Micros b = Enter(thread, PortModel::Op::Send);
        int32_t sent = PM_TxBytes(static_cast<int32_t>(frame.size()), frame.data());
        Micros e = Leave(thread, b);
        m_model.Sent(thread, number, length, sent == 1, b, e);
        std::string what =
            "PM_TxBytes(" + std::to_string(frame.size()) + ") send " + std::to_string(number);
        Log(thread, b, e, what + " -> " + std::to_string(sent));
        // At the slowest line rate, plus the send time-out.
        Micros line = static_cast<Micros>(frame.size()) * 11 * 1000 * kMs / 600;
        Bounded(thread, what, b, e, line + 500 * kMs + 5 * slack);
        break;
    }
    case HostOp::Count: {
        Micros b = Enter(thread, PortModel::Op::Count);
        int32_t count = PM_InBufferCount();
        Micros e = Leave(thread, b);
        m_model.Counted(thread, count, b, e);
        Log(thread, b, e, "PM_InBufferCount() -> " + std::to_string(count));
        Bounded(thread, "PM_InBufferCount", b, e, slack);
        break;
    }
    case HostOp::Clear: {
        int64_t arrived = m_peer->Arrived(m_model, Now());
        Micros b = Enter(thread, PortModel::Op::Clear);
        int32_t result = PM_ClearBuffer();
        Micros e = Leave(thread, b);
        m_model.Cleared(thread, arrived, b, e);
        Log(thread, b, e,
            "PM_ClearBuffer() -> " + std::to_string(result) +
                " (arrived before: " + std::to_string(arrived) + ")");
        Bounded(thread, "PM_ClearBuffer", b, e, slack);
        break;
    }
    case HostOp::SetBPS:
    case HostOp::SetBitRate:
    case HostOp::SetPortStatus: {
        std::string what;
        uint32_t rate = 0;
        int32_t result = 0;
        Micros b = Enter(thread, PortModel::Op::Speed);
        if (op == HostOp::SetBPS) {
            uint32_t code = static_cast<uint32_t>(between(1, 9));
            rate = kCodeRates[code - 1];
            what = "PM_SetBPS(" + std::to_string(code) + ")";
            result = PM_SetBPS(code);
        } else if (op == HostOp::SetBitRate) {
            uint32_t asked = kBitRates[below(kBitRates.size())];
            // What a rate beyond the nine codes' leaves the line at is the driver's choice.
            rate = std::find(kCodeRates.begin(), kCodeRates.end(), asked) != kCodeRates.end()
                       ? asked
                       : 0;
            what = "PM_SetBitRate(" + std::to_string(asked) + ")";
            result = PM_SetBitRate(asked);
        } else {
            PM_PortStatus s{};
            s.nSpeedCode = static_cast<int32_t>(between(1, 9));
            s.nStopBits = 1;
            s.nParity = 2;
            s.nDataBits = 8;
            s.nRTS = static_cast<int32_t>(below(2));
            s.nDTR = static_cast<int32_t>(below(2));
            rate = kCodeRates[static_cast<size_t>(s.nSpeedCode) - 1];
            what = "PM_SetPortStatus(code " + std::to_string(s.nSpeedCode) + ", RTS " +
                   std::to_string(s.nRTS) + ", DTR " + std::to_string(s.nDTR) + ")";
            result = PM_SetPortStatus(&s);
        }
        Micros e = Leave(thread, b);
        m_model.SpeedChanged(thread, what, rate, result == 1, b, e);
        Log(thread, b, e, what + " -> " + std::to_string(result));
        Bounded(thread, what, b, e, slack);
        break;
    }
    case HostOp::Line:
    case HostOp::FlowNone:
    case HostOp::GetStatus: {
        std::string what;
        int32_t result = 0;
        Micros b = Enter(thread, PortModel::Op::Other);
        if (op == HostOp::FlowNone) {
            what = "PM_SetFlowControl(PM_FLOW_NONE)";
            result = PM_SetFlowControl(PM_FLOW_NONE);
        } else if (op == HostOp::GetStatus) {
            PM_PortStatus s{};
            what = "PM_GetPortStatus";
            result = PM_GetPortStatus(&s);
        } else {
            switch (below(4)) {
            case 0:
                what = "PM_SetRTS";
                result = PM_SetRTS();
                break;
            case 1:
                what = "PM_ClearRTS";
                result = PM_ClearRTS();
                break;
            case 2:
                what = "PM_SetDTR";
                result = PM_SetDTR();
                break;
            default:
                what = "PM_ClearDTR";
                result = PM_ClearDTR();
                break;
            }
        }
        Micros e = Leave(thread, b);
        m_model.Other(thread, what, result == 1, b, e);
        Log(thread, b, e, what + " -> " + std::to_string(result));
        Bounded(thread, what, b, e, slack);
        break;
    }
    case HostOp::Reopen: {
        int64_t arrived = m_peer->Arrived(m_model, Now());
        Micros b = Enter(thread, PortModel::Op::Reopen);
        int32_t closed = PM_ClosePort();
        int32_t opened = m_peer->Open();
        Micros e = Leave(thread, b);
        m_model.Reopened(thread, opened == 1, arrived, b, e);
        Log(thread, b, e,
            "PM_ClosePort() -> " + std::to_string(closed) + ", open -> " + std::to_string(opened));
        // A Bluetooth close pauses 2 s for the baseband.
        Bounded(thread, "close and open", b, e, (bluetooth ? 4000 : 2000) * kMs + 2 * slack);
        break;
    }
    case HostOp::SwitchSpeed: {
        // As a host switches the phone's speed: the command, a moment for the answer, the
        // switch.
        HostCall(thread, rng, HostOp::Send);
        std::this_thread::sleep_for(std::chrono::microseconds(between(500, 8000)));
        HostCall(thread, rng, below(2) == 0 ? HostOp::SetBPS : HostOp::SetPortStatus);
        break;
    }
    case HostOp::Pause: {
        std::this_thread::sleep_for(std::chrono::milliseconds(below(21)));
        break;
    }
    }
}

void Runner::PhoneLoop()
{
    std::mt19937_64 rng(Mix(m_options.seed + 7));
    std::mt19937_64 answerRng(Mix(m_options.seed + 8)); // apart, as answers come when they come
    auto between = [](std::mt19937_64& g, int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(g() % static_cast<uint64_t>(hi - lo + 1));
    };
    int answers = 0;

    FrameReader reader(
        [&](int thread, uint32_t number, uint16_t length) {
            m_model.PhoneGotFrame(thread, number, length, Now());
            ++answers;
        },
        [&](size_t bytes) { m_model.PhoneGotGarbage(bytes, Now()); });
    // Bluetooth's receive store holds 100 KiB: the phone stays below it, so the stack never has
    // to hold bytes back (the test cannot see how long it would).
    const bool bluetooth = m_options.link == Link::Bluetooth;
    const int64_t backlog = bluetooth ? 48 * 1024 : 8 << 20;
    int64_t pos = 0;
    auto burst = [&](int64_t size, const char* what) {
        std::vector<uint8_t> bytes = m_model.StreamBytes(pos, static_cast<size_t>(size));
        const Micros began = Now();
        int writes = 0;
        int64_t off = 0;
        while (off < size && !Stopped()) {
            m_model.PhoneWriting(pos + size, Now());
            Micros b = Now();
            size_t n = m_peer->Write(bytes.data() + off, static_cast<size_t>(size - off), 5);
            Micros e = Now();
            if (n > 0) {
                m_model.PhoneWrote(pos + off, pos + off + static_cast<int64_t>(n), b, e);
                off += static_cast<int64_t>(n);
                ++writes;
            }
            m_peer->Read(reader, 0);
        }
        Log(-1, began, Now(),
            std::string(what) + " positions " + std::to_string(pos) + " to " +
                std::to_string(pos + off - 1) + " in " + std::to_string(writes) + " writes");
        pos += off;
    };
    while (!Stopped()) {
        // A phone answers what the host sends at once: bytes that arrive while the host is busy.
        if (answers > 0) {
            answers = 0;
            if (answerRng() % 2 == 0) {
                burst(between(answerRng, 1, 64), "answered");
                continue;
            }
        }
        int r = static_cast<int>(rng() % 1000);
        int64_t size = r < 400     ? between(rng, 1, 16)
                       : r < 800   ? between(rng, 17, 512)
                       : r < 970   ? between(rng, 513, 16384)
                       : bluetooth ? between(rng, 16385, 40000)
                                   : between(rng, 1536 << 10, 3 << 20); // fills the queue
        int p = static_cast<int>(rng() % 100);
        Micros pause = p < 20 ? 0 : p < 60 ? between(rng, 0, 5) * kMs : between(rng, 5, 50) * kMs;
        while (!Stopped() && m_model.Backlog() > backlog) {
            m_peer->Read(reader, 5);
        }
        burst(size, "wrote");
        for (Micros until = Now() + pause; !Stopped() && Now() < until && answers == 0;) {
            m_peer->Read(reader, static_cast<int>(std::min<Micros>(5, (until - Now()) / kMs + 1)));
        }
    }
    // What the host sent last still reaches the phone.
    for (Micros until = Now() + 200 * kMs; Now() < until;) {
        m_peer->Read(reader, 5);
    }
}

RunResult Runner::Run()
{
    m_peer = Peer::Make(m_options.link);
    {
        Micros b = Enter(0, PortModel::Op::Reopen);
        int32_t opened = m_peer->Open();
        Micros e = Leave(0, b);
        m_model.Reopened(0, opened == 1, 0, b, e);
        Log(0, b, e, "open -> " + std::to_string(opened));
        if (opened != 1) {
            Fail("the port did not open");
            return {false, Report(false, Now())};
        }
    }
    const Micros length = static_cast<Micros>(m_options.seconds * 1e6);
    std::atomic<int> running{kHostThreads + 1};
    std::thread phone([&] {
        PhoneLoop();
        --running;
    });
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back([&, t] {
            HostLoop(t);
            --running;
        });
    }
    Micros failedAt = -1;
    while (running.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Micros now = Now();
        m_model.Tick(now);
        if (now >= length) {
            m_stop = true;
        }
        if (failedAt < 0 && (m_model.Failed() || m_failed.load())) {
            failedAt = now;
        }
        int hung = -1;
        Micros since = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int t = 0; t < kHostThreads; ++t) {
                if (m_busySince[t] >= 0 && now - m_busySince[t] > kHang) {
                    hung = t;
                    since = m_busySince[t];
                }
            }
        }
        if (hung >= 0) {
            Fail("a call of thread " + std::to_string(hung) + " has not ended after " +
                 std::to_string((now - since) / kMs) + " ms");
            std::fprintf(stderr, "%s\n", Report(false, now).c_str());
            std::fflush(stderr);
            std::_Exit(1); // a call that never ends cannot be joined
        }
    }
    phone.join();
    for (std::thread& t : hosts) {
        t.join();
    }
    if (failedAt < 0) {
        m_model.Finish(Now());
        if (m_model.Failed()) {
            failedAt = Now();
        }
    }
    PM_ClosePort();
    bool passed = failedAt < 0;
    return {passed, Report(passed, failedAt)};
}

} // namespace

RunResult RunStress(const RunOptions& options)
{
    Runner runner(options);
    return runner.Run();
}

double SecondsFromEnvironment(double otherwise)
{
    const char* text = std::getenv("PM_STRESS_SECONDS");
    double seconds = text != nullptr ? std::atof(text) : 0;
    return seconds > 0 ? seconds : otherwise;
}

std::optional<uint64_t> SeedFromEnvironment()
{
    const char* text = std::getenv("PM_STRESS_SEED");
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    return std::strtoull(text, nullptr, 0);
}

std::optional<Link> LinkFromEnvironment()
{
    const char* text = std::getenv("PM_STRESS_TRANSPORT");
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    for (Link link : {Link::Serial, Link::Modem, Link::Bluetooth}) {
        if (std::string(text) == LinkName(link)) {
            return link;
        }
    }
    return std::nullopt;
}

} // namespace stress
