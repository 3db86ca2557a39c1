// Waiting for a phone that is not plugged in yet, or was unplugged: pmctl looks for the device
// the user named, the way it would open it, until it is there and the system opens it.
#include <poll.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "CableTypes.h"
#include "Devices.h"
#include "Port.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

// How often the wait looks again: a phone takes far longer than this to come up.
constexpr auto kLookAgain = std::chrono::milliseconds(100);

// The path the options name now; empty when it is not there.
std::string presentPath(const PortOptions& options)
{
    if (options.usb) {
        std::string error;
        bool several = false;
        std::string path = findUsbDevice(*options.usb, error, &several);
        if (several) // waiting would not settle which one
            throw Failure(error);
        return path;
    }
    if (!options.device.empty()) {
        if (options.device.find('/') != std::string::npos) {
            struct stat st {};
            return ::stat(options.device.c_str(), &st) == 0 ? options.device : std::string();
        }
        for (const std::string& path : listDevices()) {
            if (std::filesystem::path(path).filename() == options.device)
                return path;
        }
        return {};
    }
    return options.cable ? deviceForCable(*options.cable).callout : std::string();
}

// "2", "0.5": a duration as the user gave it.
std::string seconds(std::chrono::milliseconds wait)
{
    std::string text = std::to_string(wait.count() / 1000.0);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.')
        text.pop_back();
    return text;
}

} // namespace

bool portHungUp()
{
    const int mode = PM_GetOpenMode();
    const int fd = PM_GetPortHandle();
    if ((mode != 1 && mode != 2) || PortMdlEnv.nCableType == 5 || fd < 0)
        return false;
    pollfd port{fd, 0, 0};
    return ::poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::string deviceDescription(const PortOptions& options)
{
    if (options.usb)
        return "the USB device " + options.usb->text();
    if (!options.device.empty())
        return options.device;
    if (options.cable)
        return "a device of cable type " + std::to_string(*options.cable) + " (" +
               cableLooksFor(*options.cable) + ")";
    return "the port";
}

std::string waitForDevice(const PortOptions& options, std::chrono::milliseconds wait,
                          const std::function<bool()>& quit,
                          const std::function<void(const std::string&)>& say)
{
    bool said = false;
    const auto start = std::chrono::steady_clock::now();
    std::string reason; // why the device, once there, did not open
    for (;;) {
        if (stopRequested())
            throw Stopped("stopped by a signal while waiting for " + deviceDescription(options));
        if (quit && quit())
            throw Stopped("stopped while waiting for " + deviceDescription(options));
        std::string path = presentPath(options);
        if (!path.empty()) {
            reason = openFailureReason(path);
            if (reason.empty())
                return path;
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        if (wait != kWaitUntilStopped && waited >= wait) {
            const std::string after = seconds(wait);
            if (!path.empty())
                throw Failure(path + " is there but did not open within " + after + " s: " + reason);
            throw Failure(deviceDescription(options) + " did not appear within " + after +
                          " s: is the phone plugged in? ('pmctl list -v' shows the devices)");
        }
        if (!said && say) {
            said = true;
            std::string text = "waiting for " + deviceDescription(options);
            if (wait != kWaitUntilStopped)
                text += " (up to " + seconds(wait) + " s)";
            say(text + (path.empty() ? "" : ": it is there but does not open yet: " + reason));
        }
        std::this_thread::sleep_for(kLookAgain);
    }
}

} // namespace pmctl
