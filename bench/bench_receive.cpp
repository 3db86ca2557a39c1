// The receive path: bytes from a transport's device to PM_RxBytes returning, beside a plain
// blocking read on the same kind of pipe, measured in the same run.
//
// Latency: a phone thread answers each one-byte request with 16 bytes; the host waits for them.
// Throughput: a phone thread sends 1 MiB; the host takes it in exact 16-byte receives.
// The reader thread polls, so CPU time is measured for the whole process.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../tests/PipeTransport.h"
#include "PortMdlState.h"

namespace {

constexpr int kAnswer = 16;
constexpr size_t kStream = 1 << 20;
constexpr int kPiece = 16;

bool readFully(int fd, unsigned char* buf, size_t n)
{
    for (size_t at = 0; at < n;) {
        ssize_t r = read(fd, buf + at, n - at);
        if (r <= 0) {
            return false;
        }
        at += static_cast<size_t>(r);
    }
    return true;
}

bool writeFully(int fd, const unsigned char* buf, size_t n)
{
    for (size_t at = 0; at < n;) {
        ssize_t w = write(fd, buf + at, n - at);
        if (w <= 0) {
            return false;
        }
        at += static_cast<size_t>(w);
    }
    return true;
}

// The phone: for each request byte on its request pipe it writes a reply to `out`, 16 bytes for
// 'a', 1 MiB for 's'; any other byte ends it.
class Phone {
  public:
    explicit Phone(int out) : m_out(out)
    {
        if (pipe2(m_request, O_CLOEXEC) != 0) {
            m_request[0] = m_request[1] = -1;
        }
        m_thread = std::thread([this] { run(); });
    }
    ~Phone()
    {
        unsigned char quit = 'q';
        writeFully(m_request[1], &quit, 1);
        m_thread.join();
        close(m_request[0]);
        close(m_request[1]);
    }
    void Ask(unsigned char what) { writeFully(m_request[1], &what, 1); }

  private:
    void run()
    {
        std::vector<unsigned char> stream(kStream);
        for (size_t i = 0; i < kStream; ++i) {
            stream[i] = static_cast<unsigned char>(i * 7);
        }
        unsigned char what;
        while (readFully(m_request[0], &what, 1)) {
            if (what == 'a') {
                writeFully(m_out, stream.data(), kAnswer);
            } else if (what == 's') {
                writeFully(m_out, stream.data(), kStream);
            } else {
                return;
            }
        }
    }

    int m_out;
    int m_request[2];
    std::thread m_thread;
};

// The port on the pipe transport, with its reader running (16 bytes per read pass, as the serial
// transport reads), opened once for the whole run.
struct OpenPort {
    OpenPort()
    {
        transport = new PipeTransport(16);
        transport->Open("bench");
        TheCommBase = transport;
        PM_SetRxTimeout(10000);
    }
    ~OpenPort()
    {
        TheCommBase->Close();
        delete TheCommBase;
        TheCommBase = nullptr;
    }
    PipeTransport* transport;
};

PipeTransport& port()
{
    static OpenPort open;
    return *open.transport;
}

// The baseline's device: a plain pipe read with blocking reads.
struct PlainPipe {
    PlainPipe()
    {
        if (pipe2(fds, O_CLOEXEC) != 0) {
            fds[0] = fds[1] = -1;
        }
    }
    ~PlainPipe()
    {
        close(fds[0]);
        close(fds[1]);
    }
    int fds[2];
};

void BM_Latency_BlockingRead(benchmark::State& state)
{
    PlainPipe device;
    Phone phone(device.fds[1]);
    unsigned char buf[kAnswer];
    for (auto _ : state) {
        phone.Ask('a');
        if (!readFully(device.fds[0], buf, kAnswer)) {
            state.SkipWithError("read failed");
            break;
        }
    }
}

void BM_Latency_RxBytes(benchmark::State& state)
{
    PipeTransport& t = port();
    Phone phone(t.PhoneWriteFd());
    uint8_t buf[kAnswer];
    for (auto _ : state) {
        phone.Ask('a');
        if (!PM_RxBytes(kAnswer, buf)) {
            state.SkipWithError("receive failed");
            break;
        }
    }
}

void BM_Throughput_BlockingRead(benchmark::State& state)
{
    PlainPipe device;
    Phone phone(device.fds[1]);
    unsigned char buf[kPiece];
    for (auto _ : state) {
        phone.Ask('s');
        for (size_t at = 0; at < kStream; at += kPiece) {
            if (!readFully(device.fds[0], buf, kPiece)) {
                state.SkipWithError("read failed");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStream));
}

void BM_Throughput_RxBytes(benchmark::State& state)
{
    PipeTransport& t = port();
    Phone phone(t.PhoneWriteFd());
    uint8_t buf[kPiece];
    for (auto _ : state) {
        phone.Ask('s');
        for (size_t at = 0; at < kStream; at += kPiece) {
            if (!PM_RxBytes(kPiece, buf)) {
                state.SkipWithError("receive failed");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStream));
}

} // namespace

BENCHMARK(BM_Latency_BlockingRead)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_Latency_RxBytes)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_Throughput_BlockingRead)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput_RxBytes)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
