#include "ErrorNames.h"

#include "portmdl/PortMdl.h"

namespace pmctl {

const ModuleError* findModuleError(long long code)
{
    static const ModuleError kErrors[] = {
        {PM_ERR_NONE, "PM_ERR_NONE", "none", "no error recorded"},
        {PM_ERR_CREATE, "PM_ERR_CREATE", "transport not created", "the transport was not created"},
        {PM_ERR_TIMEOUT, "PM_ERR_TIMEOUT", "time-out",
         "time-out: fewer bytes than asked arrived, or a send was cut short"},
        {PM_ERR_OPEN, "PM_ERR_OPEN", "open failed", "the device did not open"},
        {PM_ERR_INVALID, "PM_ERR_INVALID", "no port / invalid",
         "no port is open, an invalid argument, or a setting the port cannot do"},
        {PM_ERR_TRANSPORT, "PM_ERR_TRANSPORT", "transport refused",
         "the transport refused the operation"},
        {PM_ERR_SEND, "PM_ERR_SEND", "send refused", "the transport refused the send"},
        {PM_ERR_APICALL, "PM_ERR_APICALL", "transport call failed",
         "a call into the transport failed"},
    };
    for (const ModuleError& e : kErrors) {
        if (e.code == code)
            return &e;
    }
    return nullptr;
}

} // namespace pmctl
