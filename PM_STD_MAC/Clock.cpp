// The module's millisecond clock and its plain pause.
#include <cerrno>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <time.h>

#include "Clock.h"
#include "portmdl/PortMdl.h"

namespace {
// Zero until the first call fixes the origin. The log object's constructor makes that call while
// the module loads, before any thread of the module exists.
struct timeval fTimerBase = {0, 0};
// How much of a pause is yielded away at its end instead of slept: enough to cover most of the
// wake-up latency, little enough that the yielding costs less than the sleep itself.
constexpr long long kYieldTailNs = 25000;

void addNanos(struct timespec& t, long long nanos)
{
    long long total = static_cast<long long>(t.tv_nsec) + nanos;
    long long seconds = total / 1000000000LL;
    long long rest = total % 1000000000LL;
    if (rest < 0) {
        rest += 1000000000LL;
        seconds -= 1;
    }
    t.tv_sec += static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>(rest);
}
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

// The time of the monotonic clock as a time-of-day record: a wall clock that is set back or
// forward must not stretch or cut a time-out measured on the tick.
static struct timeval monotonicNow()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return {t.tv_sec, static_cast<suseconds_t>(t.tv_nsec / 1000)};
}

extern "C" uint32_t MACTickCount(void)
{
    if (fTimerBase.tv_sec == 0 && fTimerBase.tv_usec == 0) {
        fTimerBase = monotonicNow();
    }
    return ElapsedMillis(fTimerBase, monotonicNow());
}

extern "C" int32_t PM_SimpleSleep(uint32_t ms)
{
    // A zero-length nanosleep still sleeps for the timer slack on Linux; a pause of 0 only yields.
    if (ms == 0) {
        sched_yield();
        return 0;
    }
    // Linux wakes a sleeper late by its timer slack and the scheduler's latency (tens of
    // microseconds), which would stretch the 2 ms pause before every send. So the sleep ends a
    // little early and the rest of the pause is yielded away against the clock, and the thread's
    // timer slack is lowered for the sleep. The thread is usually the host's, so its slack is
    // given back afterwards: the host's own timers keep the slack it chose.
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    addNanos(deadline, static_cast<long long>(ms) * 1000000LL);
    struct timespec wake = deadline;
    addNanos(wake, -kYieldTailNs);

    int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    bool lowered = slack > 1 && prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    // A signal must not cut the pause short: the sleep goes on to the same absolute time.
    int result;
    do {
        result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    } while (result == EINTR);
    if (lowered) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
    }
    if (result != 0) {
        errno = result;
        return -1;
    }
    struct timespec now;
    do {
        sched_yield();
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while (now.tv_sec < deadline.tv_sec ||
             (now.tv_sec == deadline.tv_sec && now.tv_nsec < deadline.tv_nsec));
    return 0;
}
