// The module's millisecond clock and its plain pause.
#include <sched.h>
#include <sys/time.h>
#include <time.h>

#include "Clock.h"
#include "portmdl/PortMdl.h"

namespace {
// Zero until the first call fixes the origin. The log object's constructor makes that call while
// the module loads, before any thread of the module exists.
struct timeval fTimerBase = {0, 0};
} // namespace

uint32_t ElapsedMillis(const struct timeval& base, const struct timeval& now)
{
    long seconds = now.tv_sec - base.tv_sec;
    long micros = now.tv_usec - base.tv_usec;
    if (micros < 0) {
        seconds -= 1;
        micros += 1000000;
    }
    return static_cast<uint32_t>(static_cast<unsigned long>(seconds) * 1000UL +
                                 static_cast<unsigned long>(micros / 1000));
}

extern "C" uint32_t MACTickCount(void)
{
    if (fTimerBase.tv_sec == 0 && fTimerBase.tv_usec == 0) {
        gettimeofday(&fTimerBase, nullptr);
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    return ElapsedMillis(fTimerBase, now);
}

extern "C" int32_t PM_SimpleSleep(uint32_t ms)
{
    // A zero-length nanosleep still sleeps for the timer slack on Linux; a pause of 0 only yields.
    if (ms == 0) {
        sched_yield();
        return 0;
    }
    struct timespec length;
    length.tv_sec = static_cast<time_t>(ms / 1000);
    length.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return nanosleep(&length, nullptr);
}
