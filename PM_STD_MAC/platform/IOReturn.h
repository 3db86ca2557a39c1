// The platform's result codes, shared by the stand-ins that answer with them (the driver user
// client and Bluetooth), so that one file may use both.
#ifndef PM_STD_MAC_PLATFORM_IORETURN_H
#define PM_STD_MAC_PLATFORM_IORETURN_H

#include <cstdint>

using kern_return_t = int32_t;
using IOReturn = kern_return_t; // 0 success

// With the values the platform gives them.
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);       // general error
inline constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD);    // no memory
inline constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);    // no such device
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2); // invalid argument
inline constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5); // held
inline constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CD);     // not open
inline constexpr IOReturn kIOReturnNotReady = static_cast<IOReturn>(0xE00002D8);    // not ready
inline constexpr IOReturn kIOReturnNotAttached = static_cast<IOReturn>(0xE00002D9); // not attached
inline constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2); // refused
inline constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0);    // not found

#endif
