// The resource monitor against real memory: a plugin that holds more than
// the limit gets its frames refused.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core_process.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;

TEST(MonitorRealMemory, FramesAreThrottledWhileTheCoreHoldsTooMuch)
{
    dvrtest::CoreLayout layout;
    layout.AddPlugin("probe_hog");
    dvrtest::Process core(dvrtest::CoreOptions(layout));

    ASSERT_TRUE(core.WaitForOutput("hog holds 200 MiB", kTimeout)) << core.Output() << core.Errors();
    ASSERT_TRUE(core.WaitForOutput("hog frame result ", kTimeout)) << core.Output() << core.Errors();
    const std::string log = core.Output();
    const auto low = log.find("available system memory is low, throttling video");
    const auto refused = log.find("hog frame result 5");
    EXPECT_NE(low, std::string::npos) << log;
    EXPECT_NE(refused, std::string::npos) << log;
    EXPECT_LT(low, refused) << log;

    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();
}

}  // namespace
