// Writing one whole block to a sequenced-packet socket.
//
// Asio's composed write needs a stream; a sequenced-packet socket only sends
// messages. AsyncSendAll writes `length` bytes from `data` as successive
// sends of at most IPC_MAX_PACKET bytes each (MSG_NOSIGNAL: a vanished peer is
// an error code, not a signal), so a longer block reaches the peer as several
// messages. `handler(error)` runs once on the socket's executor: after the
// last byte went out, or at the first failed send. A block of 0 bytes sends
// nothing and completes through a posted handler. `data` must stay valid until
// the handler runs; at most one AsyncSendAll per socket may be outstanding.
#ifndef DVRCORE_IPC_ASYNC_SEND_ALL_H
#define DVRCORE_IPC_ASYNC_SEND_ALL_H

#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "plugin_api.h"

namespace ipc_detail {

template <typename Socket, typename Handler>
class SendAllOperation {
public:
    SendAllOperation(Socket& socket, const uint8_t* data, std::size_t length, Handler handler)
        : socket_(socket), data_(data), remaining_(length), handler_(std::move(handler))
    {
    }

    void Start()
    {
        if (remaining_ == 0) {
            boost::asio::post(socket_.get_executor(),
                              [handler = std::move(handler_)]() mutable { handler(boost::system::error_code()); });
            return;
        }
        SendNext();
    }

    void operator()(const boost::system::error_code& error, std::size_t sent)
    {
        data_ += sent;
        remaining_ -= sent;
        if (error || remaining_ == 0) {
            handler_(error);
            return;
        }
        SendNext();
    }

private:
    void SendNext()
    {
        const std::size_t chunk = std::min<std::size_t>(remaining_, IPC_MAX_PACKET);
        // The operation travels with the send; nothing of *this is used after.
        socket_.async_send(boost::asio::buffer(data_, chunk), MSG_NOSIGNAL, std::move(*this));
    }

    Socket& socket_;
    const uint8_t* data_;
    std::size_t remaining_;
    Handler handler_;
};

}  // namespace ipc_detail

template <typename Socket, typename Handler>
void AsyncSendAll(Socket& socket, const void* data, std::size_t length, Handler handler)
{
    ipc_detail::SendAllOperation<Socket, Handler>(socket, static_cast<const uint8_t*>(data), length, std::move(handler))
        .Start();
}

#endif  // DVRCORE_IPC_ASYNC_SEND_ALL_H
