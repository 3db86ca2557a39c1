// Line control of the open port: speed codes and the line speed, the RTS and DTR lines, and the
// port status record.
#include <climits>
#include <string>

#include "CommBaseForMAC.h"
#include "CommLog.h"
#include "PortLock.h"
#include "PortMdlState.h"

namespace {

// Bits per second of speed codes 1 to 9.
constexpr int32_t kSpeedTable[] = {600, 2400, 9600, 14400, 19200, 38400, 57600, 115200, 230400};
constexpr int32_t kSpeedCodes = sizeof(kSpeedTable) / sizeof(kSpeedTable[0]);

// The line codes of the log's line records.
enum : int32_t { kLogDTRRaised = 0, kLogDTRLowered = 1, kLogRTSRaised = 2, kLogRTSLowered = 3 };

struct LineChange {
    int (EI_CommBaseForMAC::*operation)();
    int32_t logCode;
    int32_t noPortLine;
    int32_t apiLine;
    int32_t moduleLine;
};

int32_t changeLine(const LineChange& change)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, change.noPortLine);
    }
    if (!(TheCommBase->*change.operation)()) {
        return setPortAPIErr(change.apiLine, change.moduleLine);
    }
    LogFileData.PM_LogWriteDTRRTS(change.logCode);
    return 1;
}

const char* const kFlowNames[] = {"none", "RTS/CTS", "XON/XOFF"};

} // namespace

int32_t speedCodeOfRate(uint32_t rate)
{
    for (int32_t i = 0; i < kSpeedCodes; ++i) {
        if (static_cast<uint32_t>(kSpeedTable[i]) == rate) {
            return i + 1;
        }
    }
    return 0;
}

int32_t currentBitRate()
{
    const uint32_t rate = TheCommSetRate;
    if (rate != 0) {
        return static_cast<int32_t>(rate);
    }
    // A known code answers without the port lock; only an unknown one records its error, as the
    // conversion does, and so takes the lock.
    const uint32_t code = TheCommSetBps;
    if (code >= 1 && code <= static_cast<uint32_t>(kSpeedCodes)) {
        return kSpeedTable[code - 1];
    }
    return PM_ConvertBPS_CEValuToOSValue(static_cast<int32_t>(code));
}

extern "C" {

int32_t PM_ConvertBPS_CEValuToOSValue(int32_t speedCode)
{
    PortLock port;
    if (speedCode < 1 || speedCode > kSpeedCodes) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SPEEDCODE);
    }
    return kSpeedTable[speedCode - 1];
}

int32_t PM_SetBPS(uint32_t speedCode)
{
    PortLock port;
    // Without a port there is nothing to change, and the code is not kept for a later open.
    if (TheCommBase == nullptr) {
        return 1;
    }
    if (!TheCommBase->ChangeBaudRate(speedCode)) {
        return setPortMdlErr(PM_ERR_TRANSPORT, PM_LINE_SETBPS_REFUSED);
    }
    TheCommSetBps = speedCode;
    TheCommSetRate = 0;
    LogFileData.PM_LogWriteChangeBPS(
        PM_ConvertBPS_CEValuToOSValue(static_cast<int32_t>(speedCode)));
    return 1;
}

int32_t PM_GetBPS(void)
{
    // A getter never waits for the port: a code outside the table reads as 0 without recording
    // the conversion's error (which would take the lock and could overwrite another thread's).
    const uint32_t rate = TheCommSetRate;
    if (rate != 0) {
        return static_cast<int32_t>(rate);
    }
    const uint32_t code = TheCommSetBps;
    return code >= 1 && code <= static_cast<uint32_t>(kSpeedCodes) ? kSpeedTable[code - 1] : 0;
}

int32_t PM_SetBitRate(uint32_t bitsPerSecond)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETBITRATE_NOPORT);
    }
    // PM_GetBPS reports the rate as a signed number, so no rate above its range is taken.
    if (bitsPerSecond == 0 || bitsPerSecond > static_cast<uint32_t>(INT32_MAX)) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETBITRATE_ARGUMENT);
    }
    uint32_t actual = bitsPerSecond;
    int done = TheCommBase->SetBitRate(bitsPerSecond, &actual);
    if (done < 0) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETBITRATE_UNSUPPORTED);
    }
    if (done == 0) {
        return setPortAPIErr(PM_LINE_SETBITRATE_API, PM_LINE_SETBITRATE);
    }
    // A rate with a speed code is kept as that code, so the port status and every reader of the
    // code agree with it; any other rate is kept beside the last code.
    int32_t code = speedCodeOfRate(actual);
    if (code != 0) {
        TheCommSetBps = static_cast<uint32_t>(code);
        TheCommSetRate = 0;
    } else {
        TheCommSetRate = actual;
    }
    LogFileData.PM_LogWriteChangeBPS(static_cast<int32_t>(actual));
    return 1;
}

int32_t PM_SetFlowControl(int32_t mode)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETFLOW_NOPORT);
    }
    if (mode < PM_FLOW_NONE || mode > PM_FLOW_XON_XOFF) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETFLOW_ARGUMENT);
    }
    int done = TheCommBase->SetFlowControl(mode);
    if (done < 0) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETFLOW_UNSUPPORTED);
    }
    if (done == 0) {
        return setPortAPIErr(PM_LINE_SETFLOW_API, PM_LINE_SETFLOW);
    }
    // The log has no record of its own for flow control; a comment keeps its format as it is.
    LogFileData.PM_LogWriteComment(
        (std::string("Set FlowControl [") + kFlowNames[mode] + "]").c_str());
    return 1;
}

int32_t PM_SetRTS(void)
{
    return changeLine({&EI_CommBaseForMAC::SetRTS, kLogRTSRaised, PM_LINE_SETRTS_NOPORT,
                       PM_LINE_SETRTS_API, PM_LINE_SETRTS});
}

int32_t PM_ClearRTS(void)
{
    return changeLine({&EI_CommBaseForMAC::ClearRTS, kLogRTSLowered, PM_LINE_CLEARRTS_NOPORT,
                       PM_LINE_CLEARRTS_API, PM_LINE_CLEARRTS});
}

int32_t PM_SetDTR(void)
{
    return changeLine({&EI_CommBaseForMAC::SetDTR, kLogDTRRaised, PM_LINE_SETDTR_NOPORT,
                       PM_LINE_SETDTR_API, PM_LINE_SETDTR});
}

int32_t PM_ClearDTR(void)
{
    return changeLine({&EI_CommBaseForMAC::ClearDTR, kLogDTRLowered, PM_LINE_CLEARDTR_NOPORT,
                       PM_LINE_CLEARDTR_API, PM_LINE_CLEARDTR});
}

int32_t PM_GetPortStatus(PM_PortStatus* status)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_GETSTATUS_NOPORT);
    }
    if (status == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_GETSTATUS_ARGUMENT);
    }
    if (!TheCommBase->GetPortStatus(status)) {
        return setPortAPIErr(PM_LINE_GETSTATUS_API, PM_LINE_GETSTATUS);
    }
    return 1;
}

int32_t PM_SetPortStatus(const PM_PortStatus* status)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETSTATUS_NOPORT);
    }
    if (status == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_SETSTATUS_ARGUMENT);
    }
    if (!TheCommBase->SetPortStatus(status)) {
        return setPortAPIErr(PM_LINE_SETSTATUS_API, PM_LINE_SETSTATUS);
    }
    TheCommSetBps = static_cast<uint32_t>(status->nSpeedCode);
    TheCommSetRate = 0;
    return 1;
}

} // extern "C"
