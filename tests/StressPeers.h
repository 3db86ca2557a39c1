// The phone of the stress test on each transport, as the test's phone thread drives it: a
// pseudo-terminal's master side, the modem driver simulator, or a program behind a simulated
// Bluetooth channel (the world's socket phone). Each writes the phone's stream toward the host,
// reads back what the host sent, and opens the port to itself as the host does.
#ifndef TESTS_STRESSPEERS_H
#define TESTS_STRESSPEERS_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "PortModel.h"
#include "StressFrames.h"

namespace stress {

class Peer {
  public:
    virtual ~Peer() = default;
    // Starts the peer and sets the module up to open a port to it (cable type, environment).
    static std::unique_ptr<Peer> Make(Link link);

    // The host's open of a port to this peer (the port API's result).
    virtual int32_t Open() = 0;
    // Writes up to n bytes toward the host, waiting at most waitMs for room: the bytes taken.
    virtual size_t Write(const uint8_t* data, size_t n, int waitMs) = 0;
    // Hands what the host sent to reader, waiting at most waitMs for some.
    virtual void Read(FrameReader& reader, int waitMs) = 0;
    // The stream's bytes below this have reached the module (taken just before a clear begins).
    virtual int64_t Arrived(const PortModel& model, Micros now) const;
};

} // namespace stress

#endif
