// Bluetooth addresses as text.
#ifndef PM_STD_MAC_PLATFORM_BLUETOOTHADDRESS_H
#define PM_STD_MAC_PLATFORM_BLUETOOTHADDRESS_H

#include <string>

#include "Bluetooth.h"

// "AA:BB:CC:DD:EE:01" (either case) to its six bytes in the order written.
bool ParseBluetoothAddress(const std::string& text, BluetoothDeviceAddress& address);
// 0 to 15 for a hex digit of either case, -1 for any other character.
int HexDigitValue(char c);
// Upper case, as traced and listed.
std::string BluetoothAddressText(const BluetoothDeviceAddress& address);

#endif
