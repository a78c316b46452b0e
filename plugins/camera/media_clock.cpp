#include "media_clock.h"

#include <algorithm>
#include <cstdlib>

#include "camera_stream.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace dvrcamera {

int64_t TicksToNs(int64_t ticks)
{
    return av_rescale(ticks, 1'000'000'000, dvrexample::kMediaClockHz);
}

int64_t NsToTicks(int64_t ns)
{
    return av_rescale(ns, dvrexample::kMediaClockHz, 1'000'000'000);
}

FrameTime MediaClock::Place(StreamTimeline& stream, int64_t pts, int64_t realNs, int64_t monoNs, bool steer)
{
    const int64_t offset = realNs - monoNs;
    const bool gap = lastMonoNs_ != 0 && monoNs - lastMonoNs_ > kGapNs;
    const bool step = run_ != 0 && std::llabs(offset - offsetNs_) > kStepNs;
    if (broken_ || gap || step) {
        broken_ = false;
        run_ = nextRun_ ? nextRun_() : run_ + 1;
        anchorNs_ = realNs;
        const int64_t newest = newestWall_->load(std::memory_order_relaxed);
        if (newest >= realNs && newest - realNs <= kStepNs) {
            anchorNs_ = newest + 1;
        }
        startMonoNs_ = monoNs;
        offsetNs_ = offset;
        correctionNs_ = 0;
        smoothedErrorNs_ = 0;
    }
    lastMonoNs_ = monoNs;

    int64_t media;
    int64_t realDelta = 0;
    bool bridged = false;
    int64_t jump = 0;
    if (!stream.started || stream.run != run_) {
        // A stream's first frame in the run: where real time says it is.
        media = NsToTicks(monoNs - startMonoNs_);
    } else {
        int64_t delta = pts - stream.lastPts;
        if (delta < -kRtpWrap / 2 && pts >= 0 && stream.lastPts < kRtpWrap) {
            delta += kRtpWrap;  // a 32-bit RTP timestamp that wrapped (every 13.25 h at 90 kHz)
        }
        realDelta = monoNs - stream.lastMonoNs;
        if (delta <= 0 || std::llabs(TicksToNs(delta) - realDelta) > kJumpNs) {
            bridged = true;
            jump = delta;
            media = stream.lastMedia + std::max<int64_t>(NsToTicks(realDelta), 1);
        } else {
            media = stream.lastMedia + delta;
        }
    }
    media = std::max<int64_t>(media, 0);
    stream = {true, run_, pts, media, monoNs};

    const int64_t predicted = anchorNs_ + TicksToNs(media) + correctionNs_;
    if (steer) {
        // Arrival times jitter with the network: follow their average, and
        // move the correction no faster than kSlewPpm of the time that passed.
        smoothedErrorNs_ += (realNs - predicted - smoothedErrorNs_) / 32;
        const int64_t limit = std::max<int64_t>(realDelta, 0) * kSlewPpm / 1'000'000;
        const int64_t move = std::clamp(smoothedErrorNs_, -limit, limit);
        correctionNs_ += move;
        smoothedErrorNs_ -= move;
    }
    return {static_cast<uint64_t>(media), anchorNs_ + TicksToNs(media) + correctionNs_, run_, bridged, jump};
}

void MediaClock::Shown(int64_t wallNs)
{
    // A replaced channel's clock may still raise it while the new one starts.
    int64_t newest = newestWall_->load(std::memory_order_relaxed);
    while (wallNs > newest && !newestWall_->compare_exchange_weak(newest, wallNs, std::memory_order_relaxed)) {
    }
}

}  // namespace dvrcamera
