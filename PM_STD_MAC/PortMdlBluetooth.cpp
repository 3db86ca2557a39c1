// The exported Bluetooth functions: listing a phone's usable channels, and opening one of them as
// the module's port (closed with PM_ClosePort like any other).
#include <new>

#include "CommBaseBluetooth.h"
#include "CommLog.h"
#include "PortLock.h"
#include "PortMdlState.h"
#include "platform/bluetooth/BluetoothCancel.h"

extern "C" int32_t PM_CountBluetoothChannels(uint8_t* address,
                                             int (*progress)(const char*, int, int))
{
    PortLock port; // the listing logs and records errors, as a port call does
    // A close on another thread ends the stack's waits too, not only the listing's own pauses.
    BluetoothCancelScope cancellable(EI_CommBaseForMAC::CancelFd());
    int count = 0;
    // Beside an open port the listing writes into that port's communication: starting its own
    // would finish the port's, and the port's later records and summary would be lost.
    const bool ownCommunication = LogFileData.GetFileOpenYN() != 1;
    if (ownCommunication) {
        LogFileData.PM_LogOpen(0);
    }
    try {
        count = EI_CommBaseBluetooth::CountChannels(address, progress);
    } catch (...) {
        // Only memory can run out here; the listing then found nothing.
        count = 0;
        EI_CommBaseBluetooth::g_nLastError = EI_ERR_BT_CHANNEL;
    }
    if (count < 1) {
        // A close asked for on another thread ended the listing: as a time-out does.
        bool cancelled = EI_CommBaseBluetooth::g_nLastError == EI_ERR_TIMEOUT;
        setPortMdlErr(cancelled ? PM_ERR_TIMEOUT : PM_ERR_OPEN, PM_LINE_BLUETOOTH_COUNT);
    }
    if (ownCommunication) {
        LogFileData.PM_LogClose();
    }
    return count;
}

extern "C" int32_t PM_OpenBluetoothChannel(int32_t index)
{
    PortLock port;
    if (g_bIsOpen == 1) {
        PM_ClosePort();
    }
    BluetoothCancelScope cancellable(EI_CommBaseForMAC::CancelFd());
    BeginOpen(3);
    auto* transport = new (std::nothrow) EI_CommBaseBluetooth(1);
    TheCommBase = transport;
    if (transport == nullptr) {
        return setPortMdlErr(PM_ERR_OPEN, PM_LINE_BLUETOOTH_OPEN);
    }
    int opened = 0;
    try {
        opened = transport->OpenChannel(index);
    } catch (...) {
        transport->Close();
        opened = 0;
    }
    if (opened == 1) {
        g_bIsOpen = 1;
        return 1;
    }
    // A close asked for on another thread ended the open: as a time-out does.
    bool cancelled = EI_CommBaseBluetooth::g_nLastError == EI_ERR_TIMEOUT;
    return setPortMdlErr(cancelled ? PM_ERR_TIMEOUT : PM_ERR_OPEN, PM_LINE_BLUETOOTH_OPEN);
}
