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
    EXPECT_NE(core.Output().find("hog frame result 5"), std::string::npos) << core.Output();
    // The flag is set before the announcement is written: the refusal may be
    // logged first.
    EXPECT_TRUE(core.WaitForOutput("available system memory is low, throttling video", kTimeout)) << core.Output();

    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();
}

}  // namespace
