/*
 * Subscribing: filling LoadResult.typeMasks. Part of the plugin SDK; C and C++.
 *
 * The core derives a match value from an event's flags (DISPATCH_MATCH for
 * queued events on Write, BROADCAST_MATCH for broadcast requests on Read, both
 * in plugin_api.h) and delivers the event to a plugin when, for one of the
 * event's routable type bits, the plugin's mask holds every bit of that value.
 * Flags 0 give the value 0, which every mask holds: an event without flags
 * reaches every writer that takes its type bit at all, so give each event kind
 * of your own a flag bit of its own.
 */
#ifndef DVRCORE_SDK_EVENT_MATCH_H
#define DVRCORE_SDK_EVENT_MATCH_H

#include "plugin_api.h"

#ifdef __cplusplus
#include <cstdint>

extern "C" {
#endif

/* Adds `match` to the mask of the routable `typeBit` (EVT_VIDEO, 0x8, ...); any
 * other type value changes nothing. */
static inline void DvrSubscribe(LoadResult* result, uint32_t typeBit, uint32_t match)
{
    const int index = MASK_INDEX(typeBit);
    if (index >= 0) {
        result->typeMasks[index] |= match;
    }
}

/* The mask of type bit 0x20 also orders closing: plugins close in descending
 * order of it. A plugin that raises no 0x20 events may use it as a rank. */
static inline void DvrSetCloseRank(LoadResult* result, uint32_t rank)
{
    result->typeMasks[MASK_TYPE_20] = rank;
}

#ifdef __cplusplus
}

namespace dvrexample {

// Match value of a queued event (Write).
constexpr uint32_t DispatchMatch(uint32_t flags)
{
    return DISPATCH_MATCH(flags);
}

// Match value of a broadcast request (Read).
constexpr uint32_t BroadcastMatch(uint32_t flags)
{
    return BROADCAST_MATCH(flags);
}

// Position of a routable type bit in LoadResult::typeMasks; -1 for others.
constexpr int MaskIndex(uint32_t typeBit)
{
    return MASK_INDEX(typeBit);
}

// Subscribes `result` to events of `typeBit` whose match value is `match`.
inline void Subscribe(LoadResult& result, uint32_t typeBit, uint32_t match)
{
    DvrSubscribe(&result, typeBit, match);
}

inline void SetCloseRank(LoadResult& result, uint32_t rank)
{
    DvrSetCloseRank(&result, rank);
}

}  // namespace dvrexample
#endif

#endif /* DVRCORE_SDK_EVENT_MATCH_H */
