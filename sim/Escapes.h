// The C-style escapes that pmctl's steps and the simulator programs' command lines take, in one
// place so that every program reads a text the same way.
#ifndef PM_ESCAPES_H
#define PM_ESCAPES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace escapes {

// Undoes C-style escapes: \r \n \t \0 \a \b \f \v \e \\ \" \' and \xNN (one or two hex digits).
// On a bad escape, returns false with error naming it and its position.
bool unescape(std::string_view text, std::vector<uint8_t>& out, std::string& error);

// 0 to 15 for a hex digit of either case, -1 for any other character.
int hexValue(char c);

} // namespace escapes

#endif
