// The time model of one camera: media time from the stream's RTP clock, wall
// time from one anchor per run, steered gently towards the system clock.
//
// A run begins with the first frame after Break() (a (re)connection, a new
// picture size), after a gap of more than kGapNs without frames, or when the
// system clock steps (its offset to the monotonic clock moves by more than
// kStepNs). Within a run, media time advances by the stream's timestamp
// differences; a timestamp jump that real time does not show (a camera that
// resets its RTP clock, RTCP resynchronisation) is bridged with the real time
// that passed, so media time stays continuous. Wall time is the run's anchor
// (the system clock at the first frame) plus media time plus a correction
// that follows the measured drift at most kSlewPpm, so wall times never jump
// and never run backwards within a run.
//
// Timestamps are decode timestamps: frames come in decode order, so media
// time here is the decode time and rises with every frame of a stream; a
// timestamp that does not (one that repeats or steps back) is bridged like a
// jump. A caller adds a frame's composition offset to get its presentation
// time. Conversions between ticks and nanoseconds are exact for any time a
// clock can reach (years of streaming), never a product that overflows.
//
// Run numbers come from the `nextRun` the clock is made with, so that they
// rise per camera across clocks (a replaced or restarted channel); without
// one they count from 1. Likewise a run starts after the newest time at
// which a frame of the camera is shown (`newestWall`, shared by the camera's
// clocks, raised through Shown()): a frame is shown its composition offset
// after it is decoded, except a connection's first (it comes without a
// timestamp, so nothing tells its offset), and a run's wall times are as late
// as its first frame arrived, which a loaded host delays; a reconnection
// faster than either could otherwise begin a run before the last one ended.
// A system clock step back of more than kStepNs is followed.
//
// Used by the camera's own thread only.
#ifndef DVRCORE_EXAMPLES_CAMERA_MEDIA_CLOCK_H
#define DVRCORE_EXAMPLES_CAMERA_MEDIA_CLOCK_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace dvrcamera {

// Media time of one stream (video or audio) of a camera.
struct StreamTimeline {
    bool started = false;
    uint32_t run = 0;     // the run the fields below belong to
    int64_t lastPts = 0;  // kMediaClockHz ticks, as the stream gave them
    int64_t lastMedia = 0;
    int64_t lastMonoNs = 0;
};

struct FrameTime {
    uint64_t mediaTime;  // kMediaClockHz ticks since the run's first frame
    int64_t wallTimeNs;
    uint32_t run;
    bool bridged;       // the timestamp jumped (or stood still): bridged with real time
    int64_t jumpTicks;  // ... by this much
};

// The newest wall time at which a frame of one camera is shown, in ns.
using NewestWall = std::atomic<int64_t>;

int64_t TicksToNs(int64_t ticks);
int64_t NsToTicks(int64_t ns);

class MediaClock {
public:
    static constexpr int64_t kGapNs = 2'000'000'000;
    static constexpr int64_t kStepNs = 1'000'000'000;
    static constexpr int64_t kJumpNs = 1'000'000'000;  // timestamp jumps bridged with real time
    static constexpr int64_t kSlewPpm = 500;
    static constexpr int64_t kRtpWrap = int64_t{1} << 32;

    explicit MediaClock(std::function<uint32_t()> nextRun = {},
                        std::shared_ptr<NewestWall> newestWall = std::make_shared<NewestWall>(0))
        : nextRun_(std::move(nextRun)), newestWall_(std::move(newestWall))
    {
    }

    // The next frame starts a new run.
    void Break() { broken_ = true; }

    // Places a frame with timestamp `pts` (kMediaClockHz ticks) that arrived
    // at `realNs` (system clock) and `monoNs` (monotonic clock). `steer`:
    // the frame's arrival time measures drift (video; audio only follows).
    FrameTime Place(StreamTimeline& stream, int64_t pts, int64_t realNs, int64_t monoNs, bool steer);

    // A frame placed in the current run is shown at `wallNs`.
    void Shown(int64_t wallNs);

    uint32_t run() const { return run_; }
    int64_t correctionNs() const { return correctionNs_; }

private:
    std::function<uint32_t()> nextRun_;
    std::shared_ptr<NewestWall> newestWall_;
    bool broken_ = true;
    uint32_t run_ = 0;
    int64_t anchorNs_ = 0;     // system clock at the run's first frame
    int64_t startMonoNs_ = 0;  // monotonic clock at the run's first frame
    int64_t offsetNs_ = 0;     // system minus monotonic clock at the run's start
    int64_t lastMonoNs_ = 0;   // the newest frame of any stream
    int64_t correctionNs_ = 0;
    int64_t smoothedErrorNs_ = 0;
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_MEDIA_CLOCK_H
