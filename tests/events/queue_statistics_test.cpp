// The once-a-minute queue statistics report.
#include <gtest/gtest.h>

#include <sstream>

#include "event_test_core.h"
#include "queue_statistics.h"

using namespace eventtest;

namespace {

constexpr int32_t kMinutePasses = 61;  // event level that makes Write move the clock

TEST(EventStatistics, TwoLinesAMinuteWhileEventsFlowWithCountersReset)
{
    FakePlugin writer;
    TestCore core;
    AddPlugin(core, 0, writer, {0x10000});
    writer.onWrite = [&](const WriteParms& parms, WriteResult&) {
        if (parms.level == kMinutePasses) {
            core.Advance(std::chrono::seconds(kMinutePasses));
        }
        return 0;
    };
    core.throttling = true;
    core.Raise(Event(0x20000, EVT_VIDEO, FLAG_FRAME));
    core.Raise(Event(0x20000, EVT_VIDEO, FLAG_FRAME));
    core.Raise(Event(0x20000, EVT_AUDIO, FLAG_FRAME));
    core.throttling = false;

    // The clock moves in the Write of the 1499th event: the 1500th reports.
    for (int i = 0; i < 1499; ++i) {
        _EventParmsIn in = Event(0x20000, EVT_STATUS);
        in.level = i == 1498 ? kMinutePasses : 0;
        core.Raise(in);
    }
    std::vector<char> payload(1234);
    core.Raise(Event(0x20000, EVT_STATUS, 0, payload.data(), static_cast<uint32_t>(payload.size())));
    _EventParmsIn again = Event(0x20000, EVT_STATUS);
    again.level = kMinutePasses;
    core.Raise(again);
    core.Raise(Event(0x20000, EVT_STATUS));
    core.Drain();

    std::vector<std::string> report = core.LinesStartingWith("core event queue size");
    const std::vector<std::string> top = core.LinesStartingWith("Top - ");
    report.insert(report.end(), top.begin(), top.end());
    EXPECT_EQ((std::vector<std::string>{
                  "core event queue size: 2, throttledframes:[v:2 a:1], events:1,500, refblks: 1 (1,234 bytes)",
                  // Stopping: the first report's own lines were not queued.
                  "core event queue size: 0, throttledframes:[v:0 a:0], events:2, refblks: 0 (0 bytes)",
                  "Top - 80000000:1", "Top - "}),
              report);
}

TEST(EventStatistics, TopListHoldsTheFiveBiggestOwnersInDescendingOrder)
{
    const std::unordered_map<uint32_t, uint32_t> tally{{0x10000, 9}, {0x20000, 1}, {0x30000, 5}, {0x40000, 5},
                                                       {0x50000, 3}, {0x60000, 7}, {0x70000, 2}};
    // Equal counts keep the order in which the tally is visited.
    std::ostringstream fives;
    for (const auto& entry : tally) {
        if (entry.second == 5) {
            fives << std::hex << entry.first << ":5, ";
        }
    }
    EXPECT_EQ("10000:9, 60000:7, " + fives.str() + "50000:3", QueueStatistics::TopOwnersText(tally));
    EXPECT_EQ("", QueueStatistics::TopOwnersText({}));
}

}  // namespace
