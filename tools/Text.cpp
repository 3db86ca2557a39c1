#include "Text.h"

#include "Escapes.h"

#include <cstdio>

namespace pmctl {

bool parseHex(std::string_view text, std::vector<uint8_t>& out, std::string& error)
{
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == ':' || c == '-' || c == ',' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '0' && i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            escapes::hexValue(text[i + 2]) >= 0) {
            i += 2;
            continue;
        }
        int hi = escapes::hexValue(c);
        if (hi < 0) {
            error = "'" + escapeForDisplay(text.substr(i, 1)) + "' at position " +
                    std::to_string(i) + " is not a hex digit";
            return false;
        }
        bool paired = i + 1 < text.size() &&
                      std::string_view(" :-,\t").find(text[i + 1]) == std::string_view::npos;
        if (!paired) {
            error = "odd number of hex digits (the byte at position " + std::to_string(i) +
                    " has only one)";
            return false;
        }
        int lo = escapes::hexValue(text[i + 1]);
        if (lo < 0) {
            error = "'" + escapeForDisplay(text.substr(i + 1, 1)) + "' at position " +
                    std::to_string(i + 1) + " is not a hex digit";
            return false;
        }
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

std::vector<std::string> hexRows(const uint8_t* data, size_t size)
{
    constexpr size_t kPerRow = 16;
    std::vector<std::string> rows;
    for (size_t start = 0; start < size; start += kPerRow) {
        size_t n = size - start < kPerRow ? size - start : kPerRow;
        std::string row;
        char hex[4];
        for (size_t i = 0; i < kPerRow; ++i) {
            if (i < n) {
                std::snprintf(hex, sizeof hex, "%02x ", data[start + i]);
                row += hex;
            } else {
                row += "   ";
            }
        }
        row += " |";
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = data[start + i];
            row += (b >= 0x20 && b < 0x7f) ? static_cast<char>(b) : '.';
        }
        row += '|';
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string escapeForDisplay(std::string_view bytes, size_t maxLength)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (maxLength != 0 && out.size() >= maxLength) {
            out += "...";
            break;
        }
        auto b = static_cast<unsigned char>(bytes[i]);
        switch (b) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (b >= 0x20 && b < 0x7f) {
                out += static_cast<char>(b);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", b);
                out += hex;
            }
        }
    }
    return out;
}

} // namespace pmctl
