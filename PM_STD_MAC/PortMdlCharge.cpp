// Charge control and the cable check: forwarded to the open transport, or tried on a temporary,
// unopened tty transport when no port is open.
#include <new>

#include "CommBaseUNIX.h"
#include "PortMdlState.h"

namespace {

constexpr int32_t kLineChargeCreate = 1272;
constexpr int32_t kLineCableCheckCreate = 1296;

template <typename Operation> int32_t OnPortOrTemporary(int32_t createLine, Operation operation)
{
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
    return OnPortOrTemporary(kLineChargeCreate, [on](EI_CommBaseForMAC* transport) {
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
    if (info == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, kLineCableCheckCreate);
    }
    return OnPortOrTemporary(kLineCableCheckCreate, [info](EI_CommBaseForMAC* transport) {
        return transport->GetUSBInfo(info);
    });
}
