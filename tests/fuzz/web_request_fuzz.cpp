// Fuzz target: bytes as an HTTP request to the web plugin, through the same
// Beast parser with the plugin's limits, then its target, query parameters
// and form body through the API's checks; and as lines of web.conf.
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdlib>
#include <string>
#include <string_view>

#include "api_request.h"
#include "fuzz_targets.h"
#include "web_settings.h"

namespace dvrfuzz {
namespace {

namespace http = boost::beast::http;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void CheckParameters(const dvrweb::ApiTarget& target)
{
    Require(!target.path.empty() && target.path[0] == '/' && target.path.find('\0') == std::string::npos);
    for (const char* key : {"from", "to", "start"}) {
        if (const std::optional<int64_t> ms = dvrweb::ParseTimeMs(dvrweb::QueryValue(target, key))) {
            Require(*ms >= 0 && *ms <= 4102444800000LL);
        }
    }
    if (const std::optional<int64_t> seconds = dvrweb::ParseDurationSeconds(dvrweb::QueryValue(target, "duration"))) {
        Require(*seconds >= 1 && *seconds <= dvrweb::kMaxPlaybackSeconds);
    }
    if (const std::optional<std::string> camera = dvrweb::ParseCameraName(dvrweb::QueryValue(target, "camera"))) {
        Require(!camera->empty() && camera->size() <= 47);
        for (const char c : *camera) {
            Require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
        }
    }
}

}  // namespace

int FuzzWebRequest(const uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    http::request_parser<http::string_body> parser;
    parser.header_limit(dvrweb::kMaxHeaderBytes);
    parser.body_limit(dvrweb::kMaxBodyBytes);
    parser.eager(true);
    boost::beast::error_code error;
    parser.put(boost::asio::buffer(text.data(), text.size()), error);
    if (parser.is_header_done()) {
        const auto& request = parser.get();
        const auto target = request.target();
        Require(target.size() + request.method_string().size() <= dvrweb::kMaxHeaderBytes);
        if (const std::optional<dvrweb::ApiTarget> parsed = dvrweb::ParseTarget(std::string_view(target.data(), target.size()))) {
            CheckParameters(*parsed);
        }
        if (parser.is_done()) {
            Require(request.body().size() <= dvrweb::kMaxBodyBytes);
            dvrweb::ParseForm(request.body());
        }
    }
    // The raw bytes as a target, and as settings lines.
    if (const std::optional<dvrweb::ApiTarget> parsed = dvrweb::ParseTarget(text)) {
        CheckParameters(*parsed);
    }
    dvrweb::WebSettings settings;
    const std::size_t equals = text.find('=');
    if (equals != std::string_view::npos) {
        dvrweb::ApplyWebSetting(settings, std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    dvrweb::IsLoopbackAddress(std::string(text));
    return 0;
}

}  // namespace dvrfuzz
