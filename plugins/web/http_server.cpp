#include "http_server.h"

#include <boost/asio/ip/address.hpp>

#include "http_session.h"

namespace dvrweb {

bool HttpServer::Listen(const std::string& address, uint16_t port, std::string& error)
{
    boost::system::error_code code;
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address(address, code), port);
    if (!code) {
        acceptor_.open(endpoint.protocol(), code);
    }
    if (!code) {
        acceptor_.set_option(boost::asio::socket_base::reuse_address(true), code);
    }
    if (!code) {
        acceptor_.bind(endpoint, code);
    }
    if (!code) {
        acceptor_.listen(boost::asio::socket_base::max_listen_connections, code);
    }
    if (code) {
        error = code.message();
        return false;
    }
    port_ = acceptor_.local_endpoint(code).port();
    DoAccept();
    return true;
}

void HttpServer::DoAccept()
{
    acceptor_.async_accept([this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted) {
            return;
        }
        if (!error) {
            if (web_.connections.load() < kMaxConnections) {
                ServeConnection(std::move(socket), web_);
            } else {
                boost::system::error_code ignored;
                socket.close(ignored);
            }
        }
        DoAccept();
    });
}

void HttpServer::Stop()
{
    boost::system::error_code ignored;
    acceptor_.close(ignored);
}

}  // namespace dvrweb
