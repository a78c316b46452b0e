// The IPC writer: packets that plugins send to the parent service.
#include <cstdlib>

#include "async_send_all.h"
#include "dvrcore.h"

void dvrcore::QueueIpcPacket(void* block, std::size_t length)
{
    ipcOutgoing.emplace_back(block, length);
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
    ipcOutgoing.pop_front();
    // A failed packet is dropped and the next one goes on: waiting instead
    // would hold every later packet for good, since nothing else drains the
    // queue. After the link is lost the closed socket stops the writer.
    SendNextIpcPacket();
}
