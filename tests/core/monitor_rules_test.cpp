// The resource monitor's rules, with the clocks and the resident size in the
// test's hands: ticks are direct calls, nothing waits and nothing allocates.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "dvrcore.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kMiB = 1048576;

struct LogLine {
    uint32_t level;
    std::string text;
};

class MonitoredCore : public dvrcore {
public:
    MonitoredCore() : dvrcore("/nonexistent/dvrcore")
    {
        // Let the core's detail messages through, the memory limit among them.
        logLevels.Set(0, 0);
    }

    Clock::time_point Now() override { return steady; }
    std::time_t WallTime() override { return wall; }
    uint32_t ReadResidentBytes() override
    {
        ++samples;
        return resident;
    }
    void PublishMemoryStatus() override { published.push_back(throttling); }
    void WriteLog(uint32_t, uint32_t level, const char* text) override { lines.push_back({level, text}); }

    void Tick() { OnTimer(boost::system::error_code()); }
    // A tick in the next wall-clock second, `elapsed` later on the steady
    // clock, with `bytes` resident.
    void Sample(uint32_t bytes, Clock::duration elapsed = 1s)
    {
        resident = bytes;
        steady += elapsed;
        wall += 1;
        Tick();
    }

    int Count(const std::string& text) const
    {
        return static_cast<int>(
            std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) { return line.text == text; }));
    }
    int CountStartingWith(const std::string& prefix) const
    {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
            return line.text.compare(0, prefix.size(), prefix) == 0;
        }));
    }
    uint32_t LevelOf(const std::string& text) const
    {
        for (const auto& line : lines) {
            if (line.text == text) {
                return line.level;
            }
        }
        return UINT32_MAX;
    }

    // Ten minutes after boot, so that the first sample is also reported.
    Clock::time_point steady = Clock::time_point(10min);
    std::time_t wall = 1700000000;
    uint32_t resident = 45 * kMiB;
    int samples = 0;
    std::vector<bool> published;  // the throttling flag of each status document
    std::vector<LogLine> lines;
};

const std::string kLow = "available system memory is low, throttling video";
const std::string kOk = "available system memory ok, not throttling video";

TEST(MonitorRules, FirstTickLogsTheLimitAndPublishesTheStatus)
{
    MonitoredCore core;
    core.Tick();
    EXPECT_EQ(core.Count("memory limit set to 199229440"), 1);
    EXPECT_EQ(core.LevelOf("memory limit set to 199229440"), 0u);
    EXPECT_EQ(core.published, std::vector<bool>{false});
    EXPECT_EQ(core.samples, 1);

    core.Sample(45 * kMiB);
    EXPECT_EQ(core.Count("memory limit set to 199229440"), 1);
    EXPECT_EQ(core.published.size(), 1u);
    EXPECT_EQ(core.samples, 2);

    // Further ticks within the same wall-clock second take no sample.
    core.steady += 100ms;
    core.Tick();
    EXPECT_EQ(core.samples, 2);
}

TEST(MonitorRules, SwitchedOffMonitorOnlyWatchesTheClock)
{
    MonitoredCore core;
    core.memoryMonitor = false;
    core.throttling = true;  // left from before the switch
    core.resident = MEMORY_LIMIT + 1;
    core.Tick();
    core.Sample(MEMORY_LIMIT + 1);
    core.wall += 10;
    core.Tick();

    EXPECT_EQ(core.samples, 0);
    EXPECT_TRUE(core.published.empty());
    EXPECT_TRUE(core.throttling);
    EXPECT_EQ(core.Count(kLow), 0);
    EXPECT_EQ(core.CountStartingWith("memory usage changed"), 0);
    EXPECT_EQ(core.Count("system time changed by 10 seconds"), 1);
}

TEST(MonitorRules, OnlyMoreThanTheLimitThrottles)
{
    MonitoredCore core;
    core.resident = MEMORY_LIMIT;
    core.Tick();
    EXPECT_FALSE(core.throttling);
    EXPECT_EQ(core.Count(kLow), 0);

    core.Sample(MEMORY_LIMIT + 1);
    EXPECT_TRUE(core.throttling);
    EXPECT_EQ(core.Count(kLow), 1);
    EXPECT_EQ(core.LevelOf(kLow), 50u);
    EXPECT_EQ(core.published, (std::vector<bool>{false, true}));
}

TEST(MonitorRules, EpisodeEndsSixtySecondsAfterTheLastOverLimitSample)
{
    MonitoredCore core;
    core.resident = MEMORY_LIMIT + 1;
    core.Tick();  // t = 0: over, announced at once
    EXPECT_TRUE(core.throttling);

    core.Sample(10 * kMiB, 1s);  // t = 1: frames flow again, episode still open
    EXPECT_FALSE(core.throttling);
    core.Sample(MEMORY_LIMIT + 1, 29s);  // t = 30: over again, no new announcement
    EXPECT_TRUE(core.throttling);
    core.Sample(10 * kMiB, 1s);   // t = 31
    core.Sample(10 * kMiB, 58s);  // t = 89: 59 s after the last over-limit sample
    EXPECT_EQ(core.Count(kOk), 0);

    core.Sample(10 * kMiB, 1s);  // t = 90
    EXPECT_EQ(core.Count(kOk), 1);
    EXPECT_EQ(core.LevelOf(kOk), 50u);
    core.Sample(10 * kMiB, 1s);
    core.Sample(10 * kMiB, 120s);

    EXPECT_FALSE(core.throttling);
    EXPECT_EQ(core.Count(kLow), 1);
    EXPECT_EQ(core.Count(kOk), 1);
    EXPECT_EQ(core.published, (std::vector<bool>{false, true, false}));
}

