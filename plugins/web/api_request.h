// A request's target, taken apart: the path and its query parameters, and
// the checks every API parameter passes before anything looks it up.
// Pure functions, called on the plugin's network thread (and by the fuzz
// target); a value that fails its check gives nothing, and the request is
// answered 400.
#ifndef DVRCORE_WEB_API_REQUEST_H
#define DVRCORE_WEB_API_REQUEST_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace dvrweb {

struct ApiTarget {
    std::string path;  // decoded, without the query
    std::map<std::string, std::string> query;
};

// Limits of a request before it is parsed further: the header (request
// line included) and the body (only a login has one).
constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
constexpr std::size_t kMaxBodyBytes = 4 * 1024;
// Longest target taken apart; a longer one is refused.
constexpr std::size_t kMaxTargetLength = 2048;
// Longest playback or clip, in seconds.
constexpr int64_t kMaxPlaybackSeconds = 3600;
// Longest recordings range: 31 days.
constexpr int64_t kMaxRangeMs = 31LL * 24 * 3600 * 1000;

// Nothing for a target that is not "/path[?k=v&...]" with valid %-escapes,
// or that repeats a key.
std::optional<ApiTarget> ParseTarget(std::string_view target);

// Milliseconds of UTC since 1970, from 0 to the year 2100.
std::optional<int64_t> ParseTimeMs(const std::string* text);
// Whole seconds from 1 to kMaxPlaybackSeconds.
std::optional<int64_t> ParseDurationSeconds(const std::string* text);
// A camera's name as the camera plugin gives it: 1..47 printable bytes.
std::optional<std::string> ParseCameraName(const std::string* text);

// The value of `key`, or null.
const std::string* QueryValue(const ApiTarget& target, const std::string& key);

// "application/x-www-form-urlencoded" body as a query: user=..&password=..
std::optional<std::map<std::string, std::string>> ParseForm(std::string_view body);

}  // namespace dvrweb

#endif  // DVRCORE_WEB_API_REQUEST_H
