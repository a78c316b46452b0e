#include "rtsp_messages.h"

#include "camera_url.h"

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/md5.h>
}

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace dvrcamera {

namespace {

std::string Trim(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string PercentDecoded(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The parameters of a header such as 'a=1; b = "x,y"' split at `separator`.
std::vector<std::pair<std::string, std::string>> Parameters(const std::string& text, char separator)
{
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::string item;
        bool quoted = false;
        for (; at < text.size() && (quoted || text[at] != separator); ++at) {
            if (text[at] == '"') {
                quoted = !quoted;
            }
            item.push_back(text[at]);
        }
        ++at;
        const std::size_t equals = item.find('=');
        std::string value = equals == std::string::npos ? "" : Trim(item.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        out.emplace_back(Lower(Trim(item.substr(0, equals))), value);
    }
    return out;
}

std::string Md5Hex(const std::string& text)
{
    uint8_t digest[16];
    av_md5_sum(digest, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    char hex[33];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    return std::string(hex, 32);
}

}  // namespace

bool ParseRtspUrl(const std::string& url, RtspUrl& out)
{
    if (url.compare(0, 7, "rtsp://") != 0) {
        return false;
    }
    const dvrexample::CameraUrl parsed = dvrexample::ParseCameraUrl(url);
    if (!parsed.wellFormed || parsed.port == 0 || parsed.port > 65535) {
        return false;
    }
    const std::size_t colon = parsed.userInfo.find(':');
    out.user = PercentDecoded(parsed.userInfo.substr(0, colon));
    out.password = colon == std::string::npos ? "" : PercentDecoded(parsed.userInfo.substr(colon + 1));
    out.userInfo = parsed.userInfo;
    out.host = parsed.host;
    out.port = parsed.port < 0 ? "554" : std::to_string(parsed.port);
    const std::string host = parsed.host.find(':') == std::string::npos ? parsed.host : "[" + parsed.host + "]";
    out.plain = "rtsp://" + host + (parsed.port < 0 ? "" : ":" + out.port) + parsed.path;
    return true;
}

std::string RtspResponse::Header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return value;
        }
    }
    return "";
}

long ParseRtspResponse(const uint8_t* data, std::size_t size, RtspResponse& out)
{
    static constexpr char kVersion[] = "RTSP/1.0 ";
    const std::size_t prefix = std::min(size, sizeof kVersion - 1);
    if (std::memcmp(data, kVersion, prefix) != 0) {
        return -1;
    }
    const char* text = reinterpret_cast<const char*>(data);
    const char* end = static_cast<const char*>(memmem(text, std::min(size, kMaxRtspHead), "\r\n\r\n", 4));
    if (end == nullptr) {
        return size >= kMaxRtspHead ? -1 : 0;
    }
    const std::size_t headSize = static_cast<std::size_t>(end - text) + 4;
    out = RtspResponse{};
    std::size_t line = 0;
    bool first = true;
    while (line + 2 < headSize) {
        const char* lineEnd = static_cast<const char*>(memmem(text + line, headSize - line, "\r\n", 2));
        const std::string content(text + line, static_cast<std::size_t>(lineEnd - text) - line);
        line = static_cast<std::size_t>(lineEnd - text) + 2;
        if (first) {
            first = false;
            if (content.size() < 12 || !std::isdigit(static_cast<unsigned char>(content[9])) ||
                !std::isdigit(static_cast<unsigned char>(content[10])) ||
                !std::isdigit(static_cast<unsigned char>(content[11]))) {
                return -1;
            }
            out.status = std::atoi(content.substr(9, 3).c_str());
            continue;
        }
        const std::size_t colon = content.find(':');
        if (colon != std::string::npos) {
            out.headers.emplace_back(Lower(Trim(content.substr(0, colon))), Trim(content.substr(colon + 1)));
        }
    }
    const std::string length = out.Header("content-length");
    const long body = length.empty() ? 0 : std::strtol(length.c_str(), nullptr, 10);
    if (body < 0 || static_cast<std::size_t>(body) > kMaxRtspBody) {
        return -1;
    }
    if (size < headSize + static_cast<std::size_t>(body)) {
        return 0;
    }
    out.body.assign(text + headSize, static_cast<std::size_t>(body));
    return static_cast<long>(headSize) + body;
}

namespace {

// `key=a-b` (or `key=a`, b then a + 1) of a Transport header, each in 0..max.
bool ParsePair(const std::string& transport, const char* key, long max, int& first, int& second)
{
    for (const auto& [name, value] : Parameters(transport, ';')) {
        if (name != key) {
            continue;
        }
        std::string digits;
        for (char c : value) {
            if (!std::isspace(static_cast<unsigned char>(c))) {
                digits.push_back(c);
            }
        }
        char* next = nullptr;
        const long low = std::strtol(digits.c_str(), &next, 10);
        if (next == digits.c_str() || low < 0 || low > max) {
            return false;
        }
        const long high = *next == '-' ? std::strtol(next + 1, nullptr, 10) : low + 1;
        first = static_cast<int>(low);
        second = high >= 0 && high <= max ? static_cast<int>(high) : static_cast<int>(low + 1);
        return true;
    }
    return false;
}

}  // namespace

bool ParseInterleaved(const std::string& transport, int& rtp, int& rtcp)
{
    return ParsePair(transport, "interleaved", 255, rtp, rtcp);
}

bool ParseServerPorts(const std::string& transport, int& rtp, int& rtcp)
{
    return ParsePair(transport, "server_port", 65535, rtp, rtcp);
}

void ParseSession(const std::string& header, std::string& id, int& timeoutSeconds)
{
    const std::vector<std::pair<std::string, std::string>> parts = Parameters(header, ';');
    id = Trim(header.substr(0, header.find(';')));
    timeoutSeconds = 60;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].first == "timeout") {
            const int seconds = std::atoi(parts[i].second.c_str());
            timeoutSeconds = seconds > 0 ? seconds : 60;
        }
    }
}

