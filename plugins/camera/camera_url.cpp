#include "camera_url.h"

#include <cctype>
#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
}

namespace dvrexample {

namespace {

bool Unreserved(unsigned char c)
{
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}

// `part` of the user information with every byte that the URL cannot carry
// there percent-encoded; "%XX" escapes stay as they are.
std::string Encoded(const std::string& part)
{
    std::string encoded;
    for (std::size_t at = 0; at < part.size(); ++at) {
        const auto c = static_cast<unsigned char>(part[at]);
        const bool escape =
            c == '%' && at + 2 < part.size() && std::isxdigit(part[at + 1]) != 0 && std::isxdigit(part[at + 2]) != 0;
        if (Unreserved(c) || escape) {
            encoded += static_cast<char>(c);
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        encoded += hex;
    }
    return encoded;
}

}  // namespace

CameraUrl ParseCameraUrl(const std::string& url)
{
    CameraUrl parsed;
    const std::string::size_type scheme = url.find("://");
    if (scheme == std::string::npos) {
        parsed.shown = "(malformed URL)";
        return parsed;
    }
    std::string rest = url.substr(scheme + 3);
    const std::string::size_type at = rest.rfind('@');
    std::string userInfo;
    if (at != std::string::npos) {
        const std::string::size_type colon = rest.find(':');
        userInfo = colon < at ? Encoded(rest.substr(0, colon)) + ":" + Encoded(rest.substr(colon + 1, at - colon - 1))
                              : Encoded(rest.substr(0, at));
        rest = rest.substr(at + 1);
    }
    parsed.connect = url.substr(0, scheme + 3) + (userInfo.empty() ? "" : userInfo + "@") + rest;
    char protocol[16] = "";
    char authorization[1024] = "";
    char host[1024] = "";
    char path[2048] = "";
    int port = -1;
    av_url_split(protocol, sizeof protocol, authorization, sizeof authorization, host, sizeof host, &port, path,
                 sizeof path, parsed.connect.c_str());
    const std::string name = protocol;
    parsed.shown = name + "://" + host + (port >= 0 ? ":" + std::to_string(port) : "") + path;
    parsed.userInfo = userInfo;
    parsed.host = host;
    parsed.port = port;
    parsed.path = path;
    bool blank = false;
    for (const char c : url) {
        blank = blank || static_cast<unsigned char>(c) <= ' ';
    }
    parsed.wellFormed = (name == "rtsp" || name == "rtsps") && host[0] != '\0' && !blank;
    return parsed;
}

}  // namespace dvrexample
