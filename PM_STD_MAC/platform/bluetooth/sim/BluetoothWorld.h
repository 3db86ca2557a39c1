// The simulated Bluetooth world: what a world file (docs/bluetooth.md) describes, checked against
// its schema.
#ifndef PM_STD_MAC_PLATFORM_BLUETOOTHWORLD_H
#define PM_STD_MAC_PLATFORM_BLUETOOTHWORLD_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bluetooth/Bluetooth.h"
#include "platform/bluetooth/BluetoothAddress.h"
#include "platform/bluetooth/BluetoothRecords.h"

struct WorldDevice {
    BluetoothDeviceAddress address{};
    std::string addressText; // upper case, as traced
    bool connected = false;
    int64_t connectFailures = 0;     // -1: always
    bool needsPairing = false;
    int64_t channelOpenFailures = 0; // -1: always
    int64_t writeFailures = 0;       // -1: always
    uint32_t chunk = 1024;
    bool sdpStartFails = false;
    int64_t sdpDelayMs = 50; // -1: never completes
    int64_t sdpFromQuery = 1;
    BluetoothRefList records; // null entries are null records
    // The phone behind every channel.
    enum Phone { Echo, Replies, Send, Socket } phone = Echo;
    bool echo = true;
    std::vector<std::pair<std::string, std::string>> replies;
    std::string send;
    uint32_t repeat = 1;
    std::string socket; // a program listening there plays the phone, one connection a channel
};

struct BluetoothWorld {
    std::optional<BluetoothDeviceAddress> panel; // nullopt: the panel is cancelled
    enum Alert { Ok, Cancel, None } alert = None;
    uint32_t alertMs = 500;
    bool frontWindow = false;
    std::string trace;
    std::vector<WorldDevice> devices;
    BluetoothRecordStore store; // the devices' records and their data elements
};

// Parses a world file's text. On failure returns false with error saying where ("line 3, column
// 7" for the syntax, a JSON pointer such as "/devices/0/chunk" for the schema) and why.
bool ParseBluetoothWorld(const std::string& text, BluetoothWorld& world, std::string& error);


#endif
