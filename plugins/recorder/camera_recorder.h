// The recording policy of one camera: when a segment starts and ends, when a
// fragment is cut, and what is dropped.
//
// A segment starts at a video sync frame and ends before the first sync
// frame past a wall-clock boundary (multiples of the segment length in UTC),
// before a sync frame whose parameter sets or sound configuration differ,
// before the first frame of a new run, and before a video frame whose
// decode time does not follow the segment's last (continuity is not certain
// then). Frames are ordered by decode time and written with their
// composition offsets; a segment's decode times are the run's, so segments of
// one run continue one another. Frames before the first sync frame of a
// segment are dropped, and so is a sound frame not later than the segment's
// last. A fragment holds one GOP or at most
// kFragmentSpan of media, and a fragment that waits longer than
// kFragmentSpan for its next frame is cut anyway, so a stalled camera loses
// nothing that it sent. Audio joins at the first sync frame after an AAC
// frame told its configuration, in a new segment: a camera's sound is
// missing from at most one GOP. A failed write ends the segment (the file
// keeps its whole fragments) and recording resumes at the next sync frame.
//
// The segment's row reaches the store only as far as the file is durable:
// at its start (the file and its directory entry synced), at each Sync that
// made a fragment durable, and at its end. A failed write therefore never
// overstates a segment, and its end is the wall time of its last durable
// frame, never later.
//
// Owned and called by the recorder's worker thread only.
#ifndef DVRCORE_EXAMPLES_RECORDER_CAMERA_RECORDER_H
#define DVRCORE_EXAMPLES_RECORDER_CAMERA_RECORDER_H

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "camera_stream.h"
#include "fmp4_file.h"
#include "recordings_index.h"
#include "recordings_store.h"

namespace dvrexample {

class CameraRecorder {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint32_t kFragmentSpan = kMediaClockHz;  // one second
    enum class Outcome { kWritten, kSkipped, kDropped, kFailed };

    CameraRecorder(RecordingsStore& store, uint32_t channel, int64_t segmentNs);
    ~CameraRecorder();
    CameraRecorder(const CameraRecorder&) = delete;
    CameraRecorder& operator=(const CameraRecorder&) = delete;

    // Names the segments that start from now on.
    void SetName(const std::string& name);

    Outcome Add(const MediaFrame& frame, bool audio, bool sync, const uint8_t* data, std::size_t size,
                Clock::time_point now);
    // Cuts a fragment that has waited a second; false on a failed write.
    bool Tick(Clock::time_point now);
    // Makes the fragments cut since the last call durable and moves the
    // segment's row up to them; false on failure.
    bool Sync();
    // Ends the open segment.
    void Close();

    const std::string& error() const { return error_; }
    int errorCode() const { return errorCode_; }            // errno of the last failure
    bool diskFull() const { return errorCode_ == ENOSPC; }  // the last failure
    uint64_t segmentsStarted() const { return segmentsStarted_; }
    bool recording() const { return file_ != nullptr; }

private:
    bool Start(const MediaFrame& frame, const std::string& parameterSets);
    bool MakeDirectory(const std::string& path);
    bool SyncDirectory(const std::string& path);
    bool Cut();
    void End();
    Outcome Fail();
    // Not after the segment's last frame of its kind in decode order: it
    // cannot follow it in the file, and the muxer would fail the whole fragment.
    bool Behind(bool audio, uint64_t decodeTime) const { return lastTime_[audio] && decodeTime <= *lastTime_[audio]; }

    RecordingsStore& store_;
    uint32_t channel_;
    int64_t segmentNs_;
    std::string name_;

    std::unique_ptr<Fmp4File> file_;
    SegmentRow row_;                       // of the open segment, to its last frame added
    SegmentRow cutRow_;                    // ... to its last fragment written
    SegmentRow durableRow_;                // ... to its last fragment made durable: what the store has
    std::string parameterSets_;            // of the open segment
    std::string audioTrack_;               // its AAC configuration; empty: no sound track
    int64_t boundary_ = 0;                 // wall-clock period of the open segment
    uint64_t fragmentStart_ = 0;           // decode time of the fragment's first frame
    Clock::time_point fragmentStartedAt_;  // when it came
    bool dirty_ = false;                   // cut since the last Sync
    std::optional<uint64_t> lastTime_[2];  // decode time of the segment's last video and audio frame

    TrackSetup nextAudio_;  // the AAC configuration last seen
    uint64_t segmentsStarted_ = 0;
    std::string error_;
    int errorCode_ = 0;
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDER_CAMERA_RECORDER_H
