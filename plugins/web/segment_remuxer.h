// Playback from the recordings: the video (and the sound, while it is the
// first file's kind) of a camera's segment files from a start time to an end time, read with libavformat and handed to an
// Mp4Output as one stream whose decode times run on without a jump across
// segments and across the gaps between them (the gaps are left out; the
// caller learns where they were from the segments' times).
//
// The stream starts at the sync frame at or before the start; firstFrameNs()
// tells its wall time and firstFrameTime() where the stream presents it, so
// that a player can present from the start itself.
// Stops early, as done, at a segment whose picture differs from the first
// (another size or codec: a new stream would be needed).
//
// One thread at a time (the plugin's media thread); failures are sticky.
#ifndef DVRCORE_WEB_SEGMENT_REMUXER_H
#define DVRCORE_WEB_SEGMENT_REMUXER_H

#include <cstdint>
#include <string>
#include <vector>

#include "mp4_output.h"
#include "track_parameters.h"

struct AVFormatContext;
struct AVPacket;

namespace dvrweb {

struct SegmentFile {
    std::string path;  // from the index, under the recordings root
    int64_t startNs = 0;
    int64_t endNs = 0;
};

class SegmentRemuxer {
public:
    // `files` oldest first, overlapping [startNs, endNs).
    SegmentRemuxer(std::vector<SegmentFile> files, int64_t startNs, int64_t endNs);
    ~SegmentRemuxer();
    SegmentRemuxer(const SegmentRemuxer&) = delete;
    SegmentRemuxer& operator=(const SegmentRemuxer&) = delete;

    // Opens the first file and finds the sync frame; false with error().
    bool Open();
    const AVCodecParameters& video() const;
    const AVCodecParameters* audio() const { return firstAudio_.get(); }  // null: no sound
    int64_t firstFrameNs() const { return firstFrameNs_; }
    // Seconds into the stream: after 0 when the first frame is shown later
    // than it is decoded.
    double firstFrameTime() const { return firstFrameTime_; }

    // Writes frames to `output` until it holds about `bytes` or the end came;
    // fragmented output is cut before each sync frame and at the return.
    bool Step(Mp4Output& output, std::size_t bytes, bool fragmented);
    bool done() const { return done_; }
    const std::string& error() const { return error_; }

private:
    struct SyncFrame {
        bool read = false;
        int64_t pts = 0;  // in the open file's time base
        int64_t dts = 0;
    };

    bool OpenFile(std::size_t index);
    // The next sync frame of the open file's video.
    SyncFrame ReadSyncFrame();
    // Bytes written: 0 when the packet lies outside what is played.
    std::size_t WriteSound(Mp4Output& output, AVPacket& packet);
    void CloseFile();
    bool Fail(const std::string& what);

    std::vector<SegmentFile> files_;
    int64_t startNs_;
    int64_t endNs_;
    std::size_t current_ = 0;
    AVFormatContext* input_ = nullptr;
    dvrexample::TrackParameters first_;  // the stream's picture
    dvrexample::TrackParameters firstAudio_;
    int videoIndex_ = -1;
    int audioIndex_ = -1;
    int64_t fileFirstDts_ = 0;     // first shown time of the open file (its start), in its time base
    int64_t fileDecodeStart_ = 0;  // decode time of its first frame read: a run's files continue the run's
    int64_t fileOffset_ = 0;       // output time of that decode time, 90 kHz
    int64_t nextTime_ = 0;         // output time after the last frame written
    int64_t shownEnd_ = 0;         // output time after the latest frame shown
    int64_t lastSoundTime_ = INT64_MIN;
    int64_t firstFrameNs_ = 0;
    double firstFrameTime_ = 0;
    bool started_ = false;         // the first sync frame was written
    bool done_ = false;
    std::string error_;
};

}  // namespace dvrweb

#endif  // DVRCORE_WEB_SEGMENT_REMUXER_H
