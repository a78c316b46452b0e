// The frame gate: admits or refuses media frames.
//
// Asked by the event entry for every event with EVT_VIDEO or EVT_AUDIO and
// FLAG_FRAME, on the raiser's thread. While the core is throttling every such
// frame is refused (and counted). Video is otherwise admitted only in runs
// that start at a sync frame and hold at most 765 frames.
#ifndef DVRCORE_EVENTS_FRAME_GATE_H
#define DVRCORE_EVENTS_FRAME_GATE_H

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "plugin_api.h"

class FrameGate {
public:
    static constexpr int32_t kRunLength = 765;

    FrameGate() = default;
    FrameGate(const FrameGate&) = delete;
    FrameGate& operator=(const FrameGate&) = delete;

    // RESULT_OK to admit, else RESULT_THROTTLED, RESULT_NO_SYNC_FRAME or
    // RESULT_FRAME_LIMIT.
    int Admit(uint32_t providerID, uint32_t eventType, uint8_t syncFrame, bool throttling);

    // Frames dropped while throttling since the previous call; both counters
    // are read and set back to 0 in one step, so no frame is lost between
    // reports. Called by the statistics report on the dispatcher thread.
    struct ThrottledCounts {
        uint32_t video;
        uint32_t audio;
    };
    ThrottledCounts TakeThrottledFrames();

private:
    std::mutex frameCountsMutex;
    std::unordered_map<uint32_t, int32_t> frameCounts;  // guarded by frameCountsMutex
    uint32_t throttledVideoFrames = 0;                  // guarded by frameCountsMutex
    uint32_t throttledAudioFrames = 0;                  // guarded by frameCountsMutex
};

#endif  // DVRCORE_EVENTS_FRAME_GATE_H
