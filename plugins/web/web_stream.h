// The two kinds of connection the plugin serves: plain TCP, and TLS over TCP
// when web.conf names a certificate and a key (web_settings.h). The HTTP and
// live-view sessions are templates over them.
#ifndef DVRCORE_WEB_WEB_STREAM_H
#define DVRCORE_WEB_WEB_STREAM_H

#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <memory>
#include <string>
#include <type_traits>

namespace dvrweb {

using PlainStream = boost::beast::tcp_stream;
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

template <typename Stream>
constexpr bool kIsTls = std::is_same_v<Stream, TlsStream>;

// A server context for `certificate` (PEM, the chain) and `key` (PEM); null
// with `error` set when either cannot be used. TLS 1.2 and newer only.
std::unique_ptr<boost::asio::ssl::context> MakeTlsContext(const std::string& certificate, const std::string& key,
                                                          std::string& error);

// Ends a connection after its last answer; TLS says so first (close_notify),
// within a few seconds. `keep` holds the session until then.
void EndConnection(PlainStream& stream, const std::shared_ptr<void>& keep);
void EndConnection(TlsStream& stream, const std::shared_ptr<void>& keep);

}  // namespace dvrweb

#endif  // DVRCORE_WEB_WEB_STREAM_H