bool ParseChallenge(const std::string& header, RtspChallenge& out)
{
    const std::string scheme = Lower(header.substr(0, header.find(' ')));
    out = RtspChallenge{};
    if (scheme == "basic") {
        return true;
    }
    if (scheme != "digest") {
        return false;
    }
    out.digest = true;
    for (const auto& [key, value] : Parameters(header.substr(6), ',')) {
        if (key == "realm") {
            out.realm = value;
        } else if (key == "nonce") {
            out.nonce = value;
        } else if (key == "opaque") {
            out.opaque = value;
        } else if (key == "qop") {
            out.qopAuth = Lower(value).find("auth") != std::string::npos;
        }
    }
    return !out.nonce.empty();
}

std::string Authorization(const RtspChallenge& challenge, const RtspUrl& url, const std::string& method,
                          const std::string& uri, uint32_t count)
{
    if (!challenge.digest) {
        const std::string plain = url.user + ":" + url.password;
        std::string encoded(AV_BASE64_SIZE(plain.size()), '\0');
        av_base64_encode(encoded.data(), static_cast<int>(encoded.size()),
                         reinterpret_cast<const uint8_t*>(plain.data()), static_cast<int>(plain.size()));
        return "Basic " + std::string(encoded.c_str());
    }
    const std::string ha1 = Md5Hex(url.user + ":" + challenge.realm + ":" + url.password);
    const std::string ha2 = Md5Hex(method + ":" + uri);
    std::string header = "Digest username=\"" + url.user + "\", realm=\"" + challenge.realm + "\", nonce=\"" +
                         challenge.nonce + "\", uri=\"" + uri + "\"";
    if (challenge.qopAuth) {
        char nc[9];
        std::snprintf(nc, sizeof nc, "%08x", count);
        char cnonce[17];
        std::snprintf(cnonce, sizeof cnonce, "%016llx",
                      static_cast<unsigned long long>(std::random_device{}()) << 32 | std::random_device{}());
        header += ", response=\"" + Md5Hex(ha1 + ":" + challenge.nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2) +
                  "\", qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + "\"";
    } else {
        header += ", response=\"" + Md5Hex(ha1 + ":" + challenge.nonce + ":" + ha2) + "\"";
    }
    if (!challenge.opaque.empty()) {
        header += ", opaque=\"" + challenge.opaque + "\"";
    }
    return header;
}

SdpSections SplitSdp(const std::string& sdp)
{
    SdpSections out;
    std::size_t at = 0;
    while (at < sdp.size()) {
        std::size_t end = sdp.find('\n', at);
        end = end == std::string::npos ? sdp.size() : end;
        std::string line = sdp.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        if (line.compare(0, 2, "m=") == 0) {
            SdpMedia media;
            const std::size_t space = line.find(' ');
            media.type = line.substr(2, space == std::string::npos ? std::string::npos : space - 2);
            // m=<type> <port> <proto> <fmt> ...
            const std::size_t proto = line.find(' ', space == std::string::npos ? line.size() : space + 1);
            const std::size_t format = proto == std::string::npos ? proto : line.find(' ', proto + 1);
            if (format != std::string::npos) {
                media.payloadType = std::atoi(line.c_str() + format + 1);
            }
            out.media.push_back(media);
        }
        std::string& text = out.media.empty() ? out.session : out.media.back().text;
        text += line + "\r\n";
        if (line.compare(0, 10, "a=control:") == 0) {
            (out.media.empty() ? out.control : out.media.back().control) = Trim(line.substr(10));
        }
    }
    return out;
}

std::string ControlUrl(const std::string& base, const std::string& control)
{
    if (control.empty() || control == "*") {
        return base;
    }
    if (control.find("://") != std::string::npos) {
        return control;
    }
    return base + (!base.empty() && base.back() == '/' ? "" : "/") + control;
}

}  // namespace dvrcamera
