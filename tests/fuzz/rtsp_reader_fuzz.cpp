// Fuzz target: a camera's bytes into the camera plugin's own RTSP reader.
//
// The first input byte picks what the rest is: the byte stream of a
// connection in play, cut into receives of sizes taken from the input, for
// the interleaved reader (every frame it returns lies within what it holds,
// carries a version-2 packet and the length its header says; it never holds
// more than what was appended); or one text for the response, Transport,
// Session, challenge, URL and SDP parsers (a response it takes is no longer
// than the text, and an SDP's pieces add up to its lines).
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "interleaved_reader.h"
#include "rtsp_messages.h"

namespace dvrfuzz {
namespace {

void Check(bool invariant)
{
    if (!invariant) {
        std::abort();
    }
}

void ReadInterleaved(FuzzInput& input)
{
    dvrcamera::InterleavedReader reader;
    if (input.Bit()) {
        reader.SetChannels({0, 1, 2, 3});
    }
    std::size_t appended = 0;
    std::size_t taken = 0;
    while (!input.Empty()) {
        const std::string chunk = input.Bytes(1 + input.U16() % 4096);
        reader.Append(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        appended += chunk.size();
        dvrcamera::InterleavedReader::Frame frame;
        while (reader.Next(frame)) {
            Check(frame.size >= 8 && frame.size <= 0xFFFF && frame.data[0] >> 6 == 2);
            Check(frame.channel >= 0 && frame.channel <= 0xFF);
            Check((std::size_t{frame.data[-2]} << 8 | frame.data[-1]) == frame.size);
            taken += frame.size + 4;
        }
        Check(taken + reader.held() + reader.skipped() <= appended);
    }
}

void ParseTexts(const std::string& text)
{
    dvrcamera::RtspResponse response;
    const long used =
        dvrcamera::ParseRtspResponse(reinterpret_cast<const uint8_t*>(text.data()), text.size(), response);
    Check(used <= static_cast<long>(text.size()));
    Check(used <= 0 ||
          (response.status >= 0 && response.status <= 999 && response.body.size() <= dvrcamera::kMaxRtspBody));
    int rtp = -1;
    int rtcp = -1;
    if (dvrcamera::ParseInterleaved(text, rtp, rtcp)) {
        Check(rtp >= 0 && rtp <= 255 && rtcp >= 0 && rtcp <= 256);
    }
    if (dvrcamera::ParseServerPorts(text, rtp, rtcp)) {
        Check(rtp >= 0 && rtp <= 65535 && rtcp >= 0 && rtcp <= 65536);
    }
    std::string id;
    int timeout = 0;
    dvrcamera::ParseSession(text, id, timeout);
    Check(timeout > 0 && id.size() <= text.size());
    dvrcamera::RtspChallenge challenge;
    if (dvrcamera::ParseChallenge(text, challenge)) {
        dvrcamera::RtspUrl url;
        url.user = "viewer";
        url.password = "secret";
        Check(!dvrcamera::Authorization(challenge, url, "DESCRIBE", "rtsp://camera/stream", 1).empty());
    }
    dvrcamera::RtspUrl url;
    if (dvrcamera::ParseRtspUrl(text, url)) {
        Check(!url.host.empty() && url.plain.compare(0, 7, "rtsp://") == 0);
    }
    const dvrcamera::SdpSections sdp = dvrcamera::SplitSdp(text);
    std::size_t lines = sdp.session.size();
    for (const dvrcamera::SdpMedia& media : sdp.media) {
        lines += media.text.size();
        Check(media.text.compare(0, 2, "m=") == 0);
        dvrcamera::ControlUrl("rtsp://camera/stream/", media.control);
    }
    Check(lines <= text.size() * 2 + 2);
}

}  // namespace

int FuzzRtspReader(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    if (input.Bit()) {
        ReadInterleaved(input);
    } else {
        ParseTexts(input.Rest());
    }
    return 0;
}

}  // namespace dvrfuzz
