// The IPC reader: packets from the parent service.
#include <algorithm>
#include <boost/asio/error.hpp>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "announcement.h"
#include "dvrcore.h"
#include "ipc_packet.h"
#include "log_message.h"
#include "plugin_listing.h"
#include "xml_document.h"

namespace {

void ApplyAnnouncement(dvrcore& core, const uint8_t* payload, std::size_t length)
{
    const Announcement announcement = ParseAnnouncement(payload, length);
    {
        std::lock_guard<std::mutex> lock(core.queueMutex);
        if (announcement.background) {
            core.quietLog = *announcement.background;
        }
        if (announcement.version) {
            core.parentVersion = *announcement.version;
        }
        core.parentFilename = announcement.filename;
        core.parentAnnounced = true;
    }
    // The start-up wait is not the only waiter on queueCond: wake them all so
    // that the dispatcher cannot take the one wake-up meant for the wait.
    core.queueCond.notify_all();
}

void RouteToPlugin(dvrcore& core, uint8_t* packet, uint32_t length)
{
    const uint32_t target = ReadIpcHeader(packet).target;
    PluginEntryPoint ioctl = nullptr;
    uint32_t libraryNumber = 0;
    uint32_t id = 0;
    std::string filename;
    {
        // The shared lock keeps the close-order sort out while the list is
        // walked; the plugin itself is called without it.
        std::shared_lock<std::shared_mutex> lock(core.pluginListMutex);
        const auto plugin = std::find_if(core.pluginList.begin(), core.pluginList.end(),
                                         [target](const PLUGININFO& p) { return IpcTargetMatches(target, p.info.id); });
        if (plugin == core.pluginList.end()) {
            return;
        }
        ioctl = plugin->ioctl;
        libraryNumber = plugin->libraryNumber;
        id = plugin->info.id;
        filename = plugin->filename;
    }

    IoctlParms parms = MakeIoctlParms(IOCTL_IPC_PACKET, packet, length);
    IoctlResult result = MakeIoctlResult(IOCTL_IPC_PACKET);
    const uint64_t start = core.pluginWatch.TickNs();
    const int32_t returned =
        WatchedCall(core.pluginWatch.IoSlot(), libraryNumber, PluginCall::kIoctl, ioctl, &parms, &result);
    core.accounting.ForProvider(id)->ipcIoctls.Count(start, core.pluginWatch.TickNs());
    if (returned != 0 || result.error != 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_DETAIL, "plugin %s ipc ioctl returned %d error %d",
                   filename.c_str(), static_cast<int>(returned), static_cast<int>(result.error));
    }
}

// Packets for the core itself: index 0 while no plugin has it.
bool ForTheCore(dvrcore& core, const IpcPacketHeader& header)
{
    if (header.target >> 20 != 0 || header.packetType < 0x4300 || header.packetType > 0x43FF) {
        return false;
    }
    std::shared_lock<std::shared_mutex> lock(core.pluginListMutex);
    return std::none_of(core.pluginList.begin(), core.pluginList.end(),
                        [&header](const PLUGININFO& p) { return IpcTargetMatches(header.target, p.info.id); });
}

// The accounting document, answered on the link (ioThread).
void SendAccounting(dvrcore& core)
{
    XmlDocument document;
    PluginAccounting::Build(core, document);
    const std::string text = PrintCompact(document);
    const auto length = static_cast<uint32_t>(IPC_HEADER_SIZE + text.size());
    if (length > IPC_MAX_PACKET) {
        return;
    }
    auto* packet = static_cast<uint8_t*>(std::malloc(length));
    if (packet == nullptr) {
        return;
    }
    const IpcPacketHeader header{length, 0, IPC_ACCOUNTING_REPLY, 0};
    std::memcpy(packet, &header, sizeof header);
    std::memcpy(packet + IPC_HEADER_SIZE, text.data(), text.size());
    core.QueueIpcPacket(packet, length);
}

void HandlePacket(dvrcore& core, uint8_t* packet, uint32_t length)
{
    const IpcPacketHeader header = ReadIpcHeader(packet);
    const uint32_t type = header.packetType;
    if (type == IPC_ACCOUNTING_REQUEST && ForTheCore(core, header)) {
        SendAccounting(core);
    } else if (type == IPC_STOP) {
        core.RequestStop();
    } else if (type == IPC_ANNOUNCE && length > IPC_HEADER_SIZE) {
        ApplyAnnouncement(core, packet + IPC_HEADER_SIZE, length - IPC_HEADER_SIZE);
    } else if (type == IPC_PLUGIN_LISTING_REQUEST && ForTheCore(core, header)) {
        SendPluginListing(core, header.reserved);
    } else {
        RouteToPlugin(core, packet, length);
    }
}

void LoseLink(dvrcore& core)
{
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "vigild ipc pipe disconnected");
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL,
               "sleeping for one minute to allow active watchdogs to expire...");
    core.sleepBeforeUnload = true;
    core.RequestStop();
    // Refuse new packets for the parent before the socket goes away.
    core.ipcOpen = false;
    boost::system::error_code ignored;
    core.ipcSocket.close(ignored);
}

}  // namespace

void dvrcore::StartIpcRead()
{
    ipcSocket.async_receive(
        boost::asio::buffer(ipcBuffer.data() + ipcFill, ipcBuffer.size() - ipcFill), 0, ipcReceiveFlags,
        [this](const boost::system::error_code& error, std::size_t bytes) { OnIpcRead(error, bytes); });
}

void dvrcore::OnIpcRead(const boost::system::error_code& error, std::size_t bytes)
{
    if (error == boost::asio::error::operation_aborted) {
        // Only closing the socket cancels the receive; nothing to read on.
        return;
    }
    if (error || bytes == 0) {
        LoseLink(*this);
        return;
    }
    ipcFill += bytes;
    if (!CutIpcPackets(ipcBuffer.data(), ipcFill,
                       [this](uint8_t* packet, uint32_t length) { HandlePacket(*this, packet, length); })) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING, "bad ipc packet length");
    }
    // The cut leaves at most an incomplete packet, so there is always room: a
    // receive into no room would complete with 0 bytes, a lost link.
    assert(ipcFill < ipcBuffer.size());
    StartIpcRead();
}
