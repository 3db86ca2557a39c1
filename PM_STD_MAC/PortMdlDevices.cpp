// The serial devices of the system, for the host's device list and for the open path.
#include "PortMdlDevices.h"

#include <cstring>

#include "PortLock.h"
#include "platform/serial/SerialRegistry.h"
#include "portmdl/PortMdl.h"

char g_DeviceNames[kMaxDevices][kDevicePathSize];
int32_t g_nNumDevices = 0;

namespace {

// Copies a registry property into a fixed buffer as an ASCII string. Fails, writing nothing, when
// the property is missing, is not plain ASCII, or does not fit with its terminating zero.
bool convertProperty(const std::optional<std::string>& value, char* out, size_t size)
{
    if (!value || value->size() >= size) {
        return false;
    }
    for (unsigned char c : *value) {
        if (c == 0 || c > 0x7F) {
            return false;
        }
    }
    std::memcpy(out, value->c_str(), value->size() + 1);
    return true;
}

} // namespace

int getDeviceName(char* name, int index)
{
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    char matches[kMaxPatternMatches][kDevicePathSize];
    for (auto& m : matches) {
        m[0] = '\0';
    }
    auto devices = QuerySerialRegistry();
    if (!devices) {
        return 0;
    }
    const size_t patternLength = std::strlen(name);
    int found = 0;
    for (const auto& device : *devices) {
        if (found == kMaxPatternMatches) {
            break;
        }
        char ttyName[kTtyNameSize];
        if (!convertProperty(device.ttyDevice, ttyName, sizeof ttyName)) {
            continue;
        }
        if (std::strncmp(ttyName, name, patternLength) != 0) {
            continue;
        }
        // A match counts even when its callout path is unusable; its entry then stays empty.
        convertProperty(device.calloutDevice, matches[found], kDevicePathSize);
        ++found;
    }
    if (found == 0) {
        return 0;
    }
    // An index beyond the candidates names a match that does not exist: the empty path.
    const char* chosen = (index >= 0 && index < kMaxPatternMatches) ? matches[index] : "";
    std::memcpy(name, chosen, std::strlen(chosen) + 1);
    return 1;
}

extern "C" int32_t PM_CountDevices(void)
{
    PortLock port;
    g_nNumDevices = 0;
    auto devices = QuerySerialRegistry();
    if (!devices) {
        return 0;
    }
    for (auto& entry : g_DeviceNames) {
        entry[0] = '\0';
    }
    for (const auto& device : *devices) {
        if (g_nNumDevices == kMaxDevices) {
            break;
        }
        char ttyName[kTtyNameSize];
        if (!convertProperty(device.ttyDevice, ttyName, sizeof ttyName)) {
            continue;
        }
        ++g_nNumDevices;
        convertProperty(device.calloutDevice, g_DeviceNames[g_nNumDevices - 1], kDevicePathSize);
    }
    return g_nNumDevices;
}

extern "C" int32_t PM_GetDeviceName(int32_t index, char* name, int32_t size)
{
    PortLock port;
    if (index < 0 || index >= g_nNumDevices || name == nullptr || size < 1) {
        return 0;
    }
    std::memset(name, 0, static_cast<size_t>(size));
    std::strncpy(name, g_DeviceNames[index], static_cast<size_t>(size) - 1);
    return 1;
}
