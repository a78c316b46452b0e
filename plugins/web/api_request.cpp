#include "api_request.h"

#include <cstdlib>

namespace dvrweb {

namespace {

constexpr int64_t kLatestTimeMs = 4102444800000LL;  // 2100-01-01

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %-decoding; '+' is a space in a query. Nothing for a broken escape or a
// zero byte.
std::optional<std::string> Decode(std::string_view text, bool query)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && query) {
            c = ' ';
        }
        if (c == '\0') {
            return std::nullopt;
        }
        out.push_back(c);
    }
    return out;
}

std::optional<std::map<std::string, std::string>> ParsePairs(std::string_view text)
{
    std::map<std::string, std::string> pairs;
    while (!text.empty()) {
        const std::size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const std::size_t eq = pair.find('=');
        const std::optional<std::string> key = Decode(pair.substr(0, eq), true);
        const std::optional<std::string> value =
            Decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
        if (!key || !value || key->empty() || !pairs.emplace(*key, *value).second) {
            return std::nullopt;
        }
    }
    return pairs;
}

std::optional<int64_t> WholeNumber(const std::string* text, std::size_t maxDigits)
{
    if (text == nullptr || text->empty() || text->size() > maxDigits ||
        text->find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::strtoll(text->c_str(), nullptr, 10);
}

}  // namespace

std::optional<ApiTarget> ParseTarget(std::string_view target)
{
    if (target.empty() || target.size() > kMaxTargetLength || target[0] != '/') {
        return std::nullopt;
    }
    const std::size_t question = target.find('?');
    std::optional<std::string> path = Decode(target.substr(0, question), false);
    if (!path) {
        return std::nullopt;
    }
    ApiTarget parsed;
    parsed.path = std::move(*path);
    if (question != std::string_view::npos) {
        std::optional<std::map<std::string, std::string>> query = ParsePairs(target.substr(question + 1));
        if (!query) {
            return std::nullopt;
        }
        parsed.query = std::move(*query);
    }
    return parsed;
}

std::optional<int64_t> ParseTimeMs(const std::string* text)
{
    const std::optional<int64_t> ms = WholeNumber(text, 13);
    if (!ms || *ms > kLatestTimeMs) {
        return std::nullopt;
    }
    return ms;
}

std::optional<int64_t> ParseDurationSeconds(const std::string* text)
{
    const std::optional<int64_t> seconds = WholeNumber(text, 5);
    if (!seconds || *seconds < 1 || *seconds > kMaxPlaybackSeconds) {
        return std::nullopt;
    }
    return seconds;
}

std::optional<std::string> ParseCameraName(const std::string* text)
{
    if (text == nullptr || text->empty() || text->size() > 47) {
        return std::nullopt;
    }
    for (const char c : *text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return std::nullopt;
        }
    }
    return *text;
}

const std::string* QueryValue(const ApiTarget& target, const std::string& key)
{
    const auto found = target.query.find(key);
    return found == target.query.end() ? nullptr : &found->second;
}

std::optional<std::map<std::string, std::string>> ParseForm(std::string_view body)
{
    return ParsePairs(body);
}

}  // namespace dvrweb
