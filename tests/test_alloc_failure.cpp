// An allocation that fails inside an exported function must not leave it as an exception: this
// program's operator new fails on request, for the module too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "SerialTestSupport.h"
#include "portmdl/PortMdl.h"

namespace {
std::atomic<bool> g_bFailAllocations{false};
}

void* operator new(std::size_t size)
{
    void* p = g_bFailAllocations ? nullptr : std::malloc(size != 0 ? size : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

// What this operator new gives comes from malloc, so free is the match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

// The call's result, or -99 when an exception left it.
template <typename Call> int32_t WithAllocationsFailing(Call call)
{
    int32_t result = -99;
    g_bFailAllocations = true;
    try {
        result = call();
    } catch (...) {
    }
    g_bFailAllocations = false;
    return result;
}

} // namespace

TEST(AllocationFailure, DeviceListAndSearchFailCleanly)
{
    serialtest::Registry registry;
    registry.Add("usbmodem1411", "/dev/null");
    serialtest::SetCableType(1002);

    EXPECT_EQ(WithAllocationsFailing([] { return PM_CountDevices(); }), 0);
    EXPECT_EQ(WithAllocationsFailing([] { return PM_OpenPort(1); }), 0);
    EXPECT_EQ(PM_GetPortHandle(), -1);

    EXPECT_EQ(PM_CountDevices(), 1); // and all is well again afterwards
}
