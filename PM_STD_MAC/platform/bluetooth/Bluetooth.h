// The Bluetooth platform: devices, baseband connections, SDP queries and records, RFCOMM
// channels, the device selector panel, the host's front window and the OK/Cancel alert. The
// transport and the channel listing reach the stack only through these operations, named as the
// stack names them; Bluetooth() gives the backend in use.
//
// Backends: the simulated world of PM_BLUETOOTH_SIM (docs/bluetooth.md), else BlueZ, or none, in
// which case every operation fails cleanly (no device, panel cancelled, alert not shown).
//
// Threads. Every operation may be called from the host's thread. Callbacks (SDP completion,
// incoming channel data) arrive on a thread of the backend, never inside the call that asked for
// them. IOBluetoothRFCOMMChannelCloseChannel returns only once no data listener call of that
// channel is running or can start; it must not be called from within the listener. An operation
// that waits (a connection, a bus call, a write held by flow control, the alert) ends early, as a
// failure, once the calling thread's cancel descriptor (BluetoothCancel.h) becomes readable.
//
// Lifetimes. A reference from IOBluetoothDeviceCreateWithAddress or
// IOBluetoothDeviceOpenRFCOMMChannel is the caller's until IOBluetoothObjectRelease. Devices that
// the panel returns belong to the backend. Service records, their attribute lists and data
// elements that a device gives stay valid while the backend lives; a later query gives a new list
// and leaves the old one intact.
#ifndef PM_STD_MAC_PLATFORM_BLUETOOTH_H
#define PM_STD_MAC_PLATFORM_BLUETOOTH_H

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/IOReturn.h"

// A platform object: device, RFCOMM channel, service record or data element. Each backend
// derives its own kinds.
struct OpaqueIOBluetoothObjectRef {
  protected:
    OpaqueIOBluetoothObjectRef() = default;
    ~OpaqueIOBluetoothObjectRef() = default;
};
using BluetoothRef = OpaqueIOBluetoothObjectRef*;

using OSStatus = int32_t; // 0 success

// Six bytes in the order the address is written ("AA:...:01" is 0xAA first).
struct BluetoothDeviceAddress {
    uint8_t data[6];
};

// The SDP data element types, numbered as SDP numbers them.
enum : uint8_t {
    kBluetoothSDPDataElementTypeNil = 0,
    kBluetoothSDPDataElementTypeUnsignedInt = 1,
    kBluetoothSDPDataElementTypeSignedInt = 2,
    kBluetoothSDPDataElementTypeUUID = 3,
    kBluetoothSDPDataElementTypeString = 4,
    kBluetoothSDPDataElementTypeBoolean = 5,
    kBluetoothSDPDataElementTypeDataElementSequence = 6,
    kBluetoothSDPDataElementTypeDataElementAlternative = 7,
    kBluetoothSDPDataElementTypeURL = 8,
};

using BluetoothRefList = std::vector<BluetoothRef>;
// A record's attribute dictionary: attribute ID -> data element.
using BluetoothAttributeList = std::vector<std::pair<uint32_t, BluetoothRef>>;

using IOBluetoothSDPQueryCallback = void (*)(void* refCon, BluetoothRef device, IOReturn status);
using IOBluetoothRFCOMMDataListener = void (*)(BluetoothRef channel, void* data, uint16_t length,
                                               void* refCon);
using IOBluetoothConnectionCallback = void (*)(void* refCon, BluetoothRef device,
                                               IOReturn status);

// The selector panel's search attributes; the listing passes them all zero.
struct IOBluetoothDeviceSearchAttributes {
    uint8_t bytes[16];
};

using WindowRef = void*;
using DialogRef = void*;
inline constexpr uint32_t kStdCFStringAlertVersionOne = 1;
inline constexpr int16_t kAlertPlainAlert = 3;
inline constexpr int16_t kAlertStdAlertOKButton = 1;
inline constexpr int16_t kAlertStdAlertCancelButton = 2;
struct AlertStdCFStringAlertParamRec {
    uint32_t version;
    bool movable;
    bool showCancel; // the alert has a Cancel button besides OK
    int16_t defaultButton;
    int16_t cancelButton;
};

class BluetoothPlatform {
  public:
    virtual ~BluetoothPlatform() = default;

    // Devices and their baseband connection.
    virtual BluetoothRef IOBluetoothDeviceCreateWithAddress(const BluetoothDeviceAddress* a) = 0;
    virtual void IOBluetoothObjectRelease(BluetoothRef object) = 0;
    virtual const BluetoothDeviceAddress* IOBluetoothDeviceGetAddress(BluetoothRef device) = 0;
    virtual bool IOBluetoothDeviceIsConnected(BluetoothRef device) = 0;
    // With no callback, returns once connected (0) or failed.
    virtual IOReturn IOBluetoothDeviceOpenConnection(BluetoothRef device,
                                                     IOBluetoothConnectionCallback callback,
                                                     void* refCon) = 0;
    virtual IOReturn IOBluetoothDeviceCloseConnection(BluetoothRef device) = 0;
    virtual IOReturn IOBluetoothDeviceRequestAuthentication(BluetoothRef device) = 0;

