// The module's long-lived objects, defined in one place so that they are built in a fixed order
// when the library loads: the shared receive queue, then the log (whose constructor starts the
// millisecond clock), then the Bluetooth platform and the device holder that releases its device
// through it when the library unloads.
#include "CommBaseBluetooth.h"
#include "CommBaseForMAC.h"
#include "CommLog.h"
#include "PortMdlState.h"
#include "platform/Bluetooth.h"

EI_RingBuff EI_CommBaseForMAC::g_cRingBuff(32768);
CCommLog LogFileData;
BluetoothPlatformHolder g_cBluetoothPlatform;
EI_CommBaseBluetooth::MyBluetoothDevice EI_CommBaseBluetooth::g_myBluetoothDevice;

// A host that unloads the library with a port still open would leave the reader thread running
// in code about to be unmapped. The port is closed first, as PM_ClosePort would (the reader is
// joined, the device given back, the log saved): destructor functions run before the objects
// above are destroyed.
__attribute__((destructor)) static void ClosePortAtUnload()
{
    if (TheCommBase != nullptr) {
        PM_ClosePort();
    }
}
