#include "PhoneTty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "DriverWire.h"
#include "platform/serial/TtySpeed.h"

namespace modemd {

int32_t ResultOf(int error)
{
    switch (error) {
    case EIO:
    case ENODEV:
    case ENXIO:
    case ENOENT:
        return pmwire::kNotAttached;
    case EBUSY:
    case EWOULDBLOCK:
        return pmwire::kExclusiveAccess;
    case EACCES:
    case EPERM:
        return pmwire::kNotPermitted;
    case ENOTTY:
    case EINVAL:
        return pmwire::kUnsupported;
    default:
        return pmwire::kError;
    }
}

bool Vanished(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}

int PhoneTty::Open(const std::string& path)
{
    Close();
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    termios t{};
    int error = 0;
    if (tcgetattr(fd, &t) != 0) {
        error = errno;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno; // another owner, root included
    } else if (ioctl(fd, TIOCEXCL) != 0) {
        error = errno;
    } else {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD; // a phone's modem lines must not stop the data
        // With VMIN 0 an empty tty reads as end of file, like a hung-up one; with 1 it reads
        // as EAGAIN (the descriptor stays non-blocking), so end of file means the phone is gone.
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (tcsetattr(fd, TCSANOW, &t) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        close(fd);
        return error;
    }
    m_fd = fd;
    return 0;
}

void PhoneTty::Close()
{
    if (m_fd >= 0) {
        close(m_fd); // the flock and TIOCEXCL go with the last descriptor
        m_fd = -1;
    }
}

long PhoneTty::Read(char* buf, std::size_t max)
{
    return static_cast<long>(read(m_fd, buf, max));
}

long PhoneTty::Write(const char* buf, std::size_t len)
{
    return static_cast<long>(write(m_fd, buf, len));
}

int32_t PhoneTty::Purge()
{
    return tcflush(m_fd, TCIOFLUSH) == 0 ? 0 : ResultOf(errno);
}

int32_t PhoneTty::GetLineCoding(LineCoding& out) const
{
    termios t{};
    uint32_t in = 0, rate = 0;
    if (tcgetattr(m_fd, &t) != 0 || TtyGetSpeeds(m_fd, &in, &rate) != 0) {
        return ResultOf(errno);
    }
    uint8_t dataBits = 8;
    switch (t.c_cflag & CSIZE) {
    case CS5: dataBits = 5; break;
    case CS6: dataBits = 6; break;
    case CS7: dataBits = 7; break;
    default: break;
    }
    uint8_t stopBits = 0;
    if (t.c_cflag & CSTOPB) {
        stopBits = dataBits == 5 ? 1 : 2; // with 5 data bits the second stop bit is a half
    }
    uint8_t parity = 0;
    if (t.c_cflag & PARENB) {
        bool odd = (t.c_cflag & PARODD) != 0;
        parity = (t.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    std::memcpy(out.data(), &rate, 4); // little-endian, as this machine
    out[4] = stopBits;
    out[5] = parity;
    out[6] = dataBits;
    out[7] = 0;
    return 0;
}

int32_t PhoneTty::SetLineCoding(const LineCoding& in)
{
    uint32_t rate;
    std::memcpy(&rate, in.data(), 4);
    const uint8_t stopBits = in[4], parity = in[5], dataBits = in[6];
    if (rate == 0 || stopBits > 2 || parity > 4 || dataBits < 5 || dataBits > 8 ||
        (stopBits == 1 && dataBits != 5)) { // 1.5 stop bits exist only with 5 data bits
        return pmwire::kBadArgument;
    }
    termios t{};
    if (tcgetattr(m_fd, &t) != 0) {
        return ResultOf(errno);
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dataBits - 5];
    if (stopBits != 0) {
        t.c_cflag |= CSTOPB;
    }
    if (parity != 0) {
        t.c_cflag |= PARENB;
        if (parity == 1 || parity == 3) {
            t.c_cflag |= PARODD;
        }
        if (parity >= 3) {
            t.c_cflag |= CMSPAR;
        }
    }
    if (tcsetattr(m_fd, TCSANOW, &t) != 0 || TtySetAnySpeed(m_fd, rate) != 0) {
        return ResultOf(errno);
    }
    // A tty takes what it can and drops the rest without a word: report a setting it dropped.
    LineCoding now{};
    int32_t result = GetLineCoding(now);
    if (result != 0) {
        return result;
    }
    return std::memcmp(now.data(), in.data(), 7) == 0 ? 0 : pmwire::kUnsupported;
}

int32_t PhoneTty::GetControlLines(int32_t& state) const
{
    int bits = 0;
    if (ioctl(m_fd, TIOCMGET, &bits) != 0) {
        return ResultOf(errno);
    }
    state = ((bits & TIOCM_DTR) ? kLineDtr : 0) | ((bits & TIOCM_RTS) ? kLineRts : 0) |
            ((bits & TIOCM_CAR) ? kLineDcd : 0) | ((bits & TIOCM_DSR) ? kLineDsr : 0) |
            ((bits & TIOCM_RNG) ? kLineRi : 0) | ((bits & TIOCM_CTS) ? kLineCts : 0);
    return 0;
}

int32_t PhoneTty::SetControlLines(int32_t state)
{
    if ((state & ~(kLineDtr | kLineRts)) != 0) {
        return pmwire::kBadArgument;
    }
    // Both outputs in one call; a USB modem's driver has no other lines TIOCMSET could clear.
    int bits = ((state & kLineDtr) ? TIOCM_DTR : 0) | ((state & kLineRts) ? TIOCM_RTS : 0);
    return ioctl(m_fd, TIOCMSET, &bits) == 0 ? 0 : ResultOf(errno);
}

} // namespace modemd
