// Open, close and unload of the loaded plugins.
#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <numeric>
#include <shared_mutex>
#include <vector>

#include "dvrcore.h"
#include "log_message.h"
#include "timed_call.h"

namespace {

// The typeMasks entry of event type bit 0x20, which also sets the close order.
constexpr std::size_t kCloseOrderMask = 5;
// This plugin's library stays mapped until the process exits.
constexpr uint32_t kResidentPluginId = 0x470000;

void LogCallFailure(const PLUGININFO& plugin, const char* call, int32_t returned, int32_t error)
{
    if (returned != 0 || error != 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_DETAIL, "plugin %s %s returned %d error %d",
                   plugin.filename.c_str(), call, returned, error);
    }
}

}  // namespace

void dvrcore::OpenPlugins()
{
    // Only this thread changes the list, so it reads it without the lock.
    for (std::size_t i = 0; i < pluginList.size(); ++i) {
        OpenParms parms = MakeRecord<OpenParms>(1);
        OpenResult result = MakeRecord<OpenResult>(1);
        int64_t elapsedMs = 0;
        const int32_t code = TimedCall(*this, pluginList[i].libraryNumber, PluginCall::kOpen, pluginList[i].open,
                                       &parms, &result, elapsedMs);
        // The configuration document may be built on ioThread meanwhile.
        std::unique_lock<std::shared_mutex> lock(pluginListMutex);
        pluginList[i].openCode = code;
        pluginList[i].openTimeMs = elapsedMs;
    }
}

bool dvrcore::ClosePlugins()
{
    if (pluginList.empty()) {
        return true;
    }

    // Other threads walk the list under the shared lock while plugins close,
    // so it changes order in one step under the exclusive lock. Records are
    // moved into fresh storage: nothing is ever assigned over a record whose
    // threads still run.
    std::vector<std::size_t> order(pluginList.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [this](std::size_t left, std::size_t right) {
        return pluginList[left].info.typeMasks[kCloseOrderMask] > pluginList[right].info.typeMasks[kCloseOrderMask];
    });
    std::vector<PLUGININFO> closeOrder;
    closeOrder.reserve(pluginList.size());
    {
        std::unique_lock<std::shared_mutex> lock(pluginListMutex);
        for (std::size_t index : order) {
            closeOrder.push_back(std::move(pluginList[index]));
        }
        pluginList.swap(closeOrder);
    }

    for (const PLUGININFO& plugin : pluginList) {
        // What the plugins closed so far logged, before the next one closes.
        DispatchLateLogs();
        CloseParms parms = MakeRecord<CloseParms>(1);
        CloseResult result = MakeRecord<CloseResult>(1);
        const int32_t returned = WatchedCall(pluginWatch.MainSlot(), plugin.libraryNumber, PluginCall::kClose,
                                             plugin.close, &parms, &result);
        LogCallFailure(plugin, "close", returned, result.error);
        ++closedPlugins;
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        pluginsClosed = true;
    }
    // Nobody is left to take them: their blocks are released.
    DispatchLateLogs();
    closedPlugins = 0;
    return true;
}

bool dvrcore::UnloadPlugins()
{
    if (pluginList.empty()) {
        return true;
    }
    for (PLUGININFO& plugin : pluginList) {
        // The plugin's code must not run on any thread once it is unloaded.
        if (plugin.readerThread.joinable()) {
            plugin.readerThread.join();
        }
        if (plugin.workerThread.joinable()) {
            plugin.workerThread.join();
        }
        UnloadParms parms = MakeRecord<UnloadParms>(1);
        UnloadResult result = MakeRecord<UnloadResult>(1);
        const int32_t returned = WatchedCall(pluginWatch.MainSlot(), plugin.libraryNumber, PluginCall::kUnload,
                                             plugin.unload, &parms, &result);
        LogCallFailure(plugin, "unload", returned, result.error);
        if (plugin.info.id != kResidentPluginId) {
            pluginWatch.ForgetLibrary(plugin.libraryNumber);
            ::dlclose(plugin.library);
        }
    }
    std::unique_lock<std::shared_mutex> lock(pluginListMutex);
    pluginList.clear();
    return true;
}
