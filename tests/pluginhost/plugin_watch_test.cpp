// The watch's tick clock as the accounting reads it around a plugin call.
#include <gtest/gtest.h>

#include <chrono>

#include "plugin_accounting.h"
#include "plugin_watch.h"

namespace {

using namespace std::chrono_literals;

TEST(PluginWatchTicks, ACallAcrossTheFirstTickCountsOnlyTheTimeSinceTheWatchStarted)
{
    PluginWatch watch;
    CallTally writes;
    const uint64_t start = watch.TickNs();
    watch.Check(std::chrono::steady_clock::now() + PluginWatch::kTick);
    writes.Count(start, watch.TickNs());
    EXPECT_GE(writes.longestNs.load(), std::chrono::nanoseconds(PluginWatch::kTick).count());
    EXPECT_LT(writes.longestNs.load(), std::chrono::nanoseconds(10s).count()) << "not the clock's whole epoch";
}

}  // namespace
