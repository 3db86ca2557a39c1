#include "Port.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "CableTypes.h"
#include "Devices.h"
#include "ErrorNames.h"
#include "Modem.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

std::string resolveDevice(const std::string& device)
{
    if (device.find('/') != std::string::npos)
        return device;
    // A bare name: the listed device whose file name it is, as "pmctl list" shows it.
    for (const std::string& path : listDevices()) {
        if (std::filesystem::path(path).filename() == device)
            return path;
    }
    throw Failure("no listed serial device is named '" + device +
                  "': 'pmctl list' shows the devices; or give the device's full path");
}

void setUpLog(const PortOptions& options)
{
    namespace fs = std::filesystem;
    std::string folder = options.logFolder;
    std::error_code ec;
    auto status = fs::status(folder, ec);
    if (status.type() == fs::file_type::not_found) {
        throw Failure("log folder '" + folder + "' does not exist: create it first (mkdir -p " +
                      folder + ")");
    }
    if (!fs::is_directory(status)) {
        throw Failure("log folder '" + folder + "' is not a folder" +
                      (ec ? " (" + ec.message() + ")" : std::string()) +
                      ": give --log the folder to write PM_LOG.dat into");
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        throw Failure("cannot write to log folder '" + folder + "': choose a folder you own");
    if (folder.back() != '/')
        folder += '/'; // the module puts the file names right after the folder
    if (folder.size() > 1014) {
        throw Failure("log folder path is " + std::to_string(folder.size()) +
                      " characters long; the module takes at most 1014: use a shorter path");
    }
    PM_Log_SetUserInfo(folder.c_str(), options.phoneId.c_str());
}

// Set by the signal handler on whichever thread the signal lands, read by the command's thread.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores to it");

void onStopSignal(int)
{
    int savedErrno = errno; // the interrupted code may be about to read it
    g_stop.store(true);
    static const char note[] = "\npmctl: stopping after the module call in progress; the port is "
                               "closed and the log saved (press again to quit at once)\n";
    ssize_t r = ::write(STDERR_FILENO, note, sizeof note - 1);
    (void)r;
    errno = savedErrno;
}

} // namespace

bool knownCableType(int32_t type)
{
    return !cableLooksFor(type).empty();
}

std::string cableTypesHelp()
{
    std::string help = "Cable types that --cable opens on its own (PM_SetInfo + PM_OpenPort):\n";
    std::vector<int32_t> types = {kModemCable};
    for (const CableSearch& s : kCableSearches)
        types.push_back(s.type);
    std::sort(types.begin(), types.end());
    for (int32_t type : types) {
        std::string number = std::to_string(type);
        help += "  " + number + std::string(6 - number.size(), ' ') + cableLooksFor(type) + "\n";
    }
    return help + "With --device, --cable only sets the cable type (10: sends in pieces of 50\n"
                  "bytes, receives byte by byte) and the device given is opened.";
}

std::string moduleErrorText(int32_t code)
{
    std::string text = std::to_string(code);
    if (const ModuleError* error = findModuleError(code); error && code != PM_ERR_APICALL)
        text += std::string(" ") + error->constant + ": " + PM_GetErrText(code);
    return text;
}

Failure moduleFailure(const std::string& what, const std::string& hint)
{
    // The module's code says what failed; the system's error, when there was one, says why.
    std::string text = what + " (module error " + moduleErrorText(PM_GetCommErr());
    if (int32_t sys = PM_GetSysErr(); sys != 0)
        text += std::string("; system: ") + std::strerror(sys);
    text += ")";
    if (!hint.empty())
        text += "; " + hint;
    return Failure(text);
}

