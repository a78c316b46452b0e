// The logging call as plugins use it: against a recording event function, and
// through the core's own event entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dvrcore.h"
#include "log_message.h"

namespace {

struct Raised {
    _EventParmsIn in;
    std::string text;
};

std::vector<Raised> raised;
int threshold = -1;

int RecordingEventFunction(_EventParmsIn* in, _EventParmsOut* out)
{
    const bool query = (in->flags & FLAG_LEVEL_QUERY) != 0;
    raised.push_back({*in, query ? std::string() : std::string(static_cast<const char*>(in->data))});
    raised.back().in.data = nullptr;  // the buffer lives on the caller's stack
    out->result = query ? threshold : 0;
    return query ? 0 : 7;  // LogMessage hands back the function's own result
}

class LogMessageCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        raised.clear();
        threshold = -1;
    }
};

TEST_F(LogMessageCall, BelowThresholdOnlyAsksTheLevel)
{
    threshold = 50;
    EXPECT_EQ(LogMessage(0x50000, RecordingEventFunction, 49, "%s", "dropped"), 0);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].in.flags, FLAG_LEVEL_QUERY);
    EXPECT_EQ(raised[0].in.eventType, EVT_LOG);
    EXPECT_EQ(raised[0].in.providerID, 0x50000u);
    EXPECT_EQ(raised[0].in.size, sizeof(_EventParmsIn));
    EXPECT_EQ(raised[0].in.version, 1u);
    EXPECT_EQ(raised[0].in.dataSize, 0u);

    EXPECT_FALSE(IsLogLevelEnabled(0x50000, RecordingEventFunction, 49));
    EXPECT_TRUE(IsLogLevelEnabled(0x50000, RecordingEventFunction, 50));
    threshold = -1;
    EXPECT_TRUE(IsLogLevelEnabled(0x50000, RecordingEventFunction, 0));
    EXPECT_EQ(QueryLogLevel(0x50000, RecordingEventFunction), -1);
}

TEST_F(LogMessageCall, PassingMessageIsRaisedWithItsRecord)
{
    threshold = 25;
    EXPECT_EQ(LogMessage(0x50001, RecordingEventFunction, 25, "value %d", 42), 7);
    ASSERT_EQ(raised.size(), 2u);
    const _EventParmsIn& in = raised[1].in;
    EXPECT_EQ(raised[1].text, "value 42");
    EXPECT_EQ(in.dataSize, 9u);  // the terminating zero is counted
    EXPECT_EQ(in.flags, 0x1000002u);
    EXPECT_EQ(in.eventType, EVT_LOG);
    EXPECT_EQ(in.level, 25);
    EXPECT_EQ(in.providerID, 0x50001u);
    EXPECT_EQ(in.handle, nullptr);
    EXPECT_EQ(in.syncFrame, 0);
}

TEST_F(LogMessageCall, LongTextIsCutAndEmptyTextRaisesNothing)
{
    const std::string long_text(600, 'x');
    LogMessage(1, RecordingEventFunction, 0, "%s", long_text.c_str());
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(raised[1].in.dataSize, 512u);
    EXPECT_EQ(raised[1].text, std::string(511, 'x'));

    raised.clear();
    EXPECT_EQ(LogMessage(1, RecordingEventFunction, 0, "%s", ""), 0);
    EXPECT_EQ(raised.size(), 1u);  // the level query only
    EXPECT_EQ(LogMessage(1, nullptr, 100, "no event function"), 0);
}

// The core answers level queries and filters by its own tables.
class CaptureCore : public dvrcore {
public:
    CaptureCore() : dvrcore("/nonexistent/dvrcore") {}
    void WriteLog(uint32_t provider, uint32_t level, const char* text) override
    {
        lines.push_back(std::to_string(provider) + "/" + std::to_string(level) + "/" + text);
    }
    std::vector<std::string> lines;
};