    // SDP: the query completes on the backend's thread; the services are those of the latest
    // completed query (null when none).
    virtual IOReturn IOBluetoothDevicePerformSDPQuery(BluetoothRef device,
                                                      IOBluetoothSDPQueryCallback callback,
                                                      void* refCon) = 0;
    virtual const BluetoothRefList* IOBluetoothDeviceGetServices(BluetoothRef device) = 0;
    virtual IOReturn IOBluetoothSDPServiceRecordGetRFCOMMChannelID(BluetoothRef record,
                                                                   uint8_t* channelID) = 0;
    virtual const BluetoothAttributeList*
    IOBluetoothSDPServiceRecordGetAttributes(BluetoothRef record) = 0;
    virtual uint8_t IOBluetoothSDPDataElementGetTypeDescriptor(BluetoothRef element) = 0;
    // Integers and booleans.
    virtual int64_t IOBluetoothSDPDataElementGetNumberValue(BluetoothRef element) = 0;
    // Text and URLs, as UTF-8; null for other types.
    virtual const std::string* IOBluetoothSDPDataElementGetStringValue(BluetoothRef element) = 0;
    // The members of a sequence or alternative; null for other types.
    virtual const BluetoothRefList* IOBluetoothSDPDataElementGetArrayValue(BluetoothRef e) = 0;
    virtual BluetoothRef IOBluetoothSDPDataElementGetUUIDValue(BluetoothRef element) = 0;
    virtual std::span<const uint8_t> IOBluetoothSDPUUIDGetBytes(BluetoothRef uuid) = 0;

    // RFCOMM channels. A failed open may still store a reference, to be closed and released.
    virtual IOReturn IOBluetoothDeviceOpenRFCOMMChannel(BluetoothRef device, uint8_t channelID,
                                                        BluetoothRef* channel) = 0;
    virtual IOReturn
    IOBluetoothRFCOMMChannelRegisterIncomingDataListener(BluetoothRef channel,
                                                         IOBluetoothRFCOMMDataListener listener,
                                                         void* refCon) = 0;
    virtual IOReturn IOBluetoothRFCOMMChannelWriteSimple(BluetoothRef channel, const void* data,
                                                         uint16_t length, bool sleep,
                                                         uint32_t* numBytesSent) = 0;
    // Parity: 0 none, 1 odd, 2 even.
    virtual IOReturn IOBluetoothRFCOMMSetSerialParameters(BluetoothRef channel, uint32_t speed,
                                                          uint8_t dataBits, uint8_t parity,
                                                          uint8_t stopBits) = 0;
    virtual IOReturn IOBluetoothRFCOMMChannelCloseChannel(BluetoothRef channel) = 0;

    // The device selector panel: the devices picked, or null when the user cancelled.
    virtual BluetoothRef IOBluetoothGetDeviceSelectorController() = 0;
    virtual const BluetoothRefList*
    IOBluetoothDeviceSelectorRunPanelWithAttributes(BluetoothRef controller,
                                                    const IOBluetoothDeviceSearchAttributes* a) = 0;

    // The host's front window (null: none).
    virtual WindowRef FrontWindow() = 0;
    virtual void HideWindow(WindowRef window) = 0;
    virtual void ShowWindow(WindowRef window) = 0;

    // The standard modal alert. RunStandardAlert disposes of the dialog and gives the item hit.
    virtual OSStatus GetStandardAlertDefaultParams(AlertStdCFStringAlertParamRec* params,
                                                   uint32_t version) = 0;
    virtual OSStatus CreateStandardAlert(int16_t alertType, const char* error,
                                         const char* explanation,
                                         const AlertStdCFStringAlertParamRec* params,
                                         DialogRef* dialog) = 0;
    virtual OSStatus RunStandardAlert(DialogRef dialog, void* filter, int16_t* itemHit) = 0;
};

// A backend for a system without a desktop: no front window, and no alert can be shown.
class BluetoothWithoutDesktop : public BluetoothPlatform {
  public:
    WindowRef FrontWindow() override { return nullptr; }
    void HideWindow(WindowRef) override {}
    void ShowWindow(WindowRef) override {}
    OSStatus GetStandardAlertDefaultParams(AlertStdCFStringAlertParamRec*, uint32_t) override
    {
        return -1;
    }
    OSStatus CreateStandardAlert(int16_t, const char*, const char*,
                                 const AlertStdCFStringAlertParamRec*, DialogRef* dialog) override
    {
        if (dialog != nullptr) {
            *dialog = nullptr;
        }
        return -1;
    }
    OSStatus RunStandardAlert(DialogRef, void*, int16_t*) override { return -1; }
};

// The backend in use, chosen when the module first needs Bluetooth: the world file named by
// PM_BLUETOOTH_SIM, otherwise none. A world file that cannot be used is reported once on standard
// error and gives no backend.
BluetoothPlatform& Bluetooth();

// Owns the backend for the module's lifetime; the module defines one, constructed before and so
// destroyed after the Bluetooth device holder, which releases its device through the backend.
class BluetoothPlatformHolder {
  public:
    BluetoothPlatformHolder() = default;
    ~BluetoothPlatformHolder();
    BluetoothPlatformHolder(const BluetoothPlatformHolder&) = delete;
    BluetoothPlatformHolder& operator=(const BluetoothPlatformHolder&) = delete;

    BluetoothPlatform& Get();

  private:
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    BluetoothPlatform* m_pBackend = nullptr;
};

extern BluetoothPlatformHolder g_cBluetoothPlatform;

#endif