std::string openPort(const PortOptions& given, const std::function<bool()>& quit,
                     const std::function<void(const std::string&)>& say)
{
    PortOptions options = given;
    if (options.wait) {
        auto toStderr = [](const std::string& text) { std::fprintf(stderr, "pmctl: %s\n", text.c_str()); };
        std::string path = waitForDevice(options, *options.wait, quit, say ? say : toStderr);
        // A cable type still opens by its own search; a named device opens where it was found.
        if (!options.device.empty() || options.usb) {
            options.device = path;
            options.usb.reset();
        }
    }
    if (options.usb) {
        std::string error;
        options.device = findUsbDevice(*options.usb, error);
        if (options.device.empty())
            throw Failure(error);
    }
    if (!options.logFolder.empty())
        setUpLog(options);
    if (options.cable) {
        int32_t env[2] = {*options.cable, 0};
        PM_SetInfo(env);
    }
    if (!options.device.empty()) {
        std::string path = resolveDevice(options.device);
        if (!PM_OpenPortByDeviceName(path.c_str())) {
            // The module says only that the device did not open; the system knows why.
            std::string reason = openFailureReason(path);
            throw moduleFailure("cannot open " + path,
                                !reason.empty() ? reason
                                                : "check that no other program holds the port (it "
                                                  "is opened exclusively) and that you may use it "
                                                  "(group 'dialout')");
        }
        if (!PM_SetRxTimeout(options.rxTimeout)) {
            PortGuard guard;
            throw moduleFailure("the port refused a receive time-out of " +
                                std::to_string(options.rxTimeout) + " ms");
        }
        return path;
    }
    if (!options.cable)
        throw Failure("say which port: --device PATH (see 'pmctl list') or --cable TYPE");
    const int32_t cable = *options.cable;
    const std::string looksFor = cableLooksFor(cable);
    if (looksFor.empty()) {
        throw Failure("cable type " + std::to_string(*options.cable) +
                      " cannot be opened by type; known types: 3 4 5 8 1002 1003 1004 (see "
                      "--help), or add --device PATH to open a device with that cable type");
    }
    if (!PM_OpenPort(0)) {
        int32_t err = PM_GetCommErr();
        if (err == PM_ERR_NONE) {
            // The module leaves the log communication of a failed search open: end it here so
            // that the log is saved.
            PM_ClosePort();
            throw Failure("no serial device for cable type " + std::to_string(cable) +
                          ": it opens " + looksFor +
                          ". 'pmctl list' shows the devices; PM_SERIAL_REGISTRY may name a "
                          "folder of links to devices, or use --device PATH");
        }
        CablePick picked = deviceForCable(cable);
        if (cable == 1004 && picked.matches == 1) {
            throw moduleFailure("cable type 1004 opens " + looksFor + ", and only one is present: "
                                "the phone's second port is missing",
                                "--cable 1002 opens the first one; 'pmctl list -v' shows the "
                                "devices");
        }
        std::string reason = picked.callout.empty() ? "" : openFailureReason(picked.callout);
        throw moduleFailure("cannot open the port of cable type " + std::to_string(cable) +
                                " (it opens " + looksFor + ")",
                            cable == kModemCable ? modemOpenHint()
                            : !reason.empty()          ? reason
                                                       : "'pmctl list -v' shows the devices; check "
                                                         "that no other program holds the device "
                                                         "and that you may use it (group 'dialout')");
    }
    if (!PM_SetRxTimeout(options.rxTimeout)) {
        PortGuard guard;
        throw moduleFailure("the port refused a receive time-out of " +
                            std::to_string(options.rxTimeout) + " ms");
    }
    return {};
}

void closePort()
{
    if (!PM_ClosePort())
        throw moduleFailure("closing the port failed");
}

PortGuard::~PortGuard()
{
    if (m_open)
        PM_ClosePort();
}

void PortGuard::close()
{
    m_open = false;
    closePort();
}

int32_t withProgress(const std::string& label, const std::function<int32_t()>& work)
{
    if (!::isatty(STDERR_FILENO))
        return work();
    std::atomic<bool> done{false};
    int32_t result = 0;
    std::thread worker([&] {
        result = work();
        done.store(true, std::memory_order_release);
    });
    const char spin[] = {'|', '/', '-', '\\'};
    auto start = std::chrono::steady_clock::now();
    for (unsigned i = 0; !done.load(std::memory_order_acquire); ++i) {
        if (stopRequested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue; // the spinner would overwrite the note of the stop
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "\r%c %s %.1f s", spin[i % 4], label.c_str(), seconds);
        std::fflush(stderr);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    worker.join();
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    return result;
}

std::vector<std::string> listDevices()
{
    std::vector<std::string> devices;
    int32_t count = PM_CountDevices();
    for (int32_t i = 0; i < count; ++i) {
        char name[256];
        if (PM_GetDeviceName(i, name, sizeof name))
            devices.emplace_back(name);
    }
    return devices;
}

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    // Restarted calls keep a module call that the signal lands in from failing half-way.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    ::sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored on purpose (nohup, a background job) stays ignored.
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            ::sigaction(sig, &action, nullptr);
    }
}

bool stopRequested()
{
    return g_stop.load();
}

void stopIfRequested()
{
    if (stopRequested())
        throw Failure("stopped by a signal");
}

} // namespace pmctl
