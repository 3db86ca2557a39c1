// portmdl-modemd's request parser on any message. A request it takes must be exactly the
// message: the fields within the protocol's limits, and the message made again from them equal
// to the one received. A message with four bytes or more always yields its tag.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "DriverWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pmwire::Request rq;
    pmwire::Parsed parsed = pmwire::ParseRequest(data, size, rq);
    if ((parsed == pmwire::Parsed::NoTag) != (size < 4)) {
        std::abort();
    }
    if (parsed == pmwire::Parsed::NoTag) {
        return 0;
    }
    if (rq.tag != pmwire::Word(data)) {
        std::abort();
    }
    if (parsed != pmwire::Parsed::Ok) {
        return 0;
    }
    if (rq.scalars.size() > pmwire::kMaxScalars || rq.structure.size() > pmwire::kMaxStructure ||
        rq.scalarsOut > pmwire::kMaxScalars || rq.structureOut > pmwire::kMaxStructure) {
        std::abort();
    }
    std::string again;
    for (uint32_t w : {rq.tag, rq.selector, static_cast<uint32_t>(rq.scalars.size()),
                       static_cast<uint32_t>(rq.structure.size()), rq.scalarsOut,
                       rq.structureOut}) {
        pmwire::PutWord(again, w);
    }
    for (int32_t s : rq.scalars) {
        pmwire::PutWord(again, static_cast<uint32_t>(s));
    }
    again += rq.structure;
    if (again != std::string(reinterpret_cast<const char*>(data), size)) {
        std::abort();
    }
    return 0;
}
