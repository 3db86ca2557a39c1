// Serial device enumeration inside the port API: the device table of the last PM_CountDevices and
// the pattern lookup that the open path uses to find its device.
#ifndef PM_STD_MAC_PORTMDLDEVICES_H
#define PM_STD_MAC_PORTMDLDEVICES_H

#include <cstdint>

constexpr int kMaxDevices = 256;      // entries of g_DeviceNames
constexpr int kDevicePathSize = 256;  // bytes per callout path, terminating zero included
constexpr int kTtyNameSize = 128;     // bytes per terminal name, terminating zero included
constexpr int kMaxPatternMatches = 5; // candidates getDeviceName chooses among

// Callout paths of the last enumeration; entries from g_nNumDevices on are not valid.
extern char g_DeviceNames[kMaxDevices][kDevicePathSize];
extern int32_t g_nNumDevices;

// On entry name holds a pattern; it must hold kDevicePathSize bytes. Looks for the serial devices
// whose terminal name begins with the pattern (case-sensitive; the first kMaxPatternMatches in
// registry order are candidates). If any matched, name becomes the callout path of match number
// index (0 = first) and the result is 1; that path is empty when there is no such match or the
// device has no usable callout path. Otherwise (no match, empty pattern, failed query) the result
// is 0 and name is left as it was.
int getDeviceName(char* name, int index);

#endif
