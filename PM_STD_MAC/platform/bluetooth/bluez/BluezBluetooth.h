// The real stack: BlueZ. Devices, their connection and pairing through BlueZ's D-Bus API; SDP
// through libbluetooth on a thread per query; RFCOMM channels as sockets, each with a thread that
// hands incoming data to the listener. Linux has no device selector panel: the device named by
// PM_BLUETOOTH_DEVICE, else the only paired device, else none (cancelled). No front window, no
// alert.
#ifndef PM_STD_MAC_PLATFORM_BLUEZBLUETOOTH_H
#define PM_STD_MAC_PLATFORM_BLUEZBLUETOOTH_H

#include "platform/bluetooth/Bluetooth.h"

// The backend; it works with whatever the machine has, failing cleanly without BlueZ or without
// Bluetooth in the kernel.
BluetoothPlatform* MakeBluezBluetooth();

#endif
