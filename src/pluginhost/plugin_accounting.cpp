#include "plugin_accounting.h"

#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "dvrcore.h"
#include "xml_document.h"

namespace {

constexpr uint64_t kNsPerUs = 1000;

void SetNumber(TiXmlElement& element, const char* name, uint64_t value)
{
    element.SetAttribute(name, std::to_string(value));
}

void SetCalls(TiXmlElement& element, const char* count, const char* total, const char* longest, const CallTally& calls)
{
    SetNumber(element, count, calls.calls.load(std::memory_order_relaxed));
    SetNumber(element, total, calls.totalNs.load(std::memory_order_relaxed) / kNsPerUs);
    SetNumber(element, longest, calls.longestNs.load(std::memory_order_relaxed) / kNsPerUs);
}

}  // namespace

void PluginAccounting::CountRefusal(PluginTally& tally, int32_t result)
{
    std::size_t bucket = 0;  // RESULT_REFUSED and anything unforeseen
    switch (result) {
        case RESULT_NO_SYNC_FRAME:
            bucket = 1;
            break;
        case RESULT_FRAME_LIMIT:
            bucket = 2;
            break;
        case RESULT_THROTTLED:
            bucket = 3;
            break;
        case RESULT_NO_MEMORY:
            bucket = 4;
            break;
        default:
            break;
    }
    tally.refused[bucket].fetch_add(1, std::memory_order_relaxed);
}

bool PluginAccounting::Due(Clock::time_point now)
{
    const int64_t period = periodSeconds_.load(std::memory_order_relaxed);
    if (period <= 0 || now - lastPublished_ < std::chrono::seconds(period)) {
        return false;
    }
    // The first tick only starts the period.
    const bool first = lastPublished_ == Clock::time_point{};
    lastPublished_ = now;
    return !first;
}

void PluginAccounting::Build(dvrcore& core, XmlDocument& document)
{
    const std::unordered_map<uint32_t, RefBlockTable::Kept> kept = core.refBlocks.KeptByOwner();
    TiXmlElement* root = StartDocument(document, ACCOUNTING_ELEMENT);
    root->SetAttribute("Time", static_cast<int>(core.WallTime()));
    std::shared_lock<std::shared_mutex> lock(core.pluginListMutex);
    for (const PLUGININFO& plugin : core.pluginList) {
        const PluginTally& tally = *core.accounting.ForProvider(plugin.info.id);
        TiXmlElement* usage = AddElement(*root, "PluginUsage");
        usage->SetAttribute("ID", static_cast<int>(plugin.info.id));
        usage->SetAttribute("Filename", plugin.filename);
        SetNumber(*usage, "Raised", tally.raised.load(std::memory_order_relaxed));
        const char* refusals[] = {"Refused", "NoSyncFrame", "FrameLimit", "Throttled", "NoMemory"};
        for (std::size_t i = 0; i < tally.refused.size(); ++i) {
            SetNumber(*usage, refusals[i], tally.refused[i].load(std::memory_order_relaxed));
        }
        SetCalls(*usage, "Delivered", "WriteUs", "WriteMaxUs", tally.writes);
        SetCalls(*usage, "Ioctls", "IoctlUs", "IoctlMaxUs", tally.ioctls);
        SetCalls(*usage, "IpcPackets", "IpcUs", "IpcMaxUs", tally.ipcIoctls);
        const auto held = kept.find(plugin.info.id);
        SetNumber(*usage, "BlocksKept", held != kept.end() ? held->second.blocks : 0);
        SetNumber(*usage, "BytesKept", held != kept.end() ? held->second.bytes : 0);
        std::size_t threads = core.pluginWatch.ThreadsIn(plugin.libraryNumber);
        threads += plugin.workerThread.joinable() ? 1 : 0;
        threads += plugin.readerThread.joinable() ? 1 : 0;
        SetNumber(*usage, "Threads", threads);
    }
}

void dvrcore::PublishAccounting()
{
    XmlDocument document;
    PluginAccounting::Build(*this, document);
    PublishDocument(document, EVT_STATUS);
}