TEST(MonitorRules, UsageIsReportedOnceAMinute)
{
    {
        MonitoredCore core;
        core.Tick();  // long after boot: the first sample reports everything
        EXPECT_EQ(core.Count("memory usage changed 45MB (total usage: 45MB)"), 1);
        EXPECT_EQ(core.LevelOf("memory usage changed 45MB (total usage: 45MB)"), 25u);

        core.Sample(100 * kMiB, 30s);
        EXPECT_EQ(core.CountStartingWith("memory usage changed"), 1);

        // A fall of 1.5 MiB truncates toward zero.
        core.Sample(45 * kMiB - 3 * kMiB / 2, 30s);
        EXPECT_EQ(core.Count("memory usage changed -1MB (total usage: 43MB)"), 1);
        EXPECT_EQ(core.CountStartingWith("memory usage changed"), 2);
    }
    {
        MonitoredCore core;
        core.steady = dvrcore::Clock::time_point(30s);  // just booted
        core.Tick();
        EXPECT_EQ(core.CountStartingWith("memory usage changed"), 0);
        core.Sample(45 * kMiB, 30s);
        EXPECT_EQ(core.Count("memory usage changed 45MB (total usage: 45MB)"), 1);
    }
}

TEST(MonitorRules, ClockJumpsAreLoggedOnceWithTheirSign)
{
    MonitoredCore core;
    core.Tick();
    core.wall -= 3600;  // set back by an hour
    core.steady += 100ms;
    core.Tick();
    EXPECT_EQ(core.Count("system time changed by -3600 seconds"), 1);
    EXPECT_EQ(core.LevelOf("system time changed by -3600 seconds"), 50u);

    core.Sample(45 * kMiB);  // one second on: no jump
    core.wall -= 1;          // a second back: no jump either
    core.Tick();
    core.wall += 2;  // a stall over two second changes
    core.Tick();
    EXPECT_EQ(core.Count("system time changed by 2 seconds"), 1);
    EXPECT_EQ(core.CountStartingWith("system time changed"), 2);

    // Jumps of int's range and beyond: the largest magnitude int holds, with
    // the sign (a 32-bit time_t takes these readings too).
    core.wall = core.wall - 2147483647 - 1;
    core.Tick();
    EXPECT_EQ(core.Count("system time changed by -2147483647 seconds"), 1);
    core.wall = core.wall + 2147483647;
    core.Tick();
    EXPECT_EQ(core.Count("system time changed by 2147483647 seconds"), 1);
}

TEST(MonitorRules, StoppedTimerNeitherWorksNorRearms)
{
    MonitoredCore core;
    const auto firstExpiry = core.timer.expiry();

    core.OnTimer(boost::asio::error::operation_aborted);
    core.timerStopped = true;
    core.OnTimer(boost::system::error_code());
    EXPECT_TRUE(core.lines.empty());
    EXPECT_TRUE(core.published.empty());
    EXPECT_EQ(core.samples, 0);
    EXPECT_EQ(core.timer.expiry(), firstExpiry);

    core.timerStopped = false;
    core.Tick();
    EXPECT_GT(core.timer.expiry(), firstExpiry);
}

}  // namespace

namespace {

// Freed heap that the allocator still holds counts as resident; the monitor
// hands it back and decides on a second reading, so a drained backlog does not
// keep the core throttling.
class TrimmingCore : public MonitoredCore {
public:
    uint32_t ReadResidentBytes() override
    {
        ++samples;
        return samples % 2 == 1 ? resident : afterTrim;
    }
    uint32_t afterTrim = 100 * kMiB;
};

TEST(ResourceMonitor, OverLimitSampleIsTakenAgainAfterHandingBackFreeHeap)
{
    TrimmingCore core;
    core.Sample(static_cast<uint32_t>(MEMORY_LIMIT) + 1);
    EXPECT_EQ(core.samples, 2);
    EXPECT_FALSE(core.throttling);
    EXPECT_EQ(core.Count("available system memory is low, throttling video"), 0);

    // Still over the limit after the trim: throttle.
    core.afterTrim = static_cast<uint32_t>(MEMORY_LIMIT) + 1;
    core.Sample(static_cast<uint32_t>(MEMORY_LIMIT) + 1);
    EXPECT_EQ(core.samples, 4);
    EXPECT_TRUE(core.throttling);
    EXPECT_EQ(core.Count("available system memory is low, throttling video"), 1);

    // Under the limit: one reading only.
    core.Sample(10 * kMiB);
    EXPECT_EQ(core.samples, 5);
}

}  // namespace
