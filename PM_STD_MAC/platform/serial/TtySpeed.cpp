// The kernel's own termios headers: <termios.h> of the C library defines a different struct termios
// and cannot be included beside them, so this file stays apart from the transport.
#include "TtySpeed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

int TtyGetSpeeds(int fd, uint32_t* inSpeed, uint32_t* outSpeed)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return -1;
    }
    *inSpeed = t.c_ispeed;
    *outSpeed = t.c_ospeed;
    return 0;
}

int TtySetAnySpeed(int fd, uint32_t rate)
{
    if (rate == 0) {
        errno = EINVAL; // speed 0 means "hang up", not a rate
        return -1;
    }
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return -1;
    }
    t.c_cflag &= ~(CBAUD | CIBAUD); // input speed follows the output speed
    t.c_cflag |= BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &t);
}
