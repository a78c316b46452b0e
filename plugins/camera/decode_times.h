// Decode timestamps for a video stream that carries presentation timestamps
// only, as RTP does. An encoder that sends B-frames sends each picture before
// the later ones it refers to, so decode order is not presentation order;
// decode times are the stream's presentation times in sorted order, held back
// by the deepest reordering a camera uses (kReorderDepth frames): the decode
// time of a frame is the (kReorderDepth + 1)-th latest presentation time seen
// up to it. They rise with every frame and never pass its presentation time,
// for any stream that reorders by at most kReorderDepth frames; a stream that
// does not reorder gets a constant composition offset of kReorderDepth frames.
//
// Used by the camera's own thread only.
#ifndef DVRCORE_EXAMPLES_CAMERA_DECODE_TIMES_H
#define DVRCORE_EXAMPLES_CAMERA_DECODE_TIMES_H

#include <cstddef>
#include <cstdint>
#include <deque>

namespace dvrcamera {

class DecodeTimes {
public:
    static constexpr std::size_t kReorderDepth = 4;
    static constexpr std::size_t kWindow = 16;         // presentation times kept
    static constexpr int64_t kJumpTicks = 10 * 90000;  // farther than any reordering

    // Starts over: at a new run, or when the timestamps jumped.
    void Reset() { recent_.clear(); }
    // The decode time of the next frame in decode order, with presentation
    // time `pts`; `frameTicks` (the frame period) places the first frames.
    int64_t Next(int64_t pts, int64_t frameTicks);

private:
    std::deque<int64_t> recent_;  // presentation times, in decode order
    int64_t last_ = 0;            // the decode time handed out last, while recent_ holds any
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_DECODE_TIMES_H
