#include "queue_statistics.h"

#include <locale>
#include <sstream>
#include <utility>
#include <vector>

#include "grouped_number.h"
#include "log_message.h"

QueueStatistics::QueueStatistics(EventFunction eventFn, Clock::time_point start) : eventFn_(eventFn), lastReport_(start)
{
}

void QueueStatistics::Check(Clock::time_point now, FrameGate& frames, const RefBlockTable& blocks)
{
    if (!Due(now)) {
        return;
    }
    lastReport_ = now;
    const FrameGate::ThrottledCounts throttled = frames.TakeThrottledFrames();
    LogMessage(CORE_PROVIDER_ID, eventFn_, LOG_LEVEL_INFO,
               "core event queue size: %zu, throttledframes:[v:%s a:%s], events:%s, refblks: %s (%s bytes)",
               queueLength_, GroupedNumber(throttled.video).c_str(), GroupedNumber(throttled.audio).c_str(),
               GroupedNumber(events_).c_str(), GroupedNumber(blocks.BlockCount()).c_str(),
               GroupedNumber(blocks.ByteCount()).c_str());
    LogMessage(CORE_PROVIDER_ID, eventFn_, LOG_LEVEL_INFO, "Top - %s", TopOwnersText(blocks.OwnerTally()).c_str());
    events_ = 0;
}

std::string QueueStatistics::TopOwnersText(const std::unordered_map<uint32_t, uint32_t>& tally)
{
    std::vector<std::pair<uint32_t, uint32_t>> top;
    top.reserve(kTopOwners + 1);
    for (const auto& entry : tally) {
        auto at = top.begin();
        while (at != top.end() && at->second >= entry.second) {
            ++at;
        }
        top.insert(at, entry);
        if (top.size() > kTopOwners) {
            top.pop_back();
        }
    }
    std::ostringstream text;
    text.imbue(std::locale::classic());
    const char* separator = "";
    for (const auto& entry : top) {
        text << separator << std::hex << entry.first << ':' << std::dec << entry.second;
        separator = ", ";
    }
    return text.str();
}
