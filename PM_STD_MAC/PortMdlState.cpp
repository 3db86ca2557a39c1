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

// Ticks once as each outermost exported call begins and once as it ends, so that the order of
// calls on different threads can be told.
std::atomic<uint64_t> g_nCallClock = 0;

// One host thread's calls. Trivially destructible: nothing to run at thread exit or at unload.
struct ThreadCalls {
    uint64_t start; // when the running outermost call began; 0 between calls
    uint64_t end;   // when the thread's last call ended; 0 before its first
    int depth;      // PortLocks the thread holds
    int32_t code, sysErr, line; // the error record as that last call left it
};
thread_local ThreadCalls t_calls = {0, 0, 0, 0, 0, 0};

// Whether the calling thread reads the record its own last call left rather than the current
// one: it is between calls, and no call begun after that one ended has stored a record since.
// A call that began earlier ran beside it (it waited for the port meanwhile, or it is the close
// that ended it): what it stored is its caller's, not this thread's.
bool readsOwnRecord()
{
    return t_calls.depth == 0 && t_calls.end != 0 && TheCurrErr.nCallStart < t_calls.end;
}

} // namespace

void CallBegins()
{
    if (t_calls.start == 0) {
        t_calls.start = ++g_nCallClock;
    }
}

void EnterCall()
{
    CallBegins();
    ++t_calls.depth;
}

void LeaveCall()
{
    if (--t_calls.depth > 0) {
        return;
    }
    t_calls.code = TheCurrErr.nErrCode;
    t_calls.sysErr = TheCurrErr.nSysErr;
    t_calls.line = TheCurrErr.nLine;
    t_calls.end = ++g_nCallClock;
    t_calls.start = 0;
}

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
PM_ErrRecord TheCurrErr = {PM_ERR_NONE, 0, 0, 0};
std::atomic<uint32_t> TheWriteTimeOut = 500;
std::atomic<uint32_t> TheReadTimeOut = 500;
std::atomic<uint32_t> TheCommSetBps = 1;
std::atomic<uint32_t> TheCommSetRate = 0;

void storeCurrErr(int32_t code, int32_t sysErr, int32_t line)
{
    TheCurrErr.nErrCode = code;
    TheCurrErr.nSysErr = sysErr;
    TheCurrErr.nLine = line;
    // Last: a getter that sees this call's start reads the fields above whole.
    TheCurrErr.nCallStart = t_calls.start != 0 ? t_calls.start : ++g_nCallClock;
}

int setPortMdlErr(int32_t code, int32_t line)
{
    LogFileData.SetCommPortErr(code, line);
    storeCurrErr(code, TakeSysErr(), line);
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
    // A failed open's line is the one its summary shows in the port-API slot.
    storeCurrErr(code, TakeSysErr(), line);
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
    return readsOwnRecord() ? t_calls.code : TheCurrErr.nErrCode.load();
}

void PM_ClearCommErr(void)
{
    PortLock port;
    storeCurrErr(PM_ERR_NONE, 0, 0);
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
    return readsOwnRecord() ? t_calls.sysErr : TheCurrErr.nSysErr.load();
}

int32_t PM_GetErrLine(void)
{
    return readsOwnRecord() ? t_calls.line : TheCurrErr.nLine.load();
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
    return PM_GetCommErr() == PM_ERR_TIMEOUT ? 1 : 0;
}

void PM_SetCommEngErr(int32_t code, const char* moduleText, int32_t line, const char* lastModify)
{
    LogFileData.SetCommEngErr(code, moduleText, line, lastModify);
}

} // extern "C"
