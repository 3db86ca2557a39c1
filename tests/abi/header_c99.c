/* The public header on its own, compiled as strict C99. */
#include "portmdl/PortMdl.h"

#if PORTMDL_VERSION_NUMBER < 0x000100
#error "the version macros are missing"
#endif

int32_t pm_header_c99_probe(void)
{
    PM_PortStatus status = {0};
    return (int32_t)sizeof status + PORTMDL_VERSION_MAJOR;
}
