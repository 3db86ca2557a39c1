// The public header on its own, compiled as pedantic C++ (also before C++20).
#include "portmdl/PortMdl.h"

int32_t pm_header_cxx_probe()
{
    PM_PortStatus status{};
    char* (*convert)(char*) = PM_ConvertFSSpecWithName;
    return static_cast<int32_t>(sizeof status) + (convert != nullptr);
}