TEST(CoreLogFiltering, ThresholdsDecideWritingAndRouting)
{
    CaptureCore core;
    const uint32_t plugin = 0x50000;  // index 5, no threshold yet

    EXPECT_EQ(QueryLogLevel(plugin, CoreEventCallback), -1);
    EXPECT_EQ(QueryLogLevel(CORE_PROVIDER_ID, CoreEventCallback), 25);
    // An index beyond the table has no threshold.
    EXPECT_EQ(QueryLogLevel(0x0FFF0000, CoreEventCallback), -1);

    // No threshold: written; level 0 stays out of the queue, others go on.
    LogMessage(plugin, CoreEventCallback, 0, "detail");
    LogMessage(plugin, CoreEventCallback, 10, "routed");
    EXPECT_EQ(core.lines, (std::vector<std::string>{"327680/0/detail", "327680/10/routed"}));
    ASSERT_EQ(core.eventQueue.size(), 1u);
    EXPECT_STREQ(static_cast<const char*>(core.eventQueue.front().event.data), "routed");

    // Threshold 0: level 0 is written and queued; below a threshold nothing.
    core.logLevels.Set(5, 0);
    LogMessage(plugin, CoreEventCallback, 0, "detail2");
    EXPECT_EQ(core.eventQueue.size(), 2u);
    core.logLevels.Set(5, 60);
    _EventParmsIn in{};
    char text[] = "below";
    in.size = sizeof in;
    in.dataSize = sizeof text;
    in.data = text;
    in.providerID = plugin;
    in.eventType = EVT_LOG;
    in.flags = FLAG_LOG_MESSAGE;
    in.level = 59;
    _EventParmsOut out{sizeof out, 1, 1234};
    CoreEventCallback(&in, &out);
    EXPECT_EQ(out.result, 1234);  // untouched
    EXPECT_EQ(core.lines.size(), 3u);
    EXPECT_EQ(QueryLogLevel(plugin, CoreEventCallback), 60);

    // A text without its terminating zero is written only up to its size.
    char unterminated[3] = {'a', 'b', 'c'};
    in.data = unterminated;
    in.dataSize = 2;
    in.level = 60;
    CoreEventCallback(&in, &out);
    EXPECT_EQ(core.lines.back(), "327680/60/ab");
}

TEST(CoreEventEntry, AcceptedEventOwnsItsPayloadAndStopRefusesQueuedTypes)
{
    CaptureCore core;
    char buffer[] = "frame bytes";
    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.dataSize = sizeof buffer;
    in.data = buffer;
    in.providerID = 0x60000;
    in.eventType = EVT_STATUS;
    in.opaque2[132] = 0x5a;
    _EventParmsOut out{sizeof out, 1, -7};
    EXPECT_EQ(CoreEventCallback(&in, &out), 0);
    EXPECT_EQ(out.result, RESULT_OK);
    buffer[0] = 'X';  // the raiser reuses its buffer at once
    ASSERT_EQ(core.eventQueue.size(), 1u);
    const _EventParmsIn& queued = core.eventQueue.front().event;
    EXPECT_NE(queued.data, buffer);
    EXPECT_STREQ(static_cast<const char*>(queued.data), "frame bytes");
    EXPECT_EQ(queued.opaque2[132], 0x5a);

    // A payload pointer without a size is queued without payload.
    in.dataSize = 0;
    CoreEventCallback(&in, &out);
    EXPECT_EQ(core.eventQueue.back().event.data, nullptr);

    core.RequestStop();
    out.result = -7;
    in.dataSize = sizeof buffer;
    CoreEventCallback(&in, &out);
    EXPECT_EQ(out.result, RESULT_REFUSED);
    EXPECT_EQ(core.eventQueue.size(), 2u);

    // The dispatcher drains what was queued before the stop, then returns.
    core.DispatchEvents();
    EXPECT_TRUE(core.eventQueue.empty());
}

}  // namespace
