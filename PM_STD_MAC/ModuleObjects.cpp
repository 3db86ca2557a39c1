// The module's long-lived objects, defined in one place so that they are built in a fixed order
// when the library loads: the shared receive queue, then the log (whose constructor starts the
// millisecond clock), then the Bluetooth platform and the device holder that releases its device
// through it when the library unloads.
#include "CommBaseBluetooth.h"
#include "CommBaseForMAC.h"
#include "CommLog.h"
#include "PortMdlState.h"
#include "platform/bluetooth/Bluetooth.h"
#include "platform/usb/UserClient.h"

EI_RingBuff EI_CommBaseForMAC::g_cRingBuff(32768);
CCommLog LogFileData;
BluetoothPlatformHolder g_cBluetoothPlatform;
EI_CommBaseBluetooth::MyBluetoothDevice EI_CommBaseBluetooth::g_myBluetoothDevice;

namespace {

// A host that unloads the library (or exits) with a port still open would leave the reader
// thread running in code about to be unmapped. The port is closed first, as PM_ClosePort would
// (the reader is joined, the device given back, the log saved). Made after the objects above, so
// destroyed before them, whether at dlclose or at exit. Objects of other source files are made in
// an order of the linker's choosing: each one an open port uses is made on first use, and first
// used here, so that it too is destroyed after the closer and not under a running reader.
struct PortCloserAtUnload {
    PortCloserAtUnload()
    {
        EI_CommBaseForMAC::CancelFd(); // the cancel signal a close raises
        UserClientTableReady();        // the modem driver's connections
    }
    PortCloserAtUnload(const PortCloserAtUnload&) = delete;
    PortCloserAtUnload& operator=(const PortCloserAtUnload&) = delete;
    ~PortCloserAtUnload()
    {
        if (TheCommBase != nullptr) {
            PM_ClosePort();
        }
    }
};

PortCloserAtUnload g_cPortCloser;

} // namespace
