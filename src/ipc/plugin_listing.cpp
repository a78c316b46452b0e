#include "plugin_listing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "dvrcore.h"
#include "ipc_packet.h"

namespace {

constexpr const char* kMaskNames[EVT_ROUTABLE_COUNT] = {"video",   "audio", "status",  "type_8",  "type_10",
                                                        "type_20", "log",   "type_80", "type_400"};

// "a,b" of the named items that are set, "none" without any.
std::string Names(std::initializer_list<std::pair<bool, const char*>> items)
{
    std::string text;
    for (const auto& [set, name] : items) {
        if (set) {
            text += text.empty() ? "" : ",";
            text += name;
        }
    }
    return text.empty() ? "none" : text;
}

std::string Subscriptions(const LoadResult& info)
{
    std::string text;
    for (int i = 0; i < EVT_ROUTABLE_COUNT; ++i) {
        if (info.typeMasks[i] != 0) {
            char mask[32];
            std::snprintf(mask, sizeof mask, "%s=0x%08" PRIx32, kMaskNames[i], info.typeMasks[i]);
            text += text.empty() ? "" : ",";
            text += mask;
        }
    }
    return text.empty() ? "none" : text;
}

std::string Describe(dvrcore& core, const PLUGININFO& plugin)
{
    char module[64];
    core.moduleNames.CopyName(plugin.info.id, module, sizeof module);
    char head[256];
    std::snprintf(head, sizeof head, " id 0x%08" PRIx32 " index %" PRIu32 " module %s flags ", plugin.info.id,
                  PROVIDER_INDEX(plugin.info.id), module);
    char timing[128];
    std::snprintf(timing, sizeof timing, " load %" PRId64 " ms open %" PRId32 " in %" PRId64 " ms subscribes ",
                  plugin.loadTimeMs, plugin.openCode, plugin.openTimeMs);
    const LoadResult& info = plugin.info;
    return "plugin " + plugin.filename + head +
           Names(
               {{info.workerFlag != 0, "worker"}, {info.readerFlag != 0, "reader"}, {info.writerFlag != 0, "writer"}}) +
           " threads " +
           Names({{plugin.workerThread.joinable(), "worker"}, {plugin.readerThread.joinable(), "reader"}}) + timing +
           Subscriptions(info) + "\n";
}

}  // namespace

std::string DescribePlugins(dvrcore& core)
{
    std::string text;
    {
        std::shared_lock<std::shared_mutex> lock(core.pluginListMutex);
        for (const PLUGININFO& plugin : core.pluginList) {
            text += Describe(core, plugin);
        }
    }
    // Written at load only, before the IPC reader runs.
    for (const auto& [file, reason] : core.failedPlugins) {
        text += "failed " + file + ": " + reason + "\n";
    }
    for (const std::string& file : core.quarantine.Held()) {
        text += "quarantined " + file + ": crashed the core at consecutive starts\n";
    }
    for (const auto& [file, reason] : core.refusedPlugins) {
        text += "refused " + file + ": " + reason + "\n";
    }
    return text;
}

void SendPluginListing(dvrcore& core, uint32_t reserved)
{
    std::string text = DescribePlugins(core);
    text.resize(std::min<std::size_t>(text.size(), IPC_MAX_PACKET - IPC_HEADER_SIZE));
    const IpcPacketHeader header{static_cast<uint32_t>(IPC_HEADER_SIZE + text.size()), 0, IPC_PLUGIN_LISTING, reserved};
    auto* packet = static_cast<uint8_t*>(std::malloc(header.packetLength));
    if (packet == nullptr) {
        return;
    }
    std::memcpy(packet, &header, sizeof header);
    std::memcpy(packet + IPC_HEADER_SIZE, text.data(), text.size());
    core.QueueIpcPacket(packet, header.packetLength);
}
