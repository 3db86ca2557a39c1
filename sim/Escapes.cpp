#include "Escapes.h"

namespace escapes {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool unescape(std::string_view text, std::vector<uint8_t>& out, std::string& error)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out.push_back(static_cast<uint8_t>(c));
            continue;
        }
        if (i + 1 >= text.size()) {
            error = "a lone '\\' at the end (write \\\\ for a backslash)";
            return false;
        }
        char e = text[++i];
        switch (e) {
        case 'r':
            out.push_back('\r');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '0':
            out.push_back(0);
            break;
        case 'a':
            out.push_back(0x07);
            break;
        case 'b':
            out.push_back(0x08);
            break;
        case 'f':
            out.push_back(0x0c);
            break;
        case 'v':
            out.push_back(0x0b);
            break;
        case 'e':
            out.push_back(0x1b);
            break;
        case '\\':
            out.push_back('\\');
            break;
        case '"':
            out.push_back('"');
            break;
        case '\'':
            out.push_back('\'');
            break;
        case 'x': {
            int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            if (hi < 0) {
                error = "\\x at position " + std::to_string(i) + " needs one or two hex digits";
                return false;
            }
            ++i;
            int value = hi;
            int lo = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            if (lo >= 0) {
                value = hi * 16 + lo;
                ++i;
            }
            out.push_back(static_cast<uint8_t>(value));
            break;
        }
        default:
            error = std::string("unknown escape \\") + e + " at position " + std::to_string(i - 1) +
                    " (known: \\r \\n \\t \\0 \\e \\\\ \\xNN)";
            return false;
        }
    }
    return true;
}

} // namespace escapes
