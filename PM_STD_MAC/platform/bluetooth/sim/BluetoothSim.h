// The simulated Bluetooth backend: a world read from a JSON file (docs/bluetooth.md), played on
// threads of its own as a real stack plays its devices.
#ifndef PM_STD_MAC_PLATFORM_BLUETOOTHSIM_H
#define PM_STD_MAC_PLATFORM_BLUETOOTHSIM_H

#include "platform/bluetooth/Bluetooth.h"

// The backend for the world file at path, or null after one line on standard error saying why
// the file cannot be used (with its position in the file).
BluetoothPlatform* LoadBluetoothWorld(const char* path) noexcept;

#endif
