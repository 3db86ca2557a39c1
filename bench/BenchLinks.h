// What the benchmarks share: the megabyte the phone sends, and the cable that answers "AT\r" with
// "OK\r\n" (one per process, so every benchmark of a run talks to the same phone).
#ifndef BENCH_BENCHLINKS_H
#define BENCH_BENCHLINKS_H

#include <string>

#include "CableSim.h"

namespace benchlinks {

constexpr int kMiB = 1 << 20;

inline const std::string& Payload()
{
    static const std::string payload = [] {
        std::string s(kMiB, '\0');
        for (int i = 0; i < kMiB; ++i) {
            s[static_cast<size_t>(i)] = static_cast<char>((i * 31 + 7) & 0xFF);
        }
        return s;
    }();
    return payload;
}

inline pmsim::CableSim& Cable()
{
    static auto* cable = [] {
        auto* c = new pmsim::CableSim();
        c->AddReply("AT\r", "OK\r\n");
        return c;
    }();
    return *cable;
}

} // namespace benchlinks

#endif
