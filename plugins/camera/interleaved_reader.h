// Cuts the byte stream of an RTSP connection in play into its interleaved
// frames ('$', channel, 16-bit length, RTP or RTCP packet) and skips the
// RTSP responses between them (the answers to keep-alives).
//
// Cameras are not always clean: bytes that fit neither (junk, stray Annex B
// start codes, the tail of a frame whose length was wrong) are skipped one at
// a time until a '$' with a plausible header follows: a version-2 RTP or RTCP
// packet and, after skipped bytes, one of the channels set up whose end is
// the start of the next frame or answer (so a '$' inside a packet is not
// taken for one). `skipped` counts them. One camera thread owns a reader.
#ifndef DVRCORE_EXAMPLES_CAMERA_INTERLEAVED_READER_H
#define DVRCORE_EXAMPLES_CAMERA_INTERLEAVED_READER_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace dvrcamera {

class InterleavedReader {
public:
    struct Frame {
        int channel = -1;
        const uint8_t* data = nullptr;  // valid until the next Append or Next
        std::size_t size = 0;
    };

    // The channels set up; frames on others pass only while in step.
    void SetChannels(std::vector<int> channels) { channels_ = std::move(channels); }
    void Append(const uint8_t* data, std::size_t size);
    // The same, taking over `bytes` when nothing is left to read (it comes
    // back empty, with the reader's old buffer): no copy.
    void Append(std::vector<uint8_t>& bytes);
    // The next whole frame; false when the bytes held end before one does.
    bool Next(Frame& frame);

    uint64_t skipped() const { return skipped_; }
    std::size_t held() const { return bytes_.size() - start_; }

private:
    void Skip();

    std::vector<uint8_t> bytes_;
    std::size_t start_ = 0;  // the first byte not read yet
    uint64_t skipped_ = 0;
    bool inStep_ = true;  // the last byte read ended a frame or an answer
    std::vector<int> channels_;
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_INTERLEAVED_READER_H
