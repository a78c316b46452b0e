#include "frame_gate.h"

namespace {

std::atomic<uint64_t> nextGateSerial{0};

// Direct-mapped by provider id: a thread raising for a few providers keeps
// them all.
struct CachedCount {
    uint64_t gate = 0;
    uint32_t providerID = 0;
    std::atomic<int32_t>* count = nullptr;
};
constexpr std::size_t kCachedCounts = 4;
thread_local CachedCount cachedCounts[kCachedCounts];

CachedCount& CacheSlot(uint32_t providerID)
{
    return cachedCounts[(providerID ^ (providerID >> 16)) % kCachedCounts];
}

}  // namespace

FrameGate::FrameGate() : serial_(++nextGateSerial) {}

inline FrameGate::Count& FrameGate::CountOf(uint32_t providerID)
{
    const CachedCount& cached = CacheSlot(providerID);
    if (cached.gate == serial_ && cached.providerID == providerID) {
        return *cached.count;
    }
    return CountOfUncached(providerID);
}

// Kept out of line: the cached path above stays small enough to inline.
__attribute__((noinline)) FrameGate::Count& FrameGate::CountOfUncached(uint32_t providerID)
{
    std::lock_guard<std::mutex> lock(frameCountsMutex);
    Count& count = frameCounts.try_emplace(providerID, 0).first->second;
    CacheSlot(providerID) = {serial_, providerID, &count};
    return count;
}

int FrameGate::Admit(uint32_t providerID, uint32_t eventType, uint8_t syncFrame, bool throttling)
{
    Count& count = CountOf(providerID);
    if (throttling) {
        // A dropped frame breaks the provider's run: its video waits for the
        // next sync frame.
        count.store(0, std::memory_order_relaxed);
        if ((eventType & EVT_VIDEO) != 0) {
            throttledVideoFrames.fetch_add(1, std::memory_order_relaxed);
        }
        if ((eventType & EVT_AUDIO) != 0) {
            throttledAudioFrames.fetch_add(1, std::memory_order_relaxed);
        }
        return RESULT_THROTTLED;
    }
    if ((eventType & EVT_VIDEO) == 0) {
        return RESULT_OK;
    }
    if (syncFrame == 1) {
        count.store(1, std::memory_order_relaxed);
        return RESULT_OK;
    }
    // Refused frames keep counting, so a run over the limit stays refused
    // until its next sync frame; the count stops just past the limit so that
    // it never wraps.
    int32_t current = count.load(std::memory_order_relaxed);
    for (;;) {
        if (current == 0) {
            return RESULT_NO_SYNC_FRAME;
        }
        if (current > kRunLength) {
            return RESULT_FRAME_LIMIT;
        }
        if (count.compare_exchange_weak(current, current + 1, std::memory_order_relaxed)) {
            return current + 1 > kRunLength ? RESULT_FRAME_LIMIT : RESULT_OK;
        }
    }
}

FrameGate::ThrottledCounts FrameGate::TakeThrottledFrames()
{
    return {throttledVideoFrames.exchange(0, std::memory_order_relaxed),
            throttledAudioFrames.exchange(0, std::memory_order_relaxed)};
}
