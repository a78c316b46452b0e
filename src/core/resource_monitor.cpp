// The resource monitor: the 100 ms timer handler on ioThread. It notices jumps
// of the wall clock, samples the resident size once per wall-clock second,
// throttles frames above MEMORY_LIMIT and reports memory use once a minute.
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "dvrcore.h"
#include "log_message.h"

namespace {

constexpr auto kReportInterval = std::chrono::seconds(60);
// An episode ends this long after its last over-limit sample.
constexpr auto kEpisodeEnd = std::chrono::seconds(60);
constexpr int64_t kMegabyte = 1048576;

// Whole seconds between two wall-clock readings, truncated toward zero; a
// jump beyond the range of int is reported as the largest one int holds, in
// either direction, so that its absolute value is an int too.
int SecondsBetween(std::time_t now, std::time_t before)
{
    const double seconds = std::difftime(now, before);
    if (seconds >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (seconds <= -static_cast<double>(INT_MAX)) {
        return -INT_MAX;
    }
    return static_cast<int>(seconds);
}

}  // namespace

void dvrcore::OnTimer(const boost::system::error_code& error)
{
    // A completion queued before the cancellation still arrives with success;
    // the stop flag ends the monitor all the same.
    if (error || timerStopped) {
        return;
    }
    if (!limitLogged) {
        limitLogged = true;
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_DETAIL, "memory limit set to %zu", MEMORY_LIMIT);
    }

    const std::time_t now = WallTime();
    if (lastWallTime != 0) {
        const int change = SecondsBetween(now, lastWallTime);
        if (std::abs(change) > 1) {
            LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING, "system time changed by %d seconds",
                       change);
        }
    } else if (memoryMonitor) {
        PublishMemoryStatus();
    }

    // At most one sample per wall-clock second keeps the 100 ms tick free of
    // file access.
    if (memoryMonitor && now != lastWallTime) {
        uint32_t bytes = ReadResidentBytes();
        if (bytes > MEMORY_LIMIT) {
            // Payload blocks freed after a backlog drained stay resident in
            // the allocator's heap (or wait in their raisers' homes); without
            // handing them back the core would go on throttling with nothing
            // queued.
            block_homes::CollectAllHomes();
            ::malloc_trim(0);
            bytes = ReadResidentBytes();
        }
        SetLowMemory(bytes > MEMORY_LIMIT);
        if (Now() - lastReportTime >= kReportInterval) {
            const long long change =
                (static_cast<int64_t>(bytes) - static_cast<int64_t>(lastReportedBytes)) / kMegabyte;
            const auto total = static_cast<std::size_t>(bytes / kMegabyte);
            LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_INFO,
                       "memory usage changed %lldMB (total usage: %zuMB)", change, total);
            lastReportedBytes = bytes;
            lastReportTime = Now();
        }
    }
    lastWallTime = now;
    if (accounting.Due(Now())) {
        PublishAccounting();
    }

    // Measured from the end of this tick's work; the timer saturates at its
    // latest time point.
    timer.expires_after(kTimerInterval);
    timer.async_wait([this](const boost::system::error_code& next) { OnTimer(next); });
}

void dvrcore::SetLowMemory(bool low)
{
    const Clock::time_point t = Now();
    // The frame gate follows every sample; only the announcements wait.
    throttling = low;
    if (low) {
        if (lowMemorySince == Clock::time_point::max()) {
            LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING,
                       "available system memory is low, throttling video");
            PublishMemoryStatus();
        }
        lowMemorySince = t;
        return;
    }
    // Outside an episode lowMemorySince is max(), so this returns at once.
    if (t - kEpisodeEnd < lowMemorySince) {
        return;
    }
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING,
               "available system memory ok, not throttling video");
    PublishMemoryStatus();
    lowMemorySince = Clock::time_point::max();
}

uint32_t dvrcore::ReadResidentBytes()
{
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) {
        return 0;
    }
    unsigned long programPages = 0;
    unsigned long residentPages = 0;
    if (std::fscanf(file, "%lu %lu", &programPages, &residentPages) < 2) {
        residentPages = 0;
    }
    std::fclose(file);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) {
        return 0;
    }
    // A 64-bit process can hold more than 32 bits of bytes: report the most
    // that fits, which is over the limit as the real size is, rather than the
    // wrapped remainder.
    const uint64_t bytes = static_cast<uint64_t>(residentPages) * static_cast<uint64_t>(pageSize);
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}
