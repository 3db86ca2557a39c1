// The phone's tty as the daemon drives it: the modem methods translated into terminal calls.
//  - the line coding is the 7 bytes of a USB CDC line coding (rate, little-endian 32 bits; stop
//    bits 0 = 1, 1 = 1.5, 2 = 2; parity 0 none, 1 odd, 2 even, 3 mark, 4 space; data bits 5 to 8)
//    and one byte of padding, 0, in the 8-byte record;
//  - the control-line state has DTR in bit 0 and RTS in bit 1, as the CDC request to set them; when
//    read it also carries the inputs: DCD bit 8, DSR bit 9, RI bit 10, CTS bit 11.
// Every method answers an IOKit-style result: 0 or one of DriverWire.h's.
#ifndef PM_MODEMD_PHONETTY_H
#define PM_MODEMD_PHONETTY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace modemd {

using LineCoding = std::array<uint8_t, 8>;

constexpr int32_t kLineDtr = 1 << 0;
constexpr int32_t kLineRts = 1 << 1;
constexpr int32_t kLineDcd = 1 << 8;
constexpr int32_t kLineDsr = 1 << 9;
constexpr int32_t kLineRi = 1 << 10;
constexpr int32_t kLineCts = 1 << 11;

// The result for a failed terminal call's errno.
int32_t ResultOf(int error);
// True for the errno of a tty whose device went away.
bool Vanished(int error);

class PhoneTty {
  public:
    PhoneTty() = default;
    ~PhoneTty() { Close(); }
    PhoneTty(const PhoneTty&) = delete;
    PhoneTty& operator=(const PhoneTty&) = delete;

    // Opens path (a link is followed) non-blocking, O_NOCTTY | O_CLOEXEC, as the only owner
    // (TIOCEXCL and an exclusive flock, which also holds against root), in raw mode. 0 or errno.
    int Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    // Non-blocking: bytes read or written, or -1 with errno (EAGAIN when nothing can move now).
    long Read(char* buf, std::size_t max);
    long Write(const char* buf, std::size_t len);

    int32_t Purge(); // discards pending input and output
    int32_t GetLineCoding(LineCoding& out) const;
    int32_t SetLineCoding(const LineCoding& in); // fails when the tty does not take it all
    int32_t GetControlLines(int32_t& state) const;
    int32_t SetControlLines(int32_t state);

  private:
    int m_fd = -1;
};

} // namespace modemd

#endif
