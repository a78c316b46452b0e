#include "interleaved_reader.h"

#include <algorithm>

#include "rtsp_messages.h"

namespace dvrcamera {

namespace {

constexpr std::size_t kHeader = 4;
constexpr std::size_t kSmallestPacket = 8;  // an RTCP header with its SSRC; RTP's is 12

}  // namespace

void InterleavedReader::Append(const uint8_t* data, std::size_t size)
{
    // What was read goes; what is left moves to the front, so the buffer
    // stays as large as the bytes of one read plus one frame.
    if (start_ > 0) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    bytes_.insert(bytes_.end(), data, data + size);
}

void InterleavedReader::Append(std::vector<uint8_t>& bytes)
{
    if (held() == 0) {
        bytes_.swap(bytes);  // all read: the new bytes become the buffer, no copy
        start_ = 0;
    } else {
        Append(bytes.data(), bytes.size());
    }
    bytes.clear();
}

bool InterleavedReader::Next(Frame& frame)
{
    while (start_ < bytes_.size()) {
        const uint8_t* at = bytes_.data() + start_;
        const std::size_t left = bytes_.size() - start_;
        if (at[0] == '$') {
            if (left < kHeader + 1) {
                return false;
            }
            const std::size_t length = std::size_t{at[2]} << 8 | at[3];
            const bool known =
                channels_.empty() || std::find(channels_.begin(), channels_.end(), at[1]) != channels_.end();
            if (length < kSmallestPacket || at[4] >> 6 != 2 || (!inStep_ && !known)) {
                Skip();
                continue;
            }
            if (left < kHeader + length + (inStep_ ? 0 : 1)) {
                return false;
            }
            if (!inStep_ && at[kHeader + length] != '$' && at[kHeader + length] != 'R') {
                Skip();
                continue;
            }
            inStep_ = true;
            frame.channel = at[1];
            frame.data = at + kHeader;
            frame.size = length;
            start_ += kHeader + length;
            return true;
        }
        if (at[0] == 'R') {
            RtspResponse response;
            const long taken = ParseRtspResponse(at, left, response);
            if (taken == 0) {
                return false;
            }
            if (taken > 0) {
                start_ += static_cast<std::size_t>(taken);
                inStep_ = true;
                continue;
            }
        }
        Skip();
    }
    return false;
}

void InterleavedReader::Skip()
{
    ++start_;
    ++skipped_;
    inStep_ = false;
}

}  // namespace dvrcamera
