// Which plugins accept an event.
//
// An event's flags give a match value; a plugin accepts the event when, for at
// least one routable type bit set in the event type, every bit of the match
// value is also set in the plugin's accepted-flag mask for that type bit. Queued
// events (Write) and broadcast requests (Read) derive the match value
// differently from the top byte of the flags: both derivations are part of the
// plugin interface and must not be unified.
//
// Pure functions; any thread.
#ifndef DVRCORE_EVENTS_EVENT_MATCH_H
#define DVRCORE_EVENTS_EVENT_MATCH_H

#include <cstddef>
#include <cstdint>

#include "plugin_api.h"

// The two derivations of plugin_api.h, for the core's own code.
constexpr uint32_t DispatchMatch(uint32_t flags)
{
    return DISPATCH_MATCH(flags);
}
constexpr uint32_t BroadcastMatch(uint32_t flags)
{
    return BROADCAST_MATCH(flags);
}

// True when the plugin with `info` accepts an event of `eventType` whose match
// value is `match`. A type without routable bits is accepted by nobody.
inline bool AcceptsEvent(const LoadResult& info, uint32_t eventType, uint32_t match)
{
    // Visit only the type's own bits: most events carry one.
    for (uint32_t bits = eventType & EVT_ROUTABLE_BITS; bits != 0; bits &= bits - 1) {
        const unsigned position = static_cast<unsigned>(__builtin_ctz(bits));
        // Bits 0x1..0x80 take masks 0..7; 0x400 takes the last one.
        const std::size_t index = position < 8 ? position : MASK_TYPE_400;
        if ((match & ~info.typeMasks[index]) == 0) {
            return true;
        }
    }
    return false;
}

#endif  // DVRCORE_EVENTS_EVENT_MATCH_H
