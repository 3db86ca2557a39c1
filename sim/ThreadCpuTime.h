// The processor time a simulator's thread has used: how the benchmarks tell what the peer cost
// from what the module cost.
#ifndef PMSIM_THREADCPUTIME_H
#define PMSIM_THREADCPUTIME_H

#include <pthread.h>
#include <time.h>

#include <thread>

namespace pmsim {

// Seconds of processor time the thread has used; 0 when its clock cannot be read (not started,
// or already joined).
inline double ThreadCpuSeconds(const std::thread& thread)
{
    clockid_t clock;
    timespec t{};
    if (pthread_getcpuclockid(const_cast<std::thread&>(thread).native_handle(), &clock) != 0 ||
        clock_gettime(clock, &t) != 0) {
        return 0;
    }
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace pmsim

#endif
