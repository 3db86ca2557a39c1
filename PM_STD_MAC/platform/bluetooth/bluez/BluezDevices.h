// The devices BlueZ knows, through its D-Bus API on the system bus (org.bluez, Device1): their
// addresses, names, pairing and baseband connection, and the calls that connect, disconnect and
// pair. Every call is bounded in time; where no system bus or no BlueZ answers, calls fail at once.
#ifndef PM_STD_MAC_PLATFORM_BLUEZDEVICES_H
#define PM_STD_MAC_PLATFORM_BLUEZDEVICES_H

#include <pthread.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/Bluetooth.h"

struct sd_bus;

struct BluezDevice {
    std::string path; // the D-Bus object, e.g. /org/bluez/hci0/dev_AA_BB_CC_DD_EE_01
    BluetoothDeviceAddress address{};
    std::string name; // the alias, else the name, else empty
    bool paired = false;
    bool connected = false;
};

class BluezDevices {
  public:
    BluezDevices(); // connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the default)
    ~BluezDevices();
    BluezDevices(const BluezDevices&) = delete;
    BluezDevices& operator=(const BluezDevices&) = delete;

    // The devices, in BlueZ's order; nullopt when BlueZ does not answer. Entries whose properties
    // have unexpected types or an address that is none are left out.
    std::optional<std::vector<BluezDevice>> List();
    std::optional<BluezDevice> Find(const BluetoothDeviceAddress& address);
    // nullopt when the device's state cannot be read.
    std::optional<bool> IsConnected(const std::string& path);
    // 0 (also when the device already is in the state asked for), or a negative errno-style code
    // (BlueZ's own errors become -EIO, except "NotAvailable": -ENOPROTOOPT. Connect answers that
    // for a phone none of whose profiles the computer implements, a phone's serial ports among
    // them, though the phone is in reach.)
    int Connect(const std::string& path);
    int Disconnect(const std::string& path);
    int Pair(const std::string& path);

  private:
    int call(const std::string& path, const char* method, uint64_t timeoutUsec,
             const char* alreadyDone);

    sd_bus* m_bus = nullptr;
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER; // sd-bus objects are not thread-safe
};

#endif
