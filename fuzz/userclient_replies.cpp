// The module's side of the user-client protocol against a driver that answers anything. The
// driver is a socket in a plane of the fuzzer's own; its replies are the input, queued before the
// calls and followed by the end of the stream, so no call waits for the reply time-out.
//
// Input: one byte per call (up to four calls, ended by a 0xFF byte or the input's end) choosing
// the call form and the outputs expected; then the reply messages, each a 16-bit little-endian
// length and that many bytes. The tags the module gives are 1, 2, 3, ... in the calls' order.
// Checked: no call hands back more than was expected, and nothing reads or writes out of bounds
// (ASan). (A failed call proves nothing about the connection: a driver may answer any result.)
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "platform/usb/IORegistry.h"
#include "platform/usb/UserClient.h"

namespace {

constexpr char kDriver[] = "FuzzDriver";

// The plane and its listening driver socket, made once.
int Listener()
{
    static int fd = [] {
        static char dir[] = "/tmp/pmfuzz-plane.XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            std::abort();
        }
        setenv("PM_USERCLIENT_DIR", dir, 1);
        int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = std::string(dir) + "/" + kDriver;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 4) != 0) {
            std::abort();
        }
        return s;
    }();
    return fd;
}

io_connect_t Open()
{
    mach_port_t master = 0;
    io_iterator_t it = 0;
    if (IOMasterPort(MACH_PORT_NULL, &master) != kIOReturnSuccess ||
        IORegistryCreateIterator(master, kIOServicePlane, 0, &it) != kIOReturnSuccess) {
        std::abort();
    }
    io_service_t service = 0;
    while (io_object_t o = IOIteratorNext(it)) {
        if (service == 0 && IOObjectConformsTo(o, kDriver)) {
            service = o;
        } else {
            IOObjectRelease(o);
        }
    }
    IOObjectRelease(it);
    io_connect_t c = 0;
    if (service == 0 || IOServiceOpen(service, mach_task_self(), 0, &c) != kIOReturnSuccess) {
        std::abort();
    }
    IOObjectRelease(service);
    return c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int listener = Listener();
    std::vector<uint8_t> calls;
    size_t at = 0;
    while (at < size && calls.size() < 4 && data[at] != 0xFF) {
        calls.push_back(data[at++]);
    }
    if (at < size && data[at] == 0xFF) {
        ++at;
    }
    io_connect_t c = Open();
    int driver = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (driver < 0) {
        std::abort();
    }
    while (at + 2 <= size) {
        size_t n = data[at] | static_cast<size_t>(data[at + 1]) << 8;
        at += 2;
        n = std::min(n, size - at);
        if (send(driver, data + at, n, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
            break; // the socket is full: the module sees what fitted
        }
        at += n;
    }
    shutdown(driver, SHUT_WR);

    for (uint8_t call : calls) {
        // Low two bits: the form; the rest: how much output is expected.
        const uint32_t scalarsExpected = (call >> 2) % 17;
        const size_t structExpected = static_cast<size_t>(call >> 2) * 80 % 4097;
        int32_t in[2] = {1, 2};
        int32_t out[16];
        uint8_t structOut[4096];
        uint8_t structIn[12] = {};
        uint32_t scalars = scalarsExpected;
        size_t structSize = structExpected;
        kern_return_t r;
        switch (call & 3) {
        case 0:
            r = IOConnectMethodScalarIScalarO(c, 7, in, 2, out, &scalars);
            if (r == kIOReturnSuccess && scalars > scalarsExpected) {
                std::abort();
            }
            break;
        case 1:
            r = IOConnectMethodScalarIStructureO(c, 5, in, 1, structOut, &structSize);
            break;
        case 2:
            r = IOConnectMethodScalarIStructureI(c, 6, nullptr, 0, structIn, sizeof structIn);
            break;
        default:
            r = IOConnectMethodStructureIStructureO(c, 3, structIn, sizeof structIn, structOut,
                                                    &structSize);
            break;
        }
        if (r == kIOReturnSuccess && structSize > structExpected) {
            std::abort();
        }
    }
    IOServiceClose(c);
    close(driver);
    return 0;
}
