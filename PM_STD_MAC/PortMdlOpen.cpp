// Opening and closing the module's one port: by cable type, by device path, and the close that
// undoes either.
#include <cstring>
#include <new>

#include "CommBaseFOMA.h"
#include "CommBaseUNIX.h"
#include "CommLog.h"
#include "PortLock.h"
#include "PortMdlDevices.h"
#include "PortMdlState.h"

namespace {

const char kSource[] = "PM_STD_MAC/PortMdl";
const char kModemDriverClass[] = "ORVUDSCDMADriver"; // cable type 5 opens this driver's client

struct OpenLines {
    int32_t open, writeTimeOut, readTimeOut;
};

// One row of the cable-type table.
struct CableRow {
    int32_t cableType;
    const char* pattern;  // device-name prefix to search; nullptr: the modem driver, no search
    const char* fallback; // second prefix when the first finds nothing, or nullptr
    int matchIndex;       // 0 first match, 1 second
    int evenParity;
};

const CableRow kCableTable[] = {
    {3, "ORVUUSBP", nullptr, 0, 1},    {4, "ORVUUSBC", nullptr, 0, 1},
    {5, nullptr, nullptr, 0, 0},       {8, "ORVUDSCDMA", nullptr, 0, 1},
    {1002, "usbmodem", nullptr, 0, 0}, {1003, "kestrel-cable", "usbserial", 0, 0},
    {1004, "usbmodem", nullptr, 1, 0},
};

const CableRow* FindCableRow(int32_t cableType)
{
    for (const CableRow& row : kCableTable) {
        if (row.cableType == cableType) {
            return &row;
        }
    }
    return nullptr;
}

// Installs, opens and configures a new transport; the log records the outcome.
int32_t OpenTransport(EI_CommBaseForMAC* transport, const char* path, int32_t cableType,
                      int32_t portNo, const OpenLines& lines)
{
    TheCommBase = transport;
    if (TheCommBase == nullptr) {
        return solvePortOpenErr(PM_ERR_CREATE, PM_LINE_OPEN_CREATE, 0);
    }
    TheCommBase->m_nRxTimeout = gRxTimeout;
    TheCommBase->m_nRxSleepTime = gRxSleepTime;
    if (TheCommBase->Open(path) == 0) {
        delete TheCommBase;
        TheCommBase = nullptr;
        return solvePortOpenErr(PM_ERR_OPEN, lines.open, 0);
    }
    PM_ClearBuffer();
    if (TheCommBase->SetWriteTimeOut(TheWriteTimeOut) == 0) {
        return solvePortOpenErr(PM_ERR_TRANSPORT, lines.writeTimeOut, 1);
    }
    // A new transport waits 0 ms on receives until the host sets its receive time-out.
    if (TheCommBase->SetReadTimeOut(0) == 0) {
        return solvePortOpenErr(PM_ERR_TRANSPORT, lines.readTimeOut, 1);
    }
    PM_Log_WriteMessage("PM_OpenPort Successful [%s]", path);
    LogFileData.SetCableInfo(cableType, portNo);
    g_bIsOpen = 1;
    return 1;
}

} // namespace

void BeginOpen(int32_t openMode)
{
    if (g_bIsOpen == 1) {
        PM_ClosePort();
    }
    g_nOpenMode = openMode;
    storeCurrErr(PM_ERR_NONE, 0, 0);
    if (TheCommBase != nullptr) {
        TheCommBase->EI_ClearLastError();
        // A transport that a failed Bluetooth open left behind holds nothing open: it is
        // replaced, not leaked.
        delete TheCommBase;
        TheCommBase = nullptr;
    }
    LogFileData.PM_LogOpen(0);
}

extern "C" int32_t PM_OpenPort(int32_t portNo)
{
    PortLock port;
    BeginOpen(1);
    int32_t cableType = PortMdlEnv.nCableType;
    const CableRow* row = FindCableRow(cableType);
    if (row == nullptr) {
        // A cable type the host should never give: nothing is opened, and the log communication
        // just started is summarised and ended rather than left open.
        PM_WriteAssertion(kSource, static_cast<unsigned>(PM_LINE_OPEN_CABLE));
        LogFileData.PM_LogWriteInternalInfo();
        LogFileData.PM_LogClose();
        return 0;
    }
    const OpenLines lines = {PM_LINE_OPEN_OPEN, PM_LINE_OPEN_WRITETIMEOUT,
                             PM_LINE_OPEN_READTIMEOUT};
    if (row->pattern == nullptr) {
        return OpenTransport(new (std::nothrow) EI_CommBaseFOMA(), kModemDriverClass, cableType,
                             portNo, lines);
    }
    char path[kDevicePathSize] = {};
    std::strcpy(path, row->pattern);
    if (getDeviceName(path, row->matchIndex) == 0) {
        if (row->fallback == nullptr) {
            return 0;
        }
        std::strcpy(path, row->fallback);
        if (getDeviceName(path, row->matchIndex) == 0) {
            return 0;
        }
    }
    return OpenTransport(new (std::nothrow) EI_CommBaseUNIX(row->evenParity), path, cableType,
                         portNo, lines);
}

extern "C" int32_t PM_OpenPortByDeviceName(const char* path)
{
    PortLock port;
    BeginOpen(2);
    return OpenTransport(
        new (std::nothrow) EI_CommBaseUNIX(0), path, PortMdlEnv.nCableType, 0,
        {PM_LINE_OPENBYNAME_OPEN, PM_LINE_OPENBYNAME_WRITETIMEOUT, PM_LINE_OPENBYNAME_READTIMEOUT});
}

namespace {

// The close itself, with the port held.
int32_t ClosePortHeld()
{
    int32_t code = PM_ERR_NONE;
    if (TheCommBase == nullptr) {
        code = PM_ERR_INVALID;
    } else {
        if (TheCommBase->Close() == 0) {
            LogFileData.SetCommAPIErr(PM_ERR_APICALL, PM_LINE_CLOSE_API);
            code = PM_ERR_TRANSPORT;
        }
        delete TheCommBase;
        TheCommBase = nullptr;
    }
    LogFileData.PM_LogWriteInternalInfo();
    LogFileData.PM_LogClose();
    g_bIsOpen = 0;
    if (code != PM_ERR_NONE) {
        return setPortMdlErr(code, PM_LINE_CLOSE);
    }
    return 1;
}

} // namespace

extern "C" int32_t PM_ClosePort(void)
{
    // The close is under way before it asks: the call it ends ran beside it, so the close's own
    // result (no port, after a listing) never replaces what that call's thread reads.
    CallBegins();
    // A close asked for while another thread holds the port: the request ends that thread's
    // waiting receive or send before the close waits for the port. It is withdrawn while the port
    // is still held, so no wait can have begun that would miss a later close's request.
    EI_CommBaseForMAC::BeginCancel();
    PortLock port;
    int32_t result = ClosePortHeld();
    EI_CommBaseForMAC::EndCancel();
    return result;
}
