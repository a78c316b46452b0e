// Cuts the byte stream of an RTSP connection in play into its interleaved
// frames ('$', channel, 16-bit length, RTP or RTCP packet) and skips the
// RTSP responses between them (the answers to keep-alives).
//
// Cameras are not always clean: bytes that fit neither (junk, stray Annex B
// start codes, the tail of a frame whose length was wrong) are skipped one at
// a time until a '$' with a plausible header follows (a version-2 RTP or RTCP
// packet); `skipped` counts them. One camera thread owns a reader.
#ifndef DVRCORE_EXAMPLES_CAMERA_INTERLEAVED_READER_H
#define DVRCORE_EXAMPLES_CAMERA_INTERLEAVED_READER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dvrcamera {

class InterleavedReader {
public:
    struct Frame {
        int channel = -1;
        const uint8_t* data = nullptr;  // valid until the next Append or Next
        std::size_t size = 0;
    };

    void Append(const uint8_t* data, std::size_t size);
    // The next whole frame; false when the bytes held end before one does.
    bool Next(Frame& frame);

    uint64_t skipped() const { return skipped_; }
    std::size_t held() const { return bytes_.size() - start_; }

private:
    std::vector<uint8_t> bytes_;
    std::size_t start_ = 0;  // the first byte not read yet
    uint64_t skipped_ = 0;
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_INTERLEAVED_READER_H
