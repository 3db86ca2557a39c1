// pmctl list, talk, cable-info, charge and log.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include <sys/ioctl.h>

#include "Commands.h"
#include "Devices.h"
#include "LogHtml.h"
#include "LogJson.h"
#include "LogReader.h"
#include "LogRecordsView.h"
#include "LogTranscript.h"
#include "Text.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

void printBytes(const char* label, const std::vector<uint8_t>& bytes)
{
    if (bytes.empty())
        std::cout << label << "(no bytes)\n";
    auto rows = hexRows(bytes.data(), bytes.size());
    for (size_t r = 0; r < rows.size(); ++r)
        std::cout << (r == 0 ? label : "    ") << rows[r] << "\n";
}

std::vector<uint8_t> receiveUntilQuiet(uint32_t quietMs)
{
    std::vector<uint8_t> got;
    auto last = std::chrono::steady_clock::now();
    for (;;) {
        int32_t waiting = PM_InBufferCount();
        if (waiting > 0) {
            size_t at = got.size();
            got.resize(at + waiting);
            if (!PM_RxBytes(waiting, got.data() + at))
                throw moduleFailure("receiving " + std::to_string(waiting) +
                                    " waiting bytes failed");
            last = std::chrono::steady_clock::now();
            continue;
        }
        // A line that never goes quiet still ends: at the largest count "recv" takes.
        if (std::chrono::steady_clock::now() - last >= std::chrono::milliseconds(quietMs) ||
            got.size() >= kMaxRecv || stopRequested())
            return got;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Until count bytes wait in the port or the receive time-out passes.
void awaitBytes(uint32_t count)
{
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(PM_GetRxTimeout());
    while (static_cast<uint32_t>(std::max(PM_InBufferCount(), 0)) < count &&
           std::chrono::steady_clock::now() < deadline && !stopRequested())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void runStep(const Step& step, bool awaitReceives)
{
    switch (step.kind) {
    case Step::Send:
        if (!PM_TxBytes(static_cast<int32_t>(step.bytes.size()), step.bytes.data()))
            throw moduleFailure(step.source + ": send failed");
        printBytes("SD> ", step.bytes);
        break;
    case Step::Recv: {
        if (awaitReceives)
            awaitBytes(step.number);
        std::vector<uint8_t> buffer(step.number);
        if (!PM_RxBytes(static_cast<int32_t>(step.number), buffer.data())) {
            int32_t err = PM_GetCommErr();
            uint32_t timeout = PM_GetRxTimeout();
            int32_t waiting = PM_InBufferCount();
            PM_Log_TimeOutInBuf(timeout, 0); // as a host does, so that the log shows it
            std::cout << "RD< time-out: " << waiting << " of " << step.number
                      << " bytes arrived within " << timeout << " ms\n";
            throw Failure(step.source + ": " + std::to_string(waiting) + " of " +
                          std::to_string(step.number) + " bytes arrived within " +
                          std::to_string(timeout) + " ms (module error " + moduleErrorText(err) +
                          "); raise the time-out with a 'timeout MS' step before it, or use "
                          "'recvall'");
        }
        printBytes("RD< ", buffer);
        break;
    }
    case Step::RecvAll: {
        uint32_t quiet = PM_GetRxTimeout();
        auto got = receiveUntilQuiet(quiet);
        if (got.empty())
            std::cout << "RD< (nothing within " << quiet << " ms)\n";
        else
            printBytes("RD< ", got);
        break;
    }
    case Step::Timeout:
        if (!PM_SetRxTimeout(step.number))
            throw moduleFailure(step.source + ": the port refused the receive time-out");
        std::cout << "receive time-out " << step.number << " ms\n";
        break;
    case Step::TxTimeout:
        if (!PM_SetTxTimeout(step.number))
            throw moduleFailure(step.source + ": the port refused the send time-out");
        std::cout << "send time-out " << step.number << " ms\n";
        break;
    case Step::Speed:
        if (!PM_SetBPS(step.number))
            throw moduleFailure(step.source + ": the port refused the speed");
        std::cout << "speed " << speedBps(step.number) << " bps (code " << step.number << ")\n";
        break;
    case Step::Rts:
    case Step::Dtr: {
        bool rts = step.kind == Step::Rts;
        const char* line = rts ? "RTS" : "DTR";
        int32_t ok = rts ? (step.on ? PM_SetRTS() : PM_ClearRTS())
                         : (step.on ? PM_SetDTR() : PM_ClearDTR());
        if (!ok)
            throw moduleFailure(step.source + ": the port refused to switch " + line);
        std::string refusal = lineChangeRefusal(rts ? TIOCM_RTS : TIOCM_DTR, step.on);
        if (!refusal.empty())
            std::cout << line << " " << (step.on ? "raise" : "lower") << " refused: " << refusal
                      << "\n";
        else
            std::cout << line << " " << (step.on ? "raised" : "lowered") << "\n";
        break;
    }
    case Step::Sleep:
        PM_Sleep(step.number);
        std::cout << "pause " << step.number << " ms\n";
        break;
    case Step::Clear:
        PM_ClearBuffer();
        std::cout << "receive buffer cleared\n";
        break;
    case Step::Note:
        PM_Log_WriteMessage("%s", step.text.c_str());
        std::cout << "note: " << step.text << "\n";
        break;
    case Step::Status: {
        PM_PortStatus s{};
        if (!PM_GetPortStatus(&s))
            throw moduleFailure("status: the port status could not be read");
        std::cout << "status: speed code " << s.nSpeedCode << " (" << speedBps(s.nSpeedCode)
                  << " bps), stop bits " << s.nStopBits << ", parity "
                  << (s.nParity == 2   ? "none"
                      : s.nParity == 3 ? "odd"
                                       : "even")
                  << ", data bits " << (s.nDataBits == 7 ? 7 : 8) << ", RTS "
                  << (s.nRTS == 1 ? "on" : "off") << ", DTR " << (s.nDTR == 1 ? "on" : "off")
                  << "\n";
        break;
    }
    }
}

std::string describeOpen(const PortOptions& port, const std::string& path)
{
    std::string text = path.empty() ? "cable type " + std::to_string(*port.cable) : path;
    return "port open: " + text + " (receive time-out " + std::to_string(port.rxTimeout) + " ms)";
}

} // namespace

int runList(const std::regex* filter)
{
    auto devices = listDevices();
    if (const char* registry = std::getenv("PM_SERIAL_REGISTRY");
        registry != nullptr && *registry) {
        std::error_code ec;
        if (!std::filesystem::is_directory(registry, ec)) {
            std::cerr << "pmctl: PM_SERIAL_REGISTRY=" << registry
                      << " is not a folder: the module lists no devices then. Make it a folder of "
                         "links to devices, or unset it for the system's serial devices\n";
            return 1;
        }
        std::cout << "serial devices from PM_SERIAL_REGISTRY=" << registry << ":\n";
        if (devices.empty()) {
            std::cout << "none: the folder is empty; a link in it is a device (ln -s /dev/ttyACM0 "
                      << registry << "/usbmodem1)\n";
            return 0;
        }
    }
    if (devices.empty()) {
        std::cout << kNoSerialDevices;
        return 0;
    }
    // A device name may hold any byte but '/' and NUL: a line feed or an escape sequence printed
    // raw could forge lines or drive the terminal.
    size_t shown = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (filter != nullptr && !std::regex_search(devices[i], *filter))
            continue;
        std::cout << "  " << i << "  " << escapeForDisplay(devices[i]) << "\n";
        ++shown;
    }
    if (shown == 0)
        std::cout << "none of the " << devices.size() << " serial devices matches the filter\n";
    return 0;
}

int runTalk(const PortOptions& port, const std::vector<Step>& steps)
{
    std::string path = openPort(port);
    PortGuard guard;
    std::cout << describeOpen(port, path) << "\n";
    runSteps(steps, false);
    guard.close();
    std::cout << "port closed\n";
    return 0;
}

void runSteps(const std::vector<Step>& steps, bool awaitReceives)
{
    for (const Step& step : steps) {
        stopIfRequested();
        runStep(step, awaitReceives);
    }
    stopIfRequested();
}

int runCableInfo(const PortOptions& port)
{
    std::string path = openPort(port);
    PortGuard guard;
    std::cout << describeOpen(port, path) << "\n";
    uint16_t info[3] = {0, 0, 0};
    int32_t ok = withProgress("asking the cable who it is (AT dialogue)",
                              [&] { return PM_IsChargableCable(info); });
    if (!ok) {
        throw moduleFailure("the cable did not identify itself",
                            "only a serial data cable answers the check; try 'pmctl talk ... "
                            "send \"AT\\r\" recvall' to see whether it answers at all");
    }
    std::cout << "cable info: " << info[0] << " " << info[1] << " " << info[2] << "\n";
    stopIfRequested(); // a stop signal during the dialogue ends the command as documented
    guard.close();
    return 0;
}

int runCharge(const PortOptions& port, bool on)
{
    std::string path = openPort(port);
    PortGuard guard;
    std::cout << describeOpen(port, path) << "\n";
    int32_t ok = withProgress(on ? "switching charging on (AT dialogue)"
                                 : "switching charging off (AT dialogue)",
                              [&] { return on ? PM_ChargeEnable() : PM_ChargeDisable(); });
    if (!ok) {
        throw moduleFailure(std::string("the charge command was not sent"),
                            "only a serial data cable takes it");
    }
    std::cout << "charging " << (on ? "on" : "off") << ": command sent\n";
    stopIfRequested(); // a stop signal during the dialogue ends the command as documented
    guard.close();
    return 0;
}

int runLog(const std::string& fileOrFolder, bool records)
{
    // Streamed: a log of any size is printed as it is read.
    if (records) {
        pmlog::RecordsPrinter printer(std::cout);
        pmlog::streamLog(fileOrFolder, printer);
    } else {
        pmlog::TranscriptPrinter printer(std::cout);
        pmlog::streamLog(fileOrFolder, printer);
    }
    return 0;
}

int runLogHtml(const std::string& fileOrFolder, const std::string& output)
{
    // Streamed like the transcript: the page is written as the log is read.
    const std::string name = output.empty() ? "-" : output;
    pmlog::saveHtmlPage(name, [&](pmlog::LogSink& page) { pmlog::streamLog(fileOrFolder, page); });
    if (name != "-")
        std::cerr << "wrote " << name << "\n";
    return 0;
}

int runLogJson(const std::string& fileOrFolder)
{
    pmlog::JsonLines lines(std::cout);
    pmlog::streamLog(fileOrFolder, lines);
    return std::cout ? 0 : 1;
}

} // namespace pmctl
