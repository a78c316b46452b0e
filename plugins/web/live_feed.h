// One camera's live stream for the browser: the camera's frames, as the core
// hands them to Write, muxed once into fragmented MP4 (one fragment per
// video frame, carrying the sound that came before it) and shared by every
// viewer of the camera. A viewer that joins gets
// the header and the fragments since the most recent sync frame, so that a
// picture shows at once.
//
// A camera nobody watches is not muxed: the feed only keeps the core's
// blocks of the frames since the last sync frame (no copy), and muxes them
// when the first viewer joins; the last one leaving stops the muxer.
//
// Network thread only. Fragments are immutable and shared (shared_ptr): a
// frame's bytes are copied once per camera into its fragment, and per viewer
// only into the socket.
#ifndef DVRCORE_WEB_LIVE_FEED_H
#define DVRCORE_WEB_LIVE_FEED_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera_stream.h"
#include "mp4_output.h"
#include "track_parameters.h"

namespace dvrweb {

struct LiveFragment {
    std::string bytes;
    bool sync = false;
    int64_t wallTimeNs = 0;  // of the frame
};
using FragmentPtr = std::shared_ptr<const LiveFragment>;

// What a feed tells a viewer; the viewer decides what to drop.
class LiveViewer {
public:
    virtual ~LiveViewer() = default;
    // A new stream: its MIME type, the wall time (UTC ms) of its time 0 and
    // its header; then fragments.
    virtual void OnStart(const std::string& mime, double epochMs, const FragmentPtr& header) = 0;
    virtual void OnFragment(const FragmentPtr& fragment) = 0;
};

class LiveFeed {
public:
    // Bytes of the group of pictures kept for viewers that join.
    static constexpr std::size_t kMaxCachedBytes = 16 << 20;

    // A video or sound frame of the camera in `block` (the core's, held
    // while the feed needs it). `afterLoss`: frames before it never came, so
    // wait for a sync frame.
    void OnFrame(const dvrexample::MediaFrame& frame, std::shared_ptr<const void> block, const uint8_t* data,
                 std::size_t size, bool sync, bool audio, bool afterLoss);

    void Attach(const std::shared_ptr<LiveViewer>& viewer);
    void Detach(const LiveViewer* viewer);
    const std::string& mime() const { return mime_; }  // empty before the first sync frame
    const std::string& error() const { return error_; }

private:
    struct Frame {
        dvrexample::MediaFrame frame;
        std::shared_ptr<const void> block;
        const uint8_t* data;
        std::size_t size;
        bool sync;  // a video sync frame
        bool audio;
        int64_t time;       // decode time in the feed, 90 kHz
        int64_t shownTime;  // presentation time in the feed
    };

    using Parameters = dvrexample::TrackParameters;

    void Mux(const Frame& frame);
    bool Write(const Frame& frame, int stream);
    // The stream's description: from a video sync frame and the parameter
    // sets in front of it; the sound track, null without sound.
    static Parameters VideoOf(const Frame& frame);
    Parameters AudioOf() const;
    bool Start(const Frame& frame);
    void Stop();
    bool Watched();  // forgets viewers that went away

    std::vector<std::weak_ptr<LiveViewer>> viewers_;
    std::vector<Frame> frames_;  // since the last sync frame
    std::size_t frameBytes_ = 0;
    std::unique_ptr<Mp4Output> output_;
    std::string mime_;
    double epochMs_ = 0;
    FragmentPtr header_;
    std::vector<FragmentPtr> groupOfPictures_;  // since the last sync frame
    std::size_t cachedBytes_ = 0;
    bool waitingForSync_ = true;  // of the camera's frames
    bool muxWaitsForSync_ = true;
    std::string audioConfig_;      // the AAC config last seen
    uint32_t sampleRate_ = 0;
    std::string describedAudio_;   // the config mime_ and the muxer's sound track describe
    int64_t muxBase_ = 0;                // feed time of the muxer's time 0
    int64_t lastAudioTime_ = INT64_MIN;  // feed time, of the muxer's sound track
    dvrexample::Codec codec_ = dvrexample::Codec::kNone;
    uint16_t width_ = 0;
    uint16_t height_ = 0;
    uint32_t run_ = 0;
    int64_t runOffset_ = 0;  // feed time minus decode time in this run
    int64_t nextTime_ = 0;   // feed decode time at the end of the last frame
    std::string error_;
};

}  // namespace dvrweb

#endif  // DVRCORE_WEB_LIVE_FEED_H
