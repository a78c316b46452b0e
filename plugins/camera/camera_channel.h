// One RTSP camera: its own thread pulls the stream with FFmpeg's libraries
// (RTSP client, RTP depayloading, parsing; nothing is decoded) and raises
// every access unit as a frame event (camera_stream.h).
//
// The thread runs from construction until RequestStop() (or destruction, which
// joins it). Every blocking FFmpeg call is bounded: an interrupt callback ends
// it on stop, when connecting takes longer than kConnectSeconds, and when no
// picture arrived for the camera's silence time. A stream that ends, breaks or
// falls silent is reconnected after a capped exponential backoff with jitter
// (1 s doubling up to 30 s, back to 1 s after a healthy minute). Its loss is
// logged once, and so is its recovery, never each attempt.
//
// A packet whose first slice is not a picture's first belongs to the access
// unit before it: some cameras send a picture in parts (its slices, or
// parameter sets before a later slice), and the RTP depayloader hands them
// over as such.
//
// Held per camera: one access unit waiting for its successor (its duration is
// the difference of their timestamps), capped at kMaxUnitBytes, the parameter
// sets, and FFmpeg's buffers, bounded by the options set at connection.
#ifndef DVRCORE_EXAMPLES_CAMERA_CAMERA_CHANNEL_H
#define DVRCORE_EXAMPLES_CAMERA_CAMERA_CHANNEL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_config.h"
#include "camera_stream.h"
#include "camera_url.h"
#include "core_link.h"
#include "decode_times.h"
#include "media_clock.h"
#include "parameter_sets.h"

struct AVFormatContext;
struct AVPacket;

namespace dvrcamera {

class ParameterSets;

// How a camera's RTSP connection is read: the own reader (rtsp_ingest.h)
// with libavformat's RTSP client as the fallback, or either one alone.
enum class ReadPath { kAuto, kOwn, kLibavformat };

class CameraChannel {
public:
    static constexpr int kConnectSeconds = 10;
    static constexpr int kDefaultSilenceSeconds = 5;
    static constexpr std::size_t kMaxUnitBytes = 8u << 20;
    static constexpr int64_t kHealthyNs = 60'000'000'000;
    static constexpr int64_t kFirstDelayNs = 1'000'000'000;
    static constexpr int64_t kMaxDelayNs = 30'000'000'000;

    // `nextRun` numbers the camera's runs and `newestWall` holds the newest
    // wall time of its frames (media_clock.h), across its channels; called
    // on the camera's thread.
    CameraChannel(const dvrexample::CoreLink& link, const dvrexample::CameraConfig& config, ReadPath path,
                  std::function<uint32_t()> nextRun, std::shared_ptr<NewestWall> newestWall);
    ~CameraChannel();
    CameraChannel(const CameraChannel&) = delete;
    CameraChannel& operator=(const CameraChannel&) = delete;

    // Any thread: ends blocking calls and the backoff wait; the thread exits soon.
    void RequestStop();
    // Any thread: raises the camera's state event.
    void PublishState();

private:
    struct Session;  // one connection's FFmpeg handles and outcome
    struct Pending {
        std::vector<uint8_t> bytes;
        dvrexample::MediaFrame frame{};
        UnitScan scan;  // of every part of the unit
        bool sync = false;
        bool valid = false;
    };

    void Run();
    void Connect(Session& session);
    // Each leaves `session.input` open, or says why not in `session.failure`.
    void OpenOwn(Session& session);
    void OpenLibavformat(Session& session);
    // Logged once: this camera reads through libavformat from now on.
    void RefuseOwnReader(const std::string& reason);
    void Pull(Session& session);
    void OnVideo(Session& session, const AVPacket& packet);
    void OnAudio(Session& session, const AVPacket& packet);
    void AppendToPending(Session& session, const UnitScan& scan, const uint8_t* data, std::size_t size);
    void FlushPending(uint32_t estimate);
    void RaiseVideo(Pending& unit);
    int RaiseFrame(uint32_t type, const uint8_t* bytes, std::size_t size, bool sync,
                   const dvrexample::MediaFrame& frame);
    void SetStatus(dvrexample::CameraStatus status);
    void Log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    // False when stopped first.
    bool WaitFor(int64_t ns);
    static int Interrupt(void* self);

    const dvrexample::CoreLink& link_;
    const dvrexample::CameraConfig config_;
    const ReadPath path_;
    const dvrexample::CameraUrl url_;  // to connect to, and without credentials for the log
    const int64_t silenceNs_;

    std::atomic<bool> stop_{false};
    std::atomic<int64_t> deadlineNs_{0};  // monotonic; blocking calls end after it
    std::mutex mutex_;
    std::condition_variable wake_;
    dvrexample::CameraState state_{};  // guarded by mutex_

    // Camera thread only.
    MediaClock clock_;
    DecodeTimes decodeTimes_;
    StreamTimeline videoTimeline_;
    StreamTimeline audioTimeline_;
    uint32_t run_ = 0;       // the run whose frames are raised
    bool waitSync_ = true;   // drop video until the next sync frame
    bool recorded_ = false;  // this connection raised a frame
    bool lost_ = false;      // the stream was lost and has not recovered
    bool audioSkipLogged_ = false;
    bool untimedLogged_ = false;  // frames without a timestamp were logged this connection
    uint32_t jumpLoggedRun_ = 0;  // the run whose timestamp jump was logged
    bool ownRefused_ = false;  // the own reader could not take this camera
    uint32_t videoSequence_ = 0;
    uint32_t audioSequence_ = 0;
    uint32_t lastDuration_ = dvrexample::kMediaClockHz / 25;  // in decode order
    int64_t lastPts_ = 0;                                     // of the last video unit
    dvrexample::Codec lastCodec_ = dvrexample::Codec::kNone;  // of the last connection
    bool lastTimed_ = true;                                   // ... which had a timestamp
    Pending pending_;
    std::vector<uint8_t> completed_;  // a sync frame with its parameter sets

    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_CAMERA_CHANNEL_H
