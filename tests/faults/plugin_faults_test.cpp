// Plugins that misbehave inside the core: one is slow in Write, one keeps
// blocks and never gives them back, one gives blocks back twice, one replies
// from threads that are no reader delivery threads, one fails in every entry
// and one fails its Load. A producer and a consumer (soak plugins) check that
// the others are still served whole and in order, and the core stops cleanly.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>

#include "core_process.h"
#include "plugin_reports.h"
#include "soak_traffic.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;

TEST(PluginFaults, MisbehavingPluginsLeaveTheOthersServedAndTheCoreStops)
{
    dvrtest::CoreLayout layout;
    for (const char* plugin : {"soak_producer_a", "soak_consumer_a", "fault_slow", "fault_keeper", "fault_twice",
                               "fault_wrong_thread", "fault_errors", "fault_load_fails"}) {
        layout.AddPlugin(plugin);
    }
    // The core's level-0 lines: failed calls, slow writes, the leak report.
    dvrtest::WriteFile(layout.workDir() + "/core.xml", dvrtest::CoreXmlWithLevels(0));
    dvrtest::Process core(dvrtest::CoreOptions(layout));
    ASSERT_TRUE(core.WaitForOutput("successfully started core version", kTimeout)) << core.Output();
    std::this_thread::sleep_for(3s);
    core.Signal(SIGTERM);
    ASSERT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();

    const std::string output = core.Output();
    const auto has = [&output](const std::string& text) { return output.find(text) != std::string::npos; };
    std::size_t slowWrites = 0;
    for (auto at = output.find(" -> fault_slow.so"); at != std::string::npos;
         at = output.find(" -> fault_slow.so", at + 1)) {
        ++slowWrites;
    }
    EXPECT_TRUE(has("plugin fault_load_fails.so load returned -5 error 6"));
    for (const char* call : {"write", "update config", "close", "unload"}) {
        EXPECT_TRUE(has(std::string("plugin fault_errors.so ") + call + " returned -5 error 6")) << call;
    }
    EXPECT_GT(slowWrites, 0u) << "the slow plugin's writes are logged";
    EXPECT_TRUE(has("leaked by plugins [470000]")) << "the blocks the keeper never gave back";

    const PluginReports reports(dvrtest::ReadFile(layout.workDir() + "/" + SOAK_REPORT));
    const PluginReports::StreamCheck streams = reports.CheckStreams(1);
    EXPECT_GT(streams.events, 0u);
    for (const std::string& failure : streams.failures) {
        ADD_FAILURE() << failure;
    }
    EXPECT_EQ(reports.Sum("producer", "errors"), 0u);
    EXPECT_EQ(reports.Sum("misbehaving", "kept", "00470000"), 64u);
    EXPECT_EQ(reports.Sum("misbehaving", "damaged"), 0u) << "a block was freed while a plugin still held it";
    EXPECT_EQ(reports.Sum("misbehaving", "admitted", "00920000"), 0u);
    EXPECT_GT(reports.Sum("misbehaving", "refused", "00920000"), 0u);
    std::printf("misbehaving plugins: %" PRIu64
                " events delivered whole and in order, %zu slow writes logged, "
                "64 blocks leaked, %" PRIu64 " replies from wrong threads refused\n",
                streams.events, slowWrites, reports.Sum("misbehaving", "refused", "00920000"));
}

}  // namespace
