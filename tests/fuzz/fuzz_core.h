// What the fuzz targets share: a core that keeps its log lines to itself, and
// the check that ends the run when an invariant breaks.
#ifndef DVRCORE_TESTS_FUZZ_FUZZ_CORE_H
#define DVRCORE_TESTS_FUZZ_FUZZ_CORE_H

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <shared_mutex>
#include <string>

#include "dvrcore.h"

// Aborts with the failed condition: libFuzzer keeps the input as a crash,
// the replay test fails.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace dvrfuzz {

// A core without a terminal: log lines are read (so that a bad text pointer
// shows) and counted, never printed.
class FuzzCore : public dvrcore {
public:
    FuzzCore() : dvrcore("/nonexistent/bin/dvrcore") {}

    void WriteLog(uint32_t, uint32_t, const char* text) override
    {
        // Reading the whole text lets the address sanitizer see one that
        // runs past its block.
        logBytes.fetch_add(text != nullptr ? std::strlen(text) : 0, std::memory_order_relaxed);
    }

    std::atomic<std::size_t> logBytes{0};
};

// A plugin record whose entry points are functions of the fuzz target.
// `raw` with its provider index folded into the log level table, as the
// loader admits only such ids: the core relies on it when it counts a
// plugin's calls.
inline uint32_t LoadableId(uint32_t raw)
{
    return (raw & ~(0xFFFu << 16)) | (PROVIDER_INDEX(raw) % LOG_LEVEL_TABLE_SIZE) << 16;
}

inline PLUGININFO FakePlugin(uint32_t id, const char* filename)
{
    PLUGININFO plugin;
    plugin.info.size = sizeof plugin.info;
    plugin.info.version = 2;
    plugin.info.id = id;
    plugin.filename = filename;
    return plugin;
}

inline void AddPlugin(dvrcore& core, PLUGININFO plugin)
{
    std::unique_lock<std::shared_mutex> lock(core.pluginListMutex);
    core.pluginList.push_back(std::move(plugin));
}

}  // namespace dvrfuzz

#endif  // DVRCORE_TESTS_FUZZ_FUZZ_CORE_H
