// The module's long-lived objects, defined in one place so that they are built in a fixed order
// when the library loads: the shared receive queue, then the log (whose constructor starts the
// millisecond clock), then the Bluetooth platform and the device holder that releases its device
// through it when the library unloads.
#include "CommBaseBluetooth.h"
#include "CommBaseForMAC.h"
#include "CommLog.h"
#include "PortMdlState.h"
#include "platform/bluetooth/Bluetooth.h"

EI_RingBuff EI_CommBaseForMAC::g_cRingBuff(32768);
CCommLog LogFileData;
BluetoothPlatformHolder g_cBluetoothPlatform;
EI_CommBaseBluetooth::MyBluetoothDevice EI_CommBaseBluetooth::g_myBluetoothDevice;

namespace {

// A host that unloads the library (or exits) with a port still open would leave the reader
// thread running in code about to be unmapped. The port is closed first, as PM_ClosePort would
// (the reader is joined, the device given back, the log saved). Made after the objects above, so
// destroyed before them, whether at dlclose or at exit.
struct PortCloserAtUnload {
    // The cancel signal a close raises is made first, so it outlives the closer.
    PortCloserAtUnload() { EI_CommBaseForMAC::CancelFd(); }
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
