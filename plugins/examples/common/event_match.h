// Subscription masks of the example plugins.
//
// The core derives a match value from an event's flags and delivers the event
// to a plugin when, for one of the event's routable type bits, the plugin's
// mask holds every bit of that value. Queued events (Write) and broadcast
// requests (Read) derive the value differently. Note that flags 0 give the
// value 0, which every mask holds: an event without flags reaches every writer
// that takes its type bit at all, so each example event kind carries a flag
// bit of its own.
#ifndef DVRCORE_EXAMPLES_EVENT_MATCH_H
#define DVRCORE_EXAMPLES_EVENT_MATCH_H

#include <cstdint>

#include "plugin_api.h"

namespace dvrexample {

// Match value of a queued event: flag bits 24..30 move up one place.
constexpr uint32_t DispatchMatch(uint32_t flags)
{
    return (flags & 0x00FFFFFFu) | ((flags << 1) & 0xFE000000u);
}

// Match value of a broadcast request: flag bits 24..31 move down one place.
constexpr uint32_t BroadcastMatch(uint32_t flags)
{
    return (flags & 0x00FFFFFFu) | ((flags >> 1) & 0x7F800000u);
}

// Position of a routable type bit in LoadResult::typeMasks.
constexpr int MaskIndex(uint32_t typeBit)
{
    constexpr uint32_t kOrder[EVT_ROUTABLE_COUNT] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400};
    for (int i = 0; i < EVT_ROUTABLE_COUNT; ++i) {
        if (kOrder[i] == typeBit) {
            return i;
        }
    }
    return -1;
}

// Subscribes `result` to events of `typeBit` whose match value is `match`.
inline void Subscribe(LoadResult& result, uint32_t typeBit, uint32_t match)
{
    result.typeMasks[MaskIndex(typeBit)] |= match;
}

// The mask for type bit 0x20 also orders closing: plugins close in descending
// order of it. No example raises 0x20 events, so it serves as close order only.
inline void SetCloseRank(LoadResult& result, uint32_t rank)
{
    result.typeMasks[MaskIndex(0x20)] = rank;
}

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_EVENT_MATCH_H
