// The frame gate: admits or refuses media frames.
//
// Asked by the event entry for every event with EVT_VIDEO or EVT_AUDIO and
// FLAG_FRAME, on the raiser's thread; any number of raisers at once. While the core is throttling every such
// frame is refused (and counted). Video is otherwise admitted only in runs
// that start at a sync frame and hold at most 765 frames.
#ifndef DVRCORE_EVENTS_FRAME_GATE_H
#define DVRCORE_EVENTS_FRAME_GATE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "plugin_api.h"

class FrameGate {
public:
    static constexpr int32_t kRunLength = 765;

    FrameGate();
    FrameGate(const FrameGate&) = delete;
    FrameGate& operator=(const FrameGate&) = delete;

    // RESULT_OK to admit, else RESULT_THROTTLED, RESULT_NO_SYNC_FRAME or
    // RESULT_FRAME_LIMIT.
    int Admit(uint32_t providerID, uint32_t eventType, uint8_t syncFrame, bool throttling);

    // Frames dropped while throttling since the previous call; each counter
    // is read and set back to 0 in one step, so every frame is counted in
    // exactly one report. Called by the statistics report on the dispatcher
    // thread.
    struct ThrottledCounts {
        uint32_t video;
        uint32_t audio;
    };
    ThrottledCounts TakeThrottledFrames();

private:
    using Count = std::atomic<int32_t>;
    // The provider's run count. Raisers keep the counts they used last in a
    // small per-thread cache, so a steady stream of frames takes no lock.
    Count& CountOf(uint32_t providerID);
    Count& CountOfUncached(uint32_t providerID);

    // Tells this gate's entries in the per-thread caches from those of a gate
    // destroyed before it.
    const uint64_t serial_;
    std::mutex frameCountsMutex;
    // Entries are never erased, so their counts stay where the caches point.
    std::unordered_map<uint32_t, Count> frameCounts;  // guarded by frameCountsMutex
    std::atomic<uint32_t> throttledVideoFrames{0};
    std::atomic<uint32_t> throttledAudioFrames{0};
};

#endif  // DVRCORE_EVENTS_FRAME_GATE_H
