// The recorder's segment files.
//
// Recordings live under "recordings/chNN/" in the core's working directory,
// one directory per channel, as numbered segment files "NNNNNNNN.seg". A
// segment is the file header followed by frame records, each a SegmentRecord
// and then `size` bytes of the frame, in the order the frames were raised. A
// new segment starts at a video sync frame, so every segment can be played on
// its own. Fields are in the host's byte order.
#ifndef DVRCORE_EXAMPLES_SEGMENT_FORMAT_H
#define DVRCORE_EXAMPLES_SEGMENT_FORMAT_H

#include <cstdint>

namespace dvrexample {

constexpr char kRecordingsDir[] = "recordings";
constexpr char kSegmentSuffix[] = ".seg";
constexpr char kSegmentMagic[8] = {'D', 'V', 'R', 'S', 'E', 'G', '1', '\n'};
constexpr uint32_t kRecordMagic = 0x314D5246;  // "FRM1"

enum class FrameKind : uint32_t { kVideo = 1, kAudio = 2 };

struct SegmentRecord {
    uint32_t magic;  // kRecordMagic
    FrameKind kind;
    uint32_t channel;
    uint32_t sequence;
    uint32_t size;  // frame bytes that follow
    uint32_t sync;  // 1: a video sync frame
    uint64_t captureTimeNs;
};
static_assert(sizeof(SegmentRecord) == 32, "SegmentRecord layout");

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_SEGMENT_FORMAT_H
