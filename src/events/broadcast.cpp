// Broadcast requests: one short-lived delivery thread per accepting reader.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "crash_report.h"
#include "dvrcore.h"
#include "event_match.h"

namespace {

void* CopyPayload(const _EventParmsIn& request)
{
    if (request.data == nullptr || request.dataSize == 0) {
        return nullptr;
    }
    // A failed copy still delivers the request, without its payload.
    void* copy = std::malloc(request.dataSize);
    if (copy != nullptr) {
        std::memcpy(copy, request.data, request.dataSize);
    }
    return copy;
}

// Runs on its own detached thread. The reader slot lets the plugin's replies
// through the handle gate while Read runs.
void ReaderDelivery(dvrcore& core, PluginEntryPoint read, uint32_t library, uint32_t dataSize, void* payload,
                    void* handle)
{
    ReadParms parms = MakeReadParms(dataSize, payload, handle);
    ReadResult result = MakeReadResult();
    core.handleGate.EnterReader();
    {
        const AlternateSignalStack signalStack;
        CallSlot* slot = core.pluginWatch.TakeDeliverySlot();
        if (slot != nullptr) {
            SetThreadSlot(slot);
            WatchedCall(*slot, library, PluginCall::kRead, read, &parms, &result);
            SetThreadSlot(nullptr);
            PluginWatch::ReleaseDeliverySlot(slot);
        } else {
            SetThreadCall(library, PluginCall::kRead);
            CallEntry(read, &parms, &result);
        }
    }
    core.handleGate.LeaveReader();
    std::free(payload);
    // Last touch of the core: after this it may be unloaded or destroyed.
    core.deliveries.End();
}

}  // namespace

void dvrcore::StartBroadcast(const _EventParmsIn& request)
{
    const uint32_t match = BroadcastMatch(request.flags);
    // Registered with `deliveries` under the list lock: the plugin's code
    // stays mapped until the thread has ended.
    std::shared_lock<std::shared_mutex> lock(pluginListMutex);
    for (const auto& plugin : pluginList) {
        // Without a Read entry there is nothing to run a thread for.
        if (plugin.info.readerFlag == 0 || plugin.read == nullptr ||
            !AcceptsEvent(plugin.info, request.eventType, match)) {
            continue;
        }
        if (!deliveries.Begin()) {
            return;
        }
        void* payload = CopyPayload(request);
        try {
            std::thread(ReaderDelivery, std::ref(*this), plugin.read, plugin.libraryNumber, request.dataSize, payload,
                        request.handle)
                .detach();
        } catch (const std::exception&) {
            // No thread to be had (a system error, or no memory for its
            // state): this reader misses the request, the raiser (maybe a
            // plugin) does not see an exception.
            std::free(payload);
            deliveries.End();
        }
    }
}

void dvrcore::StopDeliveries()
{
    handleGate.Close();
    deliveries.CloseAndWait();
}
