// The model-based stress test on each transport (docs/stress.md): a few seconds in the test run;
// ./dev.sh stress SECONDS [SEED] [TRANSPORT] runs it long, or replays a failure's seed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <random>

#include "StressRun.h"

namespace stress {

void PrintTo(Link link, std::ostream* out)
{
    *out << LinkName(link);
}

} // namespace stress

namespace {

using stress::Link;

class Stress : public ::testing::TestWithParam<Link> {};

std::string LinkTestName(const ::testing::TestParamInfo<Link>& info)
{
    switch (info.param) {
    case Link::Serial:
        return "Tty";
    case Link::Modem:
        return "Modem";
    case Link::Bluetooth:
        return "Bluetooth";
    }
    return "Unknown";
}

} // namespace

// Two host threads call the port at random while the phone writes its stream in bursts; every
// call is checked against the model of what the port may and must do.
TEST_P(Stress, EveryCallKeepsToTheModel)
{
    std::optional<Link> only = stress::LinkFromEnvironment();
    const char* named = std::getenv("PM_STRESS_TRANSPORT");
    ASSERT_TRUE(only || named == nullptr || *named == '\0')
        << "PM_STRESS_TRANSPORT is tty, modem or bluetooth, not " << named;
    if (only && *only != GetParam()) {
        GTEST_SKIP() << "PM_STRESS_TRANSPORT names another transport";
    }
    stress::RunOptions options;
    options.link = GetParam();
    options.seconds = stress::SecondsFromEnvironment(4);
    options.seed = stress::SeedFromEnvironment().value_or(std::random_device{}());
    // First, so a run that never ends still names its seed.
    std::printf("stress: %s transport, seed %llu, %g s\n", stress::LinkName(options.link),
                static_cast<unsigned long long>(options.seed), options.seconds);
    std::fflush(stdout);
    stress::RunResult result = stress::RunStress(options);
    EXPECT_TRUE(result.passed) << result.report;
    if (result.passed) {
        std::printf("%s\n", result.report.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, Stress,
                         ::testing::Values(Link::Serial, Link::Modem, Link::Bluetooth),
                         LinkTestName);
