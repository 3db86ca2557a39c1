// Bluetooth addresses as text.
#ifndef PM_STD_MAC_PLATFORM_BLUETOOTHADDRESS_H
#define PM_STD_MAC_PLATFORM_BLUETOOTHADDRESS_H

#include <string>

#include "Bluetooth.h"

// "AA:BB:CC:DD:EE:01" (either case) to its six bytes in the order written.
bool ParseBluetoothAddress(const std::string& text, BluetoothDeviceAddress& address);
// Upper case, as traced and listed.
std::string BluetoothAddressText(const BluetoothDeviceAddress& address);

#endif
