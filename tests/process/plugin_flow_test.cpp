// Real plugins in a real core: a producer's worker raises frames and log
// messages, a consumer receives them through Write; broken files beside them
// change nothing; SIGTERM closes and unloads both in close order.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core_process.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;
constexpr int kFrames = 20;  // as the producer raises them; every 5th syncs

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> matching;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(matching),
                 [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    return matching;
}

std::vector<std::string> ExpectedFrames()
{
    std::vector<std::string> frames;
    for (int i = 0; i < kFrames; ++i) {
        frames.push_back("tp_consumer write type 1 provider 00600000 sync " + std::to_string(i % 5 == 0 ? 1 : 0) +
                         " size 64 first " + std::to_string(i));
    }
    return frames;
}

TEST(PluginFlow, FramesAndLogsReachTheConsumerAndPluginsCloseInCloseOrder)
{
    dvrtest::CoreLayout layout;
    layout.AddPlugin("tp_consumer", "consumer.so");  // loads first, closes last (mask 0x10)
    layout.AddPlugin("tp_producer", "producer.so");  // mask 0xFFFFFFFF
    dvrtest::WriteFile(layout.pluginDir() + "/broken.so", "no library\n");
    std::filesystem::create_symlink("missing.so", layout.pluginDir() + "/dangling.so");
    const std::string tracePath = layout.root() + "/trace";
    ::setenv("DVR_TEST_TRACE", tracePath.c_str(), 1);
    dvrtest::Process core(dvrtest::CoreOptions(layout));
    ::unsetenv("DVR_TEST_TRACE");

    ASSERT_TRUE(core.WaitForOutput("successfully started core version 21.12.2.0", kTimeout))
        << core.Output() << core.Errors();
    const std::string lastFrame = ExpectedFrames().back();
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (dvrtest::ReadFile(tracePath).find(lastFrame) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();
    const std::string output = core.Output();
    EXPECT_NE(output.find("stopping core version 21.12.2.0..."), std::string::npos) << output;
    EXPECT_NE(output.find("Core: Failed to load plugin 'broken.so': "), std::string::npos) << output;
    EXPECT_EQ(output.find("dangling.so"), std::string::npos) << output;

    const std::vector<std::string> trace = Lines(dvrtest::ReadFile(tracePath));
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_NE(std::find(trace.begin(), trace.end(), "tp_producer raised frame " + std::to_string(i) + " result 0"),
                  trace.end())
            << i;
    }
    EXPECT_EQ(Matching(trace, "tp_consumer write type 1 "), ExpectedFrames());
    std::vector<std::string> logs;
    for (int i = 0; i < kFrames; ++i) {
        logs.push_back("tp_consumer write log provider 00600000 level 50 text frame " + std::to_string(i) + " raised");
    }
    EXPECT_EQ(Matching(trace, "tp_consumer write log provider 00600000 "), logs);

    std::vector<std::string> lifecycle;
    for (const std::string& line : trace) {
        const std::string call = line.substr(line.find(' ') + 1);
        if (call == "load" || call == "open" || call == "close" || call == "unload") {
            lifecycle.push_back(line);
        }
    }
    EXPECT_EQ(lifecycle, (std::vector<std::string>{"tp_consumer load", "tp_producer load", "tp_consumer open",
                                                   "tp_producer open", "tp_producer close", "tp_consumer close",
                                                   "tp_producer unload", "tp_consumer unload"}));
    const auto workerEnd = std::find(trace.begin(), trace.end(), "tp_producer worker end");
    EXPECT_LT(workerEnd, std::find(trace.begin(), trace.end(), "tp_producer unload"));
}

}  // namespace
