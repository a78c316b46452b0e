// The once-a-minute report on event routing.
//
// Owned by one run of the dispatcher and called only on its thread. It counts
// the records taken from the event queue and, when an event is dispatched at
// least a minute after the previous report, logs two lines at level 25: the
// queue length, the frames dropped for throttling, the events dispatched, the
// payload blocks alive, and the (up to) five owners holding most blocks. An
// idle core writes no report. Time comes from the caller, so tests move it.
#ifndef DVRCORE_EVENTS_QUEUE_STATISTICS_H
#define DVRCORE_EVENTS_QUEUE_STATISTICS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "frame_gate.h"
#include "plugin_api.h"
#include "ref_block_table.h"

class QueueStatistics {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kInterval = std::chrono::seconds(60);
    static constexpr std::size_t kTopOwners = 5;

    // `eventFn` receives the report lines; `start` begins the first minute.
    QueueStatistics(EventFunction eventFn, Clock::time_point start);
    QueueStatistics(const QueueStatistics&) = delete;
    QueueStatistics& operator=(const QueueStatistics&) = delete;

    // One record taken from the queue, with `left` records behind it.
    void Count(std::size_t left)
    {
        ++events_;
        queueLength_ = left;
    }

    // Whether a Check at `now` reports.
    bool Due(Clock::time_point now) const { return now - lastReport_ >= kInterval; }

    // After the core's reference to the current record's payload is taken:
    // reports if a minute has passed, and then starts the next minute. Takes
    // (and so resets) the throttled-frame counters of `frames`.
    void Check(Clock::time_point now, FrameGate& frames, const RefBlockTable& blocks);

    // "owner:count" pairs, owner in hex, by descending count, at most five;
    // owners with equal counts keep the tally's iteration order.
    static std::string TopOwnersText(const std::unordered_map<uint32_t, uint32_t>& tally);

private:
    EventFunction eventFn_;
    Clock::time_point lastReport_;
    uint64_t events_ = 0;
    std::size_t queueLength_ = 0;
};

#endif  // DVRCORE_EVENTS_QUEUE_STATISTICS_H
