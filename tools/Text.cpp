#include "Text.h"

#include <cstdio>

namespace pmctl {

namespace {

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

} // namespace

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
            hexValue(text[i + 2]) >= 0) {
            i += 2;
            continue;
        }
        int hi = hexValue(c);
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
        int lo = hexValue(text[i + 1]);
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
