// The log's two encodings: the key-table substitution of traffic hex digits, and the line
// encoding of the save (swap the halves of every byte, then Base64).
#include <cstring>

#include "CommLog.h"

namespace {

// Positions 0 to 15 are the substitution alphabet; none of the characters is ';' or a line feed,
// so scrambled traffic can never pass for an encoded line or split one.
const char kKeyTable[] = "#pL4$w9Q)k2%Tx7=M";

// The Base64 alphabet with its padding character as the 65th entry.
const char stB64Table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr int kPad = 64;

// The longest line whose Base64 form, with its terminator, fits the encoding buffer.
constexpr size_t kMaxEncodedLine = 7662;

int hexValue(char ch)
{
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    return 0;
}

} // namespace

char* CCommLog::StrEncode(char* text, int32_t limit)
{
    if (text == nullptr) {
        return text;
    }
    for (int64_t i = 0; text[i] != '\0' && (limit == 0 || i < limit); ++i) {
        text[i] = kKeyTable[hexValue(text[i])];
    }
    return text;
}

int32_t CCommLog::CE_MIME_Encord(char* out, int32_t length, const char* in)
{
    if (out == nullptr || in == nullptr || length <= 0) {
        return 0;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in);
    int32_t produced = 0;
    for (int32_t i = 0; i < length; i += 3) {
        int32_t left = length - i;
        unsigned b0 = bytes[i];
        unsigned b1 = left > 1 ? bytes[i + 1] : 0;
        unsigned b2 = left > 2 ? bytes[i + 2] : 0;
        out[produced++] = stB64Table[b0 >> 2];
        out[produced++] = stB64Table[((b0 & 0x03) << 4) | (b1 >> 4)];
        out[produced++] = stB64Table[left > 1 ? ((b1 & 0x0F) << 2) | (b2 >> 6) : kPad];
        out[produced++] = stB64Table[left > 2 ? (b2 & 0x3F) : kPad];
    }
    return produced;
}

const char* CCommLog::StrEncodeSecond(char* line)
{
    Lock lock(m_mutex);
    return encodeSecondLocked(line, line == nullptr ? 0 : strlen(line));
}

// Takes an explicit length so that the save encodes a piece whole, NULs included.
const char* CCommLog::encodeSecondLocked(char* line, size_t length)
{
    memset(m_szEncoded, 0, sizeof m_szEncoded);
    if (line == nullptr || length > kMaxEncodedLine) {
        return m_szEncoded;
    }
    for (size_t i = 0; i < length; ++i) {
        unsigned b = static_cast<unsigned char>(line[i]);
        line[i] = static_cast<char>(((b << 4) | (b >> 4)) & 0xFF);
    }
    CE_MIME_Encord(m_szEncoded, static_cast<int32_t>(length), line);
    return m_szEncoded;
}
