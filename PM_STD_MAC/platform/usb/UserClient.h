// The driver user client behind the USB modem transport: a connection to a service of the plane
// and the four method-call forms. A driver is a program that listens on a SOCK_SEQPACKET Unix
// socket in the plane folder (see IORegistry.h); a method call is one tagged request message and
// one reply message carrying the same tag (docs/modem.md gives the layout). Calls from several
// threads on one connection may be in the driver at once: each caller gets the reply with its tag,
// and a call waiting for its reply never holds back another call's request.
#ifndef PM_STD_MAC_PLATFORM_USERCLIENT_H
#define PM_STD_MAC_PLATFORM_USERCLIENT_H

#include <cstddef>
#include <cstdint>

#include "IORegistry.h"

// Limits of one method call.
constexpr uint32_t kUserClientMaxScalars = 16;
constexpr size_t kUserClientMaxStruct = 4096;
// How long a call waits for its reply before the connection is given up.
constexpr int kUserClientReplyTimeoutMs = 5000;

// The calling task, for IOServiceOpen.
inline task_port_t mach_task_self()
{
    return 1;
}

// Connects to the plane entry service (a listening SOCK_SEQPACKET socket); type must be 0. Fails
// with kIOReturnNoDevice when the entry is no such socket or does not answer within the reply
// time-out, kIOReturnBadArgument for anything that is no plane entry. A driver the host cannot
// trust fails the same way, with errno EPERM and the reason in UserClientRefusal(): the plane
// folder must belong to root or the host's user and not be writable by others, the entry must be
// no link, and the driver must run as root, the host's user or the user PM_USERCLIENT_UID names.
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);

// Closes the connection: the driver sees the end of the stream; calls still waiting on it fail at
// once. kIOReturnNotOpen for a handle that is no open connection.
kern_return_t IOServiceClose(io_connect_t connect);

// The method calls. Counts and sizes are in: what is given or expected; out: what the reply
// carried (never more than expected). The result is the driver's, or kIOReturnError when the
// reply was malformed, too large, carried no known tag or did not come within the reply time-out
// (the connection is then unusable, and every later call fails with kIOReturnError), and
// kIOReturnBadArgument for counts or sizes beyond the limits.
kern_return_t IOConnectMethodScalarIScalarO(io_connect_t connect, uint32_t selector,
                                            const int32_t* scalarIn, uint32_t scalarInCount,
                                            int32_t* scalarOut, uint32_t* scalarOutCount);
kern_return_t IOConnectMethodScalarIStructureO(io_connect_t connect, uint32_t selector,
                                               const int32_t* scalarIn, uint32_t scalarInCount,
                                               void* structOut, size_t* structOutSize);
kern_return_t IOConnectMethodScalarIStructureI(io_connect_t connect, uint32_t selector,
                                               const int32_t* scalarIn, uint32_t scalarInCount,
                                               const void* structIn, size_t structInSize);
kern_return_t IOConnectMethodStructureIStructureO(io_connect_t connect, uint32_t selector,
                                                  const void* structIn, size_t structInSize,
                                                  void* structOut, size_t* structOutSize);

// Makes the table of open connections now. The module calls it as it loads, before it makes the
// object that closes an open port at unload: the table then outlives that object, since static
// objects are destroyed in the reverse order of their making.
void UserClientTableReady();

// Why the calling thread's last IOServiceOpen refused its driver (one line), or "" when it did
// not refuse one.
const char* UserClientRefusal();

// Pipelined structure calls, for a caller that keeps several requests in the driver at once (the
// modem's reader). UserClientSubmit sends count copies of the request, in order and without
// waiting, and stores their tags (non-zero). UserClientCollect waits up to waitMs for a reply to
// any of the *count calls in tags, then takes every reply among them that has arrived, in the
// order they arrived: the i-th one's structure goes to structOut + i * structOutSize (cut to that
// size), its size to sizes[i] and its result to results[i], and its tag leaves tags (*count
// shrinks). It answers the number taken, 0 when none came in time, or -1 when the connection is
// unusable or the oldest call had no reply within the reply time-out. Calls not collected are
// forgotten when the connection closes. arrivals, when given, receives each reply's arrival
// number: a connection numbers its replies in the order they come, so a reply numbered below
// another's was sent by the driver before it.
kern_return_t UserClientSubmit(io_connect_t connect, uint32_t selector, const void* structIn,
                               size_t structInSize, size_t structOutSize, size_t count,
                               uint32_t* tags);
int UserClientCollect(io_connect_t connect, uint32_t* tags, size_t* count, int waitMs,
                      void* structOut, size_t structOutSize, size_t* sizes, kern_return_t* results,
                      uint64_t* arrivals = nullptr);
// The arrival number of the reply to the calling thread's last method call that got one (0 when
// none did), on the numbering of UserClientCollect's arrivals.
uint64_t UserClientLastArrival();

// The socket of an open connection, or -1 (tests check its flags).
int UserClientSocket(io_connect_t connect);

#endif
