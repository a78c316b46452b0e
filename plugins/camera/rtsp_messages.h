// The texts of an RTSP session that the camera's own reader handles itself:
// the URL, the server's responses, the Transport and Session headers and the
// SDP's media sections (which it sets up; FFmpeg's SDP demuxer reads the
// media descriptions themselves). Pure functions, no I/O; any thread. Every
// parser takes arbitrary bytes (they are fuzzed) and reports what it cannot
// read instead of guessing.
#ifndef DVRCORE_EXAMPLES_CAMERA_RTSP_MESSAGES_H
#define DVRCORE_EXAMPLES_CAMERA_RTSP_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace dvrcamera {

// rtsp://[user[:password]@]host[:port]/path, split as the camera's URL is
// for libavformat (camera_url.h): the user information up to the last '@',
// the user and password percent-decoded; `userInfo` as the URL carries it,
// percent-encoded; `plain` is the URL without it (what requests carry).
struct RtspUrl {
    std::string host;
    std::string port = "554";
    std::string user;
    std::string password;
    std::string userInfo;
    std::string plain;
};
bool ParseRtspUrl(const std::string& url, RtspUrl& out);

struct RtspResponse {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, in order
    std::string body;

    // The first header of that (lower-case) name, or "".
    std::string Header(const std::string& name) const;
};

// Reads one response from the start of `data`: the bytes it took, 0 when the
// response is not complete yet, -1 when the bytes are no RTSP response (or
// its head exceeds kMaxRtspHead, or its body kMaxRtspBody).
constexpr std::size_t kMaxRtspHead = 16384;
constexpr std::size_t kMaxRtspBody = 65536;
long ParseRtspResponse(const uint8_t* data, std::size_t size, RtspResponse& out);

// The interleaved channels of a Transport header ("interleaved=0-1" in any
// parameter order, blanks allowed); false when it names none.
bool ParseInterleaved(const std::string& transport, int& rtp, int& rtcp);
// The camera's RTP and RTCP ports of a Transport header for RTP over UDP
// ("server_port=5000-5001"); false when it names none.
bool ParseServerPorts(const std::string& transport, int& rtp, int& rtcp);

// A Session header: the id, and the timeout in seconds (60 when not given).
void ParseSession(const std::string& header, std::string& id, int& timeoutSeconds);

// A Digest or Basic challenge from WWW-Authenticate, and the Authorization
// header that answers it.
struct RtspChallenge {
    bool digest = false;
    std::string realm;
    std::string nonce;
    std::string opaque;
    bool qopAuth = false;
};
bool ParseChallenge(const std::string& header, RtspChallenge& out);
std::string Authorization(const RtspChallenge& challenge, const RtspUrl& url, const std::string& method,
                          const std::string& uri, uint32_t count);

// An SDP cut into its session part and media sections (each with its lines,
// its control attribute and first payload type). Lines end in "\r\n" again.
struct SdpMedia {
    std::string type;  // "video", "audio", ...
    int payloadType = -1;
    std::string control;
    std::string text;
};
struct SdpSections {
    std::string session;
    std::string control;  // the session's aggregate control, if any
    std::vector<SdpMedia> media;
};
SdpSections SplitSdp(const std::string& sdp);

// A control attribute resolved against the base URL.
std::string ControlUrl(const std::string& base, const std::string& control);

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_RTSP_MESSAGES_H
