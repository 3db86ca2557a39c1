// The HTML page of a full rolling log (1000 lines, written by the module against the cable
// simulator), beside the text transcript of the same log, measured in the same run. Both include
// decoding the log. With PM_BENCH_PAGE=FILE the page is also written there, for a browser's
// measurement (bench/html_render.sh).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "CableSim.h"
#include "LogHtml.h"
#include "LogReader.h"
#include "LogTranscript.h"
#include "portmdl/PortMdl.h"

namespace {

namespace fs = std::filesystem;

// Ten communications of forty AT exchanges, pauses and a time-out each: more than the rolling log
// keeps, so the file holds its full 1000 lines and begins inside a communication.
std::string writeFullLog()
{
    std::string templ = (fs::temp_directory_path() / "pm-bench-html-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr)
        return "";
    const fs::path dir = templ;
    pmsim::CableSim cable;
    cable.AddReply("AT\r", "\r\nOK\r\n");
    const std::string prefix = dir.string() + "/";
    PM_Log_SetUserInfo(prefix.c_str(), "bench-phone");
    const uint8_t at[] = {'A', 'T', '\r'};
    for (int comm = 0; comm < 10; ++comm) {
        if (!PM_OpenPortByDeviceName(cable.SlavePath().c_str()))
            break;
        PM_SetRxTimeout(3000);
        PM_SetBPS(8);
        PM_Log_WriteMessage("communication %d", comm);
        for (int i = 0; i < 40; ++i) {
            uint8_t answer[6];
            PM_TxBytes(3, at);
            PM_RxBytes(6, answer);
            PM_Log_SetSleepTime(50 + 10 * (i % 5));
        }
        PM_SetRxTimeout(20);
        uint8_t none;
        if (!PM_RxBytes(1, &none))
            PM_Log_TimeOutInBuf(20, 0);
        PM_ClosePort();
    }
    std::ifstream in(dir / "PM_LOG.dat", std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::error_code ec;
    fs::remove_all(dir, ec);
    return content;
}

const std::string& fullLog()
{
    static const std::string content = writeFullLog();
    return content;
}

bool haveFullLog(benchmark::State& state)
{
    size_t lines = 0;
    for (char c : fullLog())
        lines += c == '\n';
    if (lines != 1000) {
        state.SkipWithError(("the log has " + std::to_string(lines) + " lines, not 1000").c_str());
        return false;
    }
    return true;
}

void BM_TextTranscript(benchmark::State& state)
{
    if (!haveFullLog(state))
        return;
    size_t bytes = 0;
    for (auto _ : state) {
        std::ostringstream out;
        pmlog::TranscriptPrinter transcript(out);
        pmlog::streamLogContent(fullLog(), "PM_LOG.dat", false, transcript);
        bytes = out.str().size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["output_bytes"] = static_cast<double>(bytes);
    state.counters["log_bytes"] = static_cast<double>(fullLog().size());
}
BENCHMARK(BM_TextTranscript)->Unit(benchmark::kMillisecond);

void BM_HtmlPage(benchmark::State& state)
{
    if (!haveFullLog(state))
        return;
    std::string page;
    for (auto _ : state) {
        std::ostringstream out;
        pmlog::HtmlTimeline timeline(out);
        pmlog::streamLogContent(fullLog(), "PM_LOG.dat", false, timeline);
        page = out.str();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["output_bytes"] = static_cast<double>(page.size());
    state.counters["log_bytes"] = static_cast<double>(fullLog().size());
    if (const char* path = std::getenv("PM_BENCH_PAGE"))
        std::ofstream(path, std::ios::binary) << page;
}
BENCHMARK(BM_HtmlPage)->Unit(benchmark::kMillisecond);

} // namespace
