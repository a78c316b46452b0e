// The web plugin's settings: "web.conf" beside core.xml (plugin_settings.h),
// read at Open.
//
//   address = 127.0.0.1        where to listen (default 127.0.0.1)
//   port = 8080                0..65535, 0 picks a free one (default 8080)
//   user = NAME:HASH           one line per user; HASH from web-user
//   tls_certificate = FILE     PEM; with tls_key, the page is served over TLS
//   tls_key = FILE
//
// A loopback address (127.0.0.0/8, ::1) may go without users; any other
// needs at least one.
#ifndef DVRCORE_WEB_WEB_SETTINGS_H
#define DVRCORE_WEB_WEB_SETTINGS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dvrweb {

constexpr char kWebSettingsFile[] = "web.conf";

struct WebSettings {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;
    std::map<std::string, std::string> users;  // name -> libsodium password hash
    std::string tlsCertificate;
    std::string tlsKey;
    // What was wrong, one line each, for the log; defaults stand instead.
    std::vector<std::string> problems;
};

WebSettings ReadWebSettings(const char* file = kWebSettingsFile);

// Applies one "key = value" to `settings` (a problem line when it is wrong).
void ApplyWebSetting(WebSettings& settings, const std::string& key, const std::string& value);

// True for 127.0.0.0/8 and ::1 (also written as an IPv4-mapped address).
bool IsLoopbackAddress(const std::string& address);

}  // namespace dvrweb

#endif  // DVRCORE_WEB_WEB_SETTINGS_H
