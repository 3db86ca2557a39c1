// Choosing the Bluetooth backend, and the backend used when there is none (also in a build
// without BlueZ, PM_WITH_BLUETOOTH=OFF).
#include "Bluetooth.h"

#include <cstdlib>
#include <new>

#include "platform/bluetooth/sim/BluetoothSim.h"
#if PM_WITH_BLUEZ
#include "platform/bluetooth/bluez/BluezBluetooth.h"
#endif

namespace {

// No stack: nothing is found, nothing opens, the panel is cancelled and no alert is shown.
class NoBluetooth final : public BluetoothWithoutDesktop {
  public:
    BluetoothRef IOBluetoothDeviceCreateWithAddress(const BluetoothDeviceAddress*) override
    {
        return nullptr;
    }
    void IOBluetoothObjectRelease(BluetoothRef) override {}
    const BluetoothDeviceAddress* IOBluetoothDeviceGetAddress(BluetoothRef) override
    {
        return nullptr;
    }
    bool IOBluetoothDeviceIsConnected(BluetoothRef) override { return false; }
    IOReturn IOBluetoothDeviceOpenConnection(BluetoothRef, IOBluetoothConnectionCallback,
                                             void*) override
    {
        return kIOReturnNotOpen;
    }
    IOReturn IOBluetoothDeviceCloseConnection(BluetoothRef) override { return kIOReturnNotOpen; }
    IOReturn IOBluetoothDeviceRequestAuthentication(BluetoothRef) override
    {
        return kIOReturnNotOpen;
    }
    IOReturn IOBluetoothDevicePerformSDPQuery(BluetoothRef, IOBluetoothSDPQueryCallback,
                                              void*) override
    {
        return kIOReturnNotOpen;
    }
    const BluetoothRefList* IOBluetoothDeviceGetServices(BluetoothRef) override { return nullptr; }
    IOReturn IOBluetoothSDPServiceRecordGetRFCOMMChannelID(BluetoothRef, uint8_t*) override
    {
        return kIOReturnNotFound;
    }
    const BluetoothAttributeList* IOBluetoothSDPServiceRecordGetAttributes(BluetoothRef) override
    {
        return nullptr;
    }
    uint8_t IOBluetoothSDPDataElementGetTypeDescriptor(BluetoothRef) override
    {
        return kBluetoothSDPDataElementTypeNil;
    }
    int64_t IOBluetoothSDPDataElementGetNumberValue(BluetoothRef) override { return 0; }
    const std::string* IOBluetoothSDPDataElementGetStringValue(BluetoothRef) override
    {
        return nullptr;
    }
    const BluetoothRefList* IOBluetoothSDPDataElementGetArrayValue(BluetoothRef) override
    {
        return nullptr;
    }
    BluetoothRef IOBluetoothSDPDataElementGetUUIDValue(BluetoothRef) override { return nullptr; }
    std::span<const uint8_t> IOBluetoothSDPUUIDGetBytes(BluetoothRef) override { return {}; }
    IOReturn IOBluetoothDeviceOpenRFCOMMChannel(BluetoothRef, uint8_t,
                                                BluetoothRef* channel) override
    {
        if (channel != nullptr) {
            *channel = nullptr;
        }
        return kIOReturnNotOpen;
    }
    IOReturn IOBluetoothRFCOMMChannelRegisterIncomingDataListener(BluetoothRef,
                                                                  IOBluetoothRFCOMMDataListener,
                                                                  void*) override
    {
        return kIOReturnNotOpen;
    }
    IOReturn IOBluetoothRFCOMMChannelWriteSimple(BluetoothRef, const void*, uint16_t, bool,
                                                 uint32_t*) override
    {
        return kIOReturnNotOpen;
    }
    IOReturn IOBluetoothRFCOMMSetSerialParameters(BluetoothRef, uint32_t, uint8_t, uint8_t,
                                                  uint8_t) override
    {
        return kIOReturnNotOpen;
    }
    IOReturn IOBluetoothRFCOMMChannelCloseChannel(BluetoothRef) override
    {
        return kIOReturnNotOpen;
    }
    BluetoothRef IOBluetoothGetDeviceSelectorController() override { return nullptr; }
    const BluetoothRefList*
    IOBluetoothDeviceSelectorRunPanelWithAttributes(BluetoothRef,
                                                    const IOBluetoothDeviceSearchAttributes*) override
    {
        return nullptr;
    }
};

NoBluetooth g_noBluetooth;

} // namespace

BluetoothPlatformHolder::~BluetoothPlatformHolder()
{
    if (m_pBackend != &g_noBluetooth) {
        delete m_pBackend; // stops the backend's threads
    }
    m_pBackend = nullptr;
}

BluetoothPlatform& BluetoothPlatformHolder::Get()
{
    pthread_mutex_lock(&m_mutex);
    if (m_pBackend == nullptr) {
        const char* world = std::getenv("PM_BLUETOOTH_SIM");
        if (world != nullptr && *world != '\0') {
            m_pBackend = LoadBluetoothWorld(world);
        } else {
#if PM_WITH_BLUEZ
            try {
                m_pBackend = MakeBluezBluetooth();
            } catch (...) {
                m_pBackend = nullptr; // out of memory: no Bluetooth
            }
#endif
        }
        if (m_pBackend == nullptr) {
            m_pBackend = &g_noBluetooth;
        }
    }
    BluetoothPlatform* backend = m_pBackend;
    pthread_mutex_unlock(&m_mutex);
    return *backend;
}

BluetoothPlatform& Bluetooth()
{
    return g_cBluetoothPlatform.Get();
}
