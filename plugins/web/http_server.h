// The listening socket: accepts connections on the network thread and hands
// each to ServeConnection, while fewer than kMaxConnections are open (more
// are closed at once, so thousands of idle clients cost nothing).
#ifndef DVRCORE_WEB_HTTP_SERVER_H
#define DVRCORE_WEB_HTTP_SERVER_H

#include <boost/asio/ip/tcp.hpp>
#include <string>

#include "web_service.h"

namespace dvrweb {

class HttpServer {
public:
    static constexpr int kMaxConnections = 256;

    explicit HttpServer(WebService& web) : web_(web), acceptor_(web.io) {}

    // Binds and listens; false with `error` set.
    bool Listen(const std::string& address, uint16_t port, std::string& error);
    // The bound port (for port 0).
    uint16_t port() const { return port_; }
    void Stop();

private:
    void DoAccept();

    WebService& web_;
    boost::asio::ip::tcp::acceptor acceptor_;
    uint16_t port_ = 0;
};

}  // namespace dvrweb

#endif  // DVRCORE_WEB_HTTP_SERVER_H
