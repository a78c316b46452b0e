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

// The routable type bits, in the order of LoadResult::typeMasks.
constexpr uint32_t kRoutableTypeBits[EVT_ROUTABLE_COUNT] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400};

// Queued events: flag bits 24..30 move up one place, bit 31 drops out.
constexpr uint32_t DispatchMatch(uint32_t flags)
{
    return (flags & 0x00FFFFFFu) | ((flags << 1) & 0xFE000000u);
}

// Broadcast requests: flag bits 24..31 move down one place, so bit 24 lands on
// bit 23.
constexpr uint32_t BroadcastMatch(uint32_t flags)
{
    return (flags & 0x00FFFFFFu) | ((flags >> 1) & 0x7F800000u);
}

// True when the plugin with `info` accepts an event of `eventType` whose match
// value is `match`. A type without routable bits is accepted by nobody.
inline bool AcceptsEvent(const LoadResult& info, uint32_t eventType, uint32_t match)
{
    for (std::size_t i = 0; i < EVT_ROUTABLE_COUNT; ++i) {
        if ((eventType & kRoutableTypeBits[i]) != 0 && (match & ~info.typeMasks[i]) == 0) {
            return true;
        }
    }
    return false;
}

#endif  // DVRCORE_EVENTS_EVENT_MATCH_H
