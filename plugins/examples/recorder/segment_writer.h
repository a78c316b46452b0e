// Writes the frames of one channel into rotating segment files.
//
// Owned and called by the recorder's worker thread only. A segment opens at a
// video sync frame and is closed at the first sync frame after it reaches
// kSegmentBytes; then the oldest segments beyond kSegmentsKept are deleted.
// Frames that find no open segment (before the channel's first sync frame,
// or after a write error until the next one) are not written. A failed write
// closes the segment and is reported by Append or Finish; nothing is retried.
#ifndef DVRCORE_EXAMPLES_RECORDER_SEGMENT_WRITER_H
#define DVRCORE_EXAMPLES_RECORDER_SEGMENT_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "segment_format.h"

namespace dvrexample {

class SegmentWriter {
public:
    static constexpr uint64_t kSegmentBytes = 4 * 1024 * 1024;
    static constexpr std::size_t kSegmentsKept = 10;

    enum class Outcome { kWritten, kSkipped, kFailed };

    // Continues the numbering of the segments already on disk.
    explicit SegmentWriter(uint32_t channel);
    ~SegmentWriter();
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

    Outcome Append(const SegmentRecord& record, const void* bytes);
    // Closes the open segment; false when its last bytes could not be written.
    bool Finish();
    // Text of the last failure, for the log.
    const std::string& error() const { return error_; }

private:
    bool StartSegment();
    bool CloseSegment();
    void Prune() const;
    void NoteError(const char* what);  // from errno
    Outcome Fail(const char* what);

    uint32_t channel_;
    uint32_t nextNumber_ = 1;
    std::FILE* file_ = nullptr;
    uint64_t segmentBytes_ = 0;
    std::string error_;
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDER_SEGMENT_WRITER_H
