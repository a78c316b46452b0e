#include "web_stream.h"

#include <chrono>

namespace dvrweb {

namespace ssl = boost::asio::ssl;

constexpr std::chrono::seconds kTlsCloseSeconds{5};

std::unique_ptr<ssl::context> MakeTlsContext(const std::string& certificate, const std::string& key,
                                             std::string& error)
{
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    boost::system::error_code code;
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                             ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use,
                         code);
    if (code) {
        error = code.message();
        return nullptr;
    }
    context->use_certificate_chain_file(certificate, code);
    if (code) {
        error = "tls_certificate " + certificate + ": " + code.message();
        return nullptr;
    }
    context->use_private_key_file(key, ssl::context::pem, code);
    if (code) {
        error = "tls_key " + key + ": " + code.message();
        return nullptr;
    }
    return context;
}

void EndConnection(PlainStream& stream, const std::shared_ptr<void>&)
{
    boost::system::error_code ignored;
    stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

void EndConnection(TlsStream& stream, const std::shared_ptr<void>& keep)
{
    boost::beast::get_lowest_layer(stream).expires_after(kTlsCloseSeconds);
    stream.async_shutdown([keep](const boost::system::error_code&) {});
}

}  // namespace dvrweb
