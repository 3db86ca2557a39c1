// The escapes the simulator programs take on their command lines.
#ifndef PMSIM_ESCAPES_H
#define PMSIM_ESCAPES_H

#include <string>

namespace pmsim {

// "\r" and "\n" in s stand for CR and LF; every other character stays as it is.
inline std::string UnescapeCrLf(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'r' || s[i + 1] == 'n')) {
            out += s[++i] == 'r' ? '\r' : '\n';
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace pmsim

#endif
