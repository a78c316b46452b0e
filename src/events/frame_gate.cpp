#include "frame_gate.h"

int FrameGate::Admit(uint32_t providerID, uint32_t eventType, uint8_t syncFrame, bool throttling)
{
    std::lock_guard<std::mutex> lock(frameCountsMutex);
    int32_t& count = frameCounts[providerID];
    if (throttling) {
        // A dropped frame breaks the provider's run: its video waits for the
        // next sync frame.
        count = 0;
        if ((eventType & EVT_VIDEO) != 0) {
            ++throttledVideoFrames;
        }
        if ((eventType & EVT_AUDIO) != 0) {
            ++throttledAudioFrames;
        }
        return RESULT_THROTTLED;
    }
    if ((eventType & EVT_VIDEO) == 0) {
        return RESULT_OK;
    }
    if (syncFrame == 1) {
        count = 1;
        return RESULT_OK;
    }
    if (count == 0) {
        return RESULT_NO_SYNC_FRAME;
    }
    // Refused frames keep counting, so a run over the limit stays refused
    // until its next sync frame; the cap only keeps the count from wrapping.
    if (count <= kRunLength) {
        ++count;
    }
    return count > kRunLength ? RESULT_FRAME_LIMIT : RESULT_OK;
}

FrameGate::ThrottledCounts FrameGate::TakeThrottledFrames()
{
    std::lock_guard<std::mutex> lock(frameCountsMutex);
    const ThrottledCounts counts{throttledVideoFrames, throttledAudioFrames};
    throttledVideoFrames = 0;
    throttledAudioFrames = 0;
    return counts;
}
