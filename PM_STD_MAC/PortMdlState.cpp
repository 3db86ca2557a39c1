// The port state shared by the exported functions, the error model, and the exported functions that
// only read or set that state.
#include "PortMdlState.h"

#include "CommBaseForMAC.h"
#include "CommLog.h"
#include "PortLock.h"
#include "SysErr.h"

namespace {

// The system error recorded in the exported call now running and not yet taken by a failure.
// Every writer holds the port lock.
int g_nPendingSysErr = 0;

} // namespace

void RecordSysErr(int err)
{
    // The first is the cause; what the clean-up after it meets is not.
    if (g_nPendingSysErr == 0) {
        g_nPendingSysErr = err;
    }
}

int TakeSysErr()
{
    int err = g_nPendingSysErr;
    g_nPendingSysErr = 0;
    return err;
}

void ForgetSysErr()
{
    g_nPendingSysErr = 0;
}

PM_Env PortMdlEnv = {0, 0};

EI_CommBaseForMAC* TheCommBase = nullptr;
int32_t g_bIsOpen = 0;
std::atomic<int32_t> g_nOpenMode = 0;
PM_ErrRecord TheCurrErr = {PM_ERR_NONE, 0, 0};
std::atomic<uint32_t> TheWriteTimeOut = 500;
std::atomic<uint32_t> TheReadTimeOut = 500;
std::atomic<uint32_t> TheCommSetBps = 1;
std::atomic<uint32_t> TheCommSetRate = 0;

int setPortMdlErr(int32_t code, int32_t line)
{
    LogFileData.SetCommPortErr(code, line);
    TheCurrErr.nErrCode = code;
    TheCurrErr.nSysErr = TakeSysErr();
    TheCurrErr.nLine = line;
    return 0;
}

int setPortAPIErr(int32_t apiLine, int32_t moduleLine)
{
    LogFileData.SetCommAPIErr(PM_ERR_APICALL, apiLine);
    return setPortMdlErr(PM_ERR_TRANSPORT, moduleLine);
}

int solvePortOpenErr(int32_t code, int32_t line, int closeTransport)
{
    if (closeTransport == 1 && TheCommBase != nullptr) {
        TheCommBase->Close();
        delete TheCommBase;
        TheCommBase = nullptr;
    }
    LogFileData.SetCommAPIErr(PM_ERR_APICALL, line);
    LogFileData.PM_LogWriteInternalInfo();
    LogFileData.PM_LogClose();
    TheCurrErr.nErrCode = code;
    TheCurrErr.nSysErr = TakeSysErr();
    // A failed open's line is the one its summary shows in the port-API slot.
    TheCurrErr.nLine = line;
    return 0;
}

extern "C" {

int32_t PM_SetInfo(const int32_t* env)
{
    PortLock port;
    if (env == nullptr) {
        return 0;
    }
    PortMdlEnv.nCableType = env[0];
    PortMdlEnv.nHostWord = env[1];
    // Nothing reaches the log until the next open starts a communication.
    LogFileData.SetFileOpenYN(0);
    return 1;
}

int32_t PM_CountPorts(void)
{
    return 1;
}

int32_t PM_GetPortHandle(void)
{
    PortLock port;
    return TheCommBase == nullptr ? -1 : TheCommBase->GetPortHandle();
}

int32_t PM_GetPortName(char* /*name*/)
{
    return 1;
}

int32_t PM_GetOpenMode(void)
{
    return g_nOpenMode;
}

int32_t PM_GetCommErr(void)
{
    return TheCurrErr.nErrCode;
}

void PM_ClearCommErr(void)
{
    PortLock port;
    TheCurrErr.nErrCode = PM_ERR_NONE;
    TheCurrErr.nSysErr = 0;
    TheCurrErr.nLine = 0;
    if (TheCommBase != nullptr) {
        TheCommBase->EI_ClearLastError();
    }
}

uint32_t PM_GetVersion(void)
{
    return PORTMDL_VERSION_NUMBER;
}

int32_t PM_GetSysErr(void)
{
    return TheCurrErr.nSysErr;
}

int32_t PM_GetErrLine(void)
{
    return TheCurrErr.nLine;
}

const char* PM_GetErrText(int32_t code)
{
    switch (code) {
    case PM_ERR_NONE:
        return "no error";
    case PM_ERR_CREATE:
        return "the transport could not be created";
    case PM_ERR_TIMEOUT:
        return "timed out: the bytes did not arrive, or the phone stopped taking them";
    case PM_ERR_OPEN:
        return "the device did not open";
    case PM_ERR_INVALID:
        return "no port is open, or an argument is invalid";
    case PM_ERR_TRANSPORT:
        return "the device refused the operation";
    case PM_ERR_SEND:
        return "the device refused the send";
    case PM_ERR_APICALL:
        return "a device call failed";
    default:
        return "unknown error code";
    }
}

int32_t PM_IsErrTimeOut(void)
{
    return TheCurrErr.nErrCode == PM_ERR_TIMEOUT ? 1 : 0;
}

void PM_SetCommEngErr(int32_t code, const char* moduleText, int32_t line, const char* lastModify)
{
    LogFileData.SetCommEngErr(code, moduleText, line, lastModify);
}

} // extern "C"
