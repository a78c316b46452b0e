// A table of log thresholds, one per provider index.
//
// 255 signed one-byte entries, each read and written atomically, so that the
// configuration code can change a threshold on one thread while filtering on
// other threads reads it without a lock. -1 means "no threshold": every
// message of that module passes.
#ifndef DVRCORE_LOG_LOG_LEVEL_TABLE_H
#define DVRCORE_LOG_LOG_LEVEL_TABLE_H

#include <array>
#include <atomic>
#include <cstdint>

#include "plugin_api.h"

class LogLevelTable {
public:
    static constexpr int8_t kNoThreshold = -1;
    static constexpr int8_t kCoreDefault = 25;

    // Every entry -1, then entry 0 (the core's) 25.
    LogLevelTable()
    {
        for (auto& entry : entries_) {
            entry.store(kNoThreshold, std::memory_order_relaxed);
        }
        entries_[0].store(kCoreDefault, std::memory_order_relaxed);
    }
    LogLevelTable(const LogLevelTable&) = delete;
    LogLevelTable& operator=(const LogLevelTable&) = delete;

    // An index beyond the table has no threshold.
    int8_t Get(uint32_t index) const
    {
        return index < entries_.size() ? entries_[index].load(std::memory_order_relaxed) : kNoThreshold;
    }
    void Set(uint32_t index, int8_t value)
    {
        if (index < entries_.size()) {
            entries_[index].store(value, std::memory_order_relaxed);
        }
    }
    // The threshold that applies to a provider id.
    int8_t ForProvider(uint32_t provider) const { return Get(PROVIDER_INDEX(provider)); }

private:
    std::array<std::atomic<int8_t>, LOG_LEVEL_TABLE_SIZE> entries_;
};

#endif  // DVRCORE_LOG_LOG_LEVEL_TABLE_H
