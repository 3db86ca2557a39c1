// Internal side of the clock: the elapsed-time rule on its own, so it can be checked on fixed times.
#ifndef PM_STD_MAC_CLOCK_H
#define PM_STD_MAC_CLOCK_H

#include <cstdint>
#include <sys/time.h>

// Milliseconds from base to now, borrowing a second when now's microseconds are below base's;
// wraps after 2^32 ms.
uint32_t ElapsedMillis(const struct timeval& base, const struct timeval& now);

#endif
