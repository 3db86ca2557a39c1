// One run of the stress test (docs/stress.md): two host threads make a seeded random schedule of
// port calls while the phone writes its stream in random bursts, and the model checks every call.
#ifndef TESTS_STRESSRUN_H
#define TESTS_STRESSRUN_H

#include <cstdint>
#include <optional>
#include <string>

#include "PortModel.h"

namespace stress {

struct RunOptions {
    Link link = Link::Serial;
    uint64_t seed = 0;
    double seconds = 4;
};

struct RunResult {
    bool passed = false;
    // On failure: the broken rule, the seed and transport, how to replay, and the last calls.
    // Otherwise a summary of what the run did.
    std::string report;
};

RunResult RunStress(const RunOptions& options);

// The run's length and seed from the environment (PM_STRESS_SECONDS, PM_STRESS_SEED), and the
// transport it is limited to (PM_STRESS_TRANSPORT: tty, modem or bluetooth), if any.
double SecondsFromEnvironment(double otherwise);
std::optional<uint64_t> SeedFromEnvironment();
std::optional<Link> LinkFromEnvironment();

} // namespace stress

#endif
