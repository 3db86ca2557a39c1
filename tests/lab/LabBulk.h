// The lab phone's bulk answer: the request that asks for it and the bytes it sends, shared by the
// phone and the program that checks them.
#ifndef LAB_LABBULK_H
#define LAB_LABBULK_H

#include <cstddef>
#include <string>

namespace lab {

// Echoed like every byte, then answered with BulkPayload().
constexpr char kBulkRequest[] = "BULK\r";
constexpr std::size_t kBulkSize = 1 << 20;

// 251 is prime, so a piece that went missing or came twice shows as a shifted pattern.
inline std::string BulkPayload()
{
    std::string bytes(kBulkSize, '\0');
    for (std::size_t i = 0; i < kBulkSize; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

} // namespace lab

#endif
