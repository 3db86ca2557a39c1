// The cable's reply to "AT!CCHK" as the cable check parses it: any bytes, handed over as the
// check does (at most 4095 of them in a zeroed 4096-byte buffer, so always a terminated string).
// The parser must stay inside the reply and the three slots, and change a slot only for a found
// field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CommBaseUNIX.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kReplySize = 4096;
    char* reply = static_cast<char*>(std::calloc(kReplySize, 1));
    std::memcpy(reply, data, size < kReplySize - 1 ? size : kReplySize - 1);
    // The slots sit alone in their own allocation, so a write past them is caught.
    auto* info = static_cast<uint16_t*>(std::malloc(3 * sizeof(uint16_t)));
    const uint16_t untouched = 0xBEEF;
    info[0] = info[1] = info[2] = untouched;

    int result = EI_CommBaseUNIX::ParseUSBInfo(reply, info);
    if (result != 0 && result != 1) {
        std::abort();
    }
    if (std::strstr(reply, "1841") == nullptr &&
        (result != 0 || info[0] != untouched || info[1] != untouched || info[2] != untouched)) {
        std::abort(); // without "1841" nothing is found and nothing changes
    }
    std::free(info);
    std::free(reply);
    return 0;
}
