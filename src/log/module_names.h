// Provider id -> short module name printed in log lines.
//
// The plugin loader inserts names on the main thread while worker threads of
// plugins loaded earlier already log, so lookups and insertions are excluded
// from each other by a reader-writer lock. Entries are never removed.
#ifndef DVRCORE_LOG_MODULE_NAMES_H
#define DVRCORE_LOG_MODULE_NAMES_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

class ModuleNames {
public:
    ModuleNames() = default;
    ModuleNames(const ModuleNames&) = delete;
    ModuleNames& operator=(const ModuleNames&) = delete;

    // Enters or replaces the name of `provider`.
    void Set(uint32_t provider, std::string name)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        names_[provider] = std::move(name);
    }
    bool Contains(uint32_t provider) const
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        return names_.count(provider) != 0;
    }
    // Copies at most `capacity - 1` bytes of the name into `out` (always
    // terminated); "?" for an unknown provider. Allocates nothing.
    void CopyName(uint32_t provider, char* out, std::size_t capacity) const
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        auto found = names_.find(provider);
        const std::string& name = found != names_.end() ? found->second : unknown_;
        std::size_t length = name.size() < capacity - 1 ? name.size() : capacity - 1;
        name.copy(out, length);
        out[length] = '\0';
    }

private:
    mutable std::shared_mutex mutex_;
    std::map<uint32_t, std::string> names_;  // guarded by mutex_
    const std::string unknown_ = "?";
};

#endif  // DVRCORE_LOG_MODULE_NAMES_H
