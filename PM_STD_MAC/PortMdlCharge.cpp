// Charge control and the cable check: forwarded to the open transport, or tried on a temporary,
// unopened tty transport when no port is open.
#include <new>

#include "CommBaseUNIX.h"
#include "PortLock.h"
#include "PortMdlState.h"

namespace {

// No buffer for the three numbers.
constexpr int32_t kLineCableCheckArgument = PM_LINE_CHARGEINFO_CREATE + 1;

template <typename Operation> int32_t OnPortOrTemporary(int32_t createLine, Operation operation)
{
    PortLock port;
    if (TheCommBase != nullptr) {
        return operation(TheCommBase);
    }
    TheCommBase = new (std::nothrow) EI_CommBaseUNIX(1);
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_CREATE, createLine);
    }
    int32_t result = operation(TheCommBase);
    delete TheCommBase;
    TheCommBase = nullptr;
    return result;
}

int32_t PM_ChargeControl(int32_t on)
{
    return OnPortOrTemporary(PM_LINE_CHARGE_CREATE, [on](EI_CommBaseForMAC* transport) {
        return transport->RequestChargeCommand(on);
    });
}

} // namespace

extern "C" int32_t PM_ChargeEnable(void)
{
    return PM_ChargeControl(1);
}

extern "C" int32_t PM_ChargeDisable(void)
{
    return PM_ChargeControl(0);
}

extern "C" int32_t PM_IsChargableCable(uint16_t* info)
{
    PortLock port; // the error record is the port's, even for a refused argument
    if (info == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, kLineCableCheckArgument);
    }
    return OnPortOrTemporary(PM_LINE_CHARGEINFO_CREATE, [info](EI_CommBaseForMAC* transport) {
        return transport->GetUSBInfo(info);
    });
}
