// The driver's side of the user-client wire protocol, shared by every driver that serves the
// service plane (the simulator and the real daemon): the listening socket in the plane folder,
// and the request and reply messages (32-bit little-endian words, then bytes).
#ifndef PM_DRIVERWIRE_H
#define PM_DRIVERWIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pmwire {

constexpr int32_t kError = static_cast<int32_t>(0xE00002BC);
constexpr int32_t kNoDevice = static_cast<int32_t>(0xE00002C0);
constexpr int32_t kBadArgument = static_cast<int32_t>(0xE00002C2);
constexpr int32_t kExclusiveAccess = static_cast<int32_t>(0xE00002C5);
constexpr int32_t kUnsupported = static_cast<int32_t>(0xE00002C7);
constexpr int32_t kNotOpen = static_cast<int32_t>(0xE00002CD);
constexpr int32_t kNotAttached = static_cast<int32_t>(0xE00002D9);
constexpr int32_t kNotPermitted = static_cast<int32_t>(0xE00002E2);

constexpr std::size_t kMaxScalars = 16;
constexpr std::size_t kMaxStructure = 4096;
// The largest request: six header words, the scalars, the structure.
constexpr std::size_t kMaxRequest = 4 * (6 + kMaxScalars) + kMaxStructure;

uint32_t Word(const uint8_t* p);
void PutWord(std::string& out, uint32_t v);

struct Request {
    uint32_t tag = 0;
    uint32_t selector = 0;
    std::vector<int32_t> scalars;
    std::string structure;
    uint32_t scalarsOut = 0; // what the client expects at most
    uint32_t structureOut = 0;
};

enum class Parsed {
    Ok,
    Malformed, // a tag but no valid request: answer the tag with kBadArgument
    NoTag,     // not even a tag: drop the client
};
// Reads one received message of n bytes.
Parsed ParseRequest(const uint8_t* msg, std::size_t n, Request& out);

std::string EncodeReply(uint32_t tag, int32_t result, const std::vector<int32_t>& scalars,
                        const std::string& structure);

// Binds and listens on dir/name (non-blocking, close-on-exec), creating dir when missing and
// taking over a socket file nobody listens on. The socket gets mode 0660 and the given group
// (-1: the driver's own), so only the owner, that group and root can connect. Throws
// std::system_error with a message naming the path, also when another driver listens there
// (EADDRINUSE) and for a plane the driver does not own (EPERM): one that belongs to neither root
// nor the driver's user, or that others may write to, where anyone could take the name.
int ListenInPlane(const std::string& dir, const std::string& name,
                  gid_t group = static_cast<gid_t>(-1));

// Whether the client on fd may be served: root, the driver's own user, or a member of group
// (its primary or a supplementary group). who gets a description of the client for the log.
bool PeerAllowed(int fd, gid_t group, std::string* who);

// Receives one message into buf (sized kMaxRequest + 1, so an oversized message shows). Returns
// its length, 0 at end of file or for a message too large to be a request, -1 with errno
// EAGAIN when none waits, -1 with another errno on a socket error.
long ReceiveRequest(int fd, std::vector<uint8_t>& buf);

// Sends a whole reply; false when the client cannot take it.
bool SendReply(int fd, const std::string& reply);

// Sets the accepted client's send limit: a client that stops reading its replies must not hold
// the driver for ever.
void LimitSendWait(int fd);

} // namespace pmwire

#endif
