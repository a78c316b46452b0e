// The dispatcher: delivers queued events on the main thread.
#include <boost/asio/post.hpp>
#include <cstddef>
#include <cstring>
#include <string>

#include "dvrcore.h"
#include "event_match.h"
#include "grouped_number.h"
#include "log_message.h"
#include "queue_statistics.h"

namespace {

// A Write taking this long or longer is logged (when level-0 lines are on).
constexpr auto kSlowWrite = std::chrono::milliseconds(6);

// The plugin sees bytes 8.. of the queued record unchanged.
WriteParms MakeWriteParms(const _EventParmsIn& event)
{
    constexpr std::size_t kBodyOffset = offsetof(_EventParmsIn, dataSize);
    WriteParms parms{};
    parms.size = sizeof parms;
    parms.version = 1;
    std::memcpy(reinterpret_cast<unsigned char*>(&parms) + offsetof(WriteParms, dataSize),
                reinterpret_cast<const unsigned char*>(&event) + kBodyOffset, sizeof event - kBodyOffset);
    return parms;
}

WriteResult MakeWriteResult()
{
    WriteResult result{};
    result.size = sizeof result;
    result.version = 1;
    return result;
}

// The calls below hand the plugin the event's block, which the dispatcher
// has entered with the plugin among its owners; true when the plugin keeps it.
bool UpdateConfiguration(dvrcore& core, const PLUGININFO& plugin, const _EventParmsIn& event)
{
    IoctlParms parms = MakeIoctlParms(IOCTL_UPDATE_CONFIG, event.data, event.dataSize);
    IoctlResult result = MakeIoctlResult(IOCTL_UPDATE_CONFIG);
    const uint64_t start = core.pluginWatch.TickNs();
    const int32_t code = WatchedCall(core.pluginWatch.MainSlot(), plugin.libraryNumber, PluginCall::kIoctl,
                                     plugin.ioctl, &parms, &result);
    core.accounting.ForProvider(plugin.info.id)->ioctls.Count(start, core.pluginWatch.TickNs());
    if (code != 0 || result.error != 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_DETAIL,
                   "plugin %s update config returned %d error %d", plugin.filename.c_str(), code, result.error);
    }
    return result.keep != 0;
}

bool Write(dvrcore& core, const PLUGININFO& plugin, const _EventParmsIn& event, bool timed)
{
    const dvrcore::Clock::time_point start = timed ? core.Now() : dvrcore::Clock::time_point{};
    WriteParms parms = MakeWriteParms(event);
    WriteResult result = MakeWriteResult();
    const uint64_t accountedStart = core.pluginWatch.TickNs();
    const int32_t code = WatchedCall(core.pluginWatch.MainSlot(), plugin.libraryNumber, PluginCall::kWrite,
                                     plugin.write, &parms, &result);
    core.accounting.ForProvider(plugin.info.id)->writes.Count(accountedStart, core.pluginWatch.TickNs());
    if (code != 0 || result.error != 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_DETAIL, "plugin %s write returned %d error %d",
                   plugin.filename.c_str(), code, result.error);
    }
    if (timed) {
        const auto elapsed = core.Now() - start;
        if (elapsed >= kSlowWrite) {
            const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
            LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_DETAIL,
                       "core write took %lldms, providerID %x, eventType: %d, len: %s -> %s", ms, event.providerID,
                       static_cast<int>(event.eventType), GroupedNumber(event.dataSize).c_str(),
                       plugin.filename.c_str());
        }
    }
    return result.keep != 0;
}

}  // namespace

