#include "web_settings.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "plugin_settings.h"

namespace dvrweb {

void ApplyWebSetting(WebSettings& settings, const std::string& key, const std::string& value)
{
    if (key == "address") {
        in6_addr any;
        if (inet_pton(AF_INET, value.c_str(), &any) != 1 && inet_pton(AF_INET6, value.c_str(), &any) != 1) {
            settings.problems.push_back("web.conf: address " + value + " is no IP address, kept " + settings.address);
        } else {
            settings.address = value;
        }
    } else if (key == "port") {
        const bool digits = !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
        const unsigned long port = digits ? std::strtoul(value.c_str(), nullptr, 10) : 65536;
        if (port > 65535) {
            settings.problems.push_back("web.conf: port " + value + " is not a port number, kept " +
                                        std::to_string(settings.port));
        } else {
            settings.port = static_cast<uint16_t>(port);
        }
    } else if (key == "user") {
        const std::size_t colon = value.find(':');
        if (colon == 0 || colon == std::string::npos || value.compare(colon + 1, 3, "$ar") != 0) {
            settings.problems.push_back("web.conf: user line is not NAME:HASH from web-user, skipped");
        } else {
            settings.users[value.substr(0, colon)] = value.substr(colon + 1);
        }
    } else if (key == "tls_certificate") {
        settings.tlsCertificate = value;
    } else if (key == "tls_key") {
        settings.tlsKey = value;
    } else {
        settings.problems.push_back("web.conf: unknown setting " + key);
    }
}

WebSettings ReadWebSettings(const char* file)
{
    WebSettings settings;
    int badLine = 0;
    DvrReadSettings(
        file,
        [](const char* key, const char* value, void* context) {
            ApplyWebSetting(*static_cast<WebSettings*>(context), key, value);
        },
        &settings, &badLine);
    if (badLine != 0) {
        settings.problems.push_back(std::string(file) + ": line " + std::to_string(badLine) +
                                    " is not \"key = value\", skipped");
    }
    return settings;
}

bool IsLoopbackAddress(const std::string& address)
{
    in_addr v4;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) {
        return false;
    }
    if (IN6_IS_ADDR_LOOPBACK(&v6)) {
        return true;
    }
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace dvrweb
