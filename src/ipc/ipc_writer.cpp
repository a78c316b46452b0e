// The IPC writer: packets that plugins send to the parent service.
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "async_send_all.h"
#include "dvrcore.h"

namespace {

// A queue that held this much for the parent (a month of recordings lists,
// say) leaves heap pages behind that malloc keeps for the process.
constexpr std::size_t kTrimAfterBytes = 1 << 20;

}  // namespace

void dvrcore::QueueIpcPacket(void* block, std::size_t length)
{
    ipcOutgoing.emplace_back(block, length);
    ipcOutgoingBytes += length;
    ipcOutgoingPeak = std::max(ipcOutgoingPeak, ipcOutgoingBytes);
    if (ipcOutgoing.size() == 1) {
        SendNextIpcPacket();
    }
}

void dvrcore::SendNextIpcPacket()
{
    if (ipcOutgoing.empty() || !ipcSocket.is_open()) {
        return;
    }
    const auto& packet = ipcOutgoing.front();
    AsyncSendAll(ipcSocket, packet.first, packet.second,
                 [this](const boost::system::error_code& error) { OnIpcWritten(error); });
}

void dvrcore::OnIpcWritten(const boost::system::error_code&)
{
    std::free(ipcOutgoing.front().first);
    ipcOutgoingBytes -= ipcOutgoing.front().second;
    ipcOutgoing.pop_front();
    if (ipcOutgoing.empty() && std::exchange(ipcOutgoingPeak, 0) >= kTrimAfterBytes) {
        ::malloc_trim(0);
    }
    // A failed packet is dropped and the next one goes on: waiting instead
    // would hold every later packet for good, since nothing else drains the
    // queue. After the link is lost the closed socket stops the writer.
    SendNextIpcPacket();
}