void dvrcore::DispatchEvents()
{
    QueueStatistics statistics(CoreEventCallback, Now());
    EventQueue batch;
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        if (eventQueue.empty()) {
            if (stopRequested) {
                return;
            }
            // Producers signal only while this flag is up, which saves a
            // system call per event while the dispatcher is busy.
            dispatcherWaiting = true;
            queueCond.wait(lock);
            dispatcherWaiting = false;
            continue;
        }
        batch.swap(eventQueue);
        lock.unlock();

        std::size_t behind = batch.size();
        for (const QueuedEvent& queued : batch) {
            dispatchBacklog.store(behind, std::memory_order_relaxed);
            DispatchEvent(queued, --behind, statistics);
        }
        dispatchBacklog.store(0, std::memory_order_relaxed);
        batch.clear();
        lock.lock();
    }
}

void dvrcore::DispatchLateLogs()
{
    QueueStatistics statistics(CoreEventCallback, Now());
    EventQueue batch;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        batch.swap(eventQueue);
    }
    std::size_t behind = batch.size();
    for (const QueuedEvent& queued : batch) {
        DispatchEvent(queued, --behind, statistics);
    }
}

void dvrcore::DispatchEvent(const QueuedEvent& queued, std::size_t takenBehind, QueueStatistics& statistics)
{
    const _EventParmsIn& event = queued.event;
    // Told by the watch when a plugin stalls the dispatcher.
    pluginWatch.MainSlot().behind.store(static_cast<uint32_t>(takenBehind), std::memory_order_relaxed);
    const Clock::time_point now = Now();
    // Records behind this one: those taken with it, and those queued since.
    std::size_t left = takenBehind;
    if (statistics.Due(now)) {
        // The report counts the block being dispatched, held by the core
        // alone so far (the plugins join it below).
        refBlocks.AddRef(event.data, event.dataSize, CORE_PROVIDER_ID, queued.home);
        std::lock_guard<std::mutex> lock(queueMutex);
        left += eventQueue.size();
    }
    statistics.Count(left);
    statistics.Check(now, frameGate, refBlocks);

    const uint32_t type = event.eventType;
    const bool configuration = (type & EVT_CONFIG) != 0;
    if (configuration && event.data != nullptr && event.dataSize != 0) {
        boost::asio::post(ioContext, [this, text = std::string(static_cast<const char*>(event.data), event.dataSize)] {
            ApplyConfiguration(text);
        });
    }
    // Log events are never timed: the slow-write line would time itself. The
    // core's level-0 lines are on when its threshold is 0 or none (-1).
    const bool timed = type != EVT_LOG && logLevels.ForProvider(CORE_PROVIDER_ID) <= 0;
    const uint32_t match = DispatchMatch(event.flags);
    // The list changes only on the main thread, this one: no lock needed.
    // Configuration goes to every other plugin through IOCTL, and to the
    // raiser, as any event, through Write when it subscribes.
    dispatchTargets.clear();
    for (std::size_t i = closedPlugins; i < pluginList.size(); ++i) {
        const PLUGININFO& plugin = pluginList[i];
        if ((configuration && plugin.info.id != event.providerID) ||
            (plugin.info.writerFlag != 0 && AcceptsEvent(plugin.info, type, match))) {
            dispatchTargets.push_back(&plugin);
        }
    }
    // Every plugin that gets the block owns it before the first call, as
    // the core does throughout: a plugin's own thread may give it back
    // before the call returns. Those that do not keep it, and the core,
    // let go together at the end.
    blockOwners.assign(1, CORE_PROVIDER_ID);
    if (event.data != nullptr) {
        for (const PLUGININFO* plugin : dispatchTargets) {
            blockOwners.push_back(plugin->info.id);
        }
        refBlocks.AddRefs(event.data, event.dataSize, blockOwners, queued.home);
        blockOwners.resize(1);
    }
    for (const PLUGININFO* plugin : dispatchTargets) {
        const bool kept = configuration && plugin->info.id != event.providerID
                              ? UpdateConfiguration(*this, *plugin, event)
                              : Write(*this, *plugin, event, timed);
        if (!kept && event.data != nullptr) {
            blockOwners.push_back(plugin->info.id);
        }
    }
    ReleaseBlock(event.data, blockOwners);
}
