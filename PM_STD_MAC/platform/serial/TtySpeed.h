// Line speeds as plain bits per second, through the kernel's termios2 interface: the way to read
// the speeds of any line, and to set a rate that <termios.h> has no constant for (14400 bit/s).
#ifndef PM_STD_MAC_PLATFORM_TTYSPEED_H
#define PM_STD_MAC_PLATFORM_TTYSPEED_H

#include <cstdint>

// The line's input and output speeds in bits per second. 0 on success, -1 with errno.
int TtyGetSpeeds(int fd, uint32_t* inSpeed, uint32_t* outSpeed);

// Sets both speeds to rate (any positive rate the driver accepts) at once, keeping every other
// setting of the line. 0 on success, -1 with errno.
int TtySetAnySpeed(int fd, uint32_t rate);

#endif
