// A plugin entry call timed with the core's clock.
//
// Used by the main thread for the calls whose duration the core reports
// (Load and Open). The clock is dvrcore::Now, so tests can move time.
#ifndef DVRCORE_PLUGINHOST_TIMED_CALL_H
#define DVRCORE_PLUGINHOST_TIMED_CALL_H

#include <chrono>
#include <cstdint>

#include "dvrcore.h"
#include "plugin_info.h"
#include "plugin_watch.h"

// Calls `entry` (ENTRY_MISSING when null), watched as `call` of `library`, and
// stores the time it took in whole milliseconds, truncated, in `elapsedMs`.
inline int32_t TimedCall(dvrcore& core, uint32_t library, PluginCall call, PluginEntryPoint entry, void* in, void* out,
                         int64_t& elapsedMs)
{
    const dvrcore::Clock::time_point start = core.Now();
    const int32_t result = WatchedCall(core.pluginWatch.MainSlot(), library, call, entry, in, out);
    const int64_t elapsedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(core.Now() - start).count();
    elapsedMs = elapsedNs / 1000000;
    return result;
}

#endif  // DVRCORE_PLUGINHOST_TIMED_CALL_H
