// Text helpers of pmctl: hex input, hex dumps and safe display of arbitrary bytes.
#ifndef PMCTL_TEXT_H
#define PMCTL_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pmctl {

// Reads hex bytes: pairs of hex digits, optionally separated by spaces, ':' , '-' or ','; an
// optional "0x" before a pair is allowed. Returns false with error on anything else.
bool parseHex(std::string_view text, std::vector<uint8_t>& out, std::string& error);

// Rows of a hex dump, 16 bytes each: "41 54 0d ...   |AT.|" (hex padded to one width so that the
// ASCII columns line up; bytes outside 0x20..0x7e show as '.').
std::vector<std::string> hexRows(const uint8_t* data, size_t size);

// Shows arbitrary bytes on one line: printable ASCII as is, the rest as \r \n \t or \xNN.
std::string escapeForDisplay(std::string_view bytes, size_t maxLength = 0);

} // namespace pmctl

#endif // PMCTL_TEXT_H
