// The camera's time model with time moved by the test: runs, steering, steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "media_clock.h"

namespace {

using dvrcamera::FrameTime;
using dvrcamera::MediaClock;
using dvrcamera::StreamTimeline;

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kFrameNs = kSecond / 25;
constexpr int64_t kFrameTicks = 3600;
constexpr int64_t kEpoch = int64_t{1'700'000'000} * kSecond;  // system clock at monotonic 0

TEST(MediaClock, SteersADriftingCameraClockSmoothlyAndStartsRunsAtGapsAndClockSteps)
{
    MediaClock clock;
    StreamTimeline video;
    // A camera whose clock runs 200 ppm slow: its 40 ms frames take 40.008 ms
    // of real time; arrivals jitter by up to 3 ms.
    int64_t mono = 10 * kSecond;
    int64_t pts = 123456;
    FrameTime previous = clock.Place(video, pts, kEpoch + mono, mono, true);
    int64_t previousMono = mono;
    EXPECT_EQ(1u, previous.run);
    EXPECT_EQ(0u, previous.mediaTime);
    EXPECT_EQ(kEpoch + mono, previous.wallTimeNs) << "the first frame anchors the run";
    for (int frame = 1; frame < 25 * 600; ++frame) {  // ten minutes
        pts += kFrameTicks;
        const int64_t arrival = 10 * kSecond + frame * (kFrameNs + kFrameNs / 5000);
        mono = arrival + (frame * 7919 % 7) * 500'000 - 1'500'000;
        const FrameTime time = clock.Place(video, pts, kEpoch + mono, mono, true);
        ASSERT_EQ(1u, time.run);
        ASSERT_EQ(previous.mediaTime + kFrameTicks, time.mediaTime) << "media time is the camera's own";
        // Wall time moves by the frame's 40 ms, steered by at most the
        // slew rate over the real time between the arrivals.
        const int64_t slew = (mono - previousMono) * MediaClock::kSlewPpm / 1'000'000;
        const int64_t step = time.wallTimeNs - previous.wallTimeNs;
        ASSERT_GE(step, kFrameNs - slew - 1) << frame;
        ASSERT_LE(step, kFrameNs + slew + 1) << frame;
        previous = time;
        previousMono = mono;
    }
    // After ten minutes the 120 ms of drift are followed to a few milliseconds.
    EXPECT_LT(std::llabs(kEpoch + (10 * kSecond + (25 * 600 - 1) * (kFrameNs + kFrameNs / 5000)) - previous.wallTimeNs),
              10'000'000);

    // The camera resets its RTP clock: media time goes on with real time.
    mono += kFrameNs;
    FrameTime time = clock.Place(video, 5, kEpoch + mono, mono, true);
    EXPECT_EQ(1u, time.run);
    EXPECT_NEAR(static_cast<double>(previous.mediaTime + kFrameTicks), static_cast<double>(time.mediaTime), 10.0);

    // Three seconds without a frame: a new run.
    mono += 3 * kSecond;
    time = clock.Place(video, 5 + 3 * 90000, kEpoch + mono, mono, true);
    EXPECT_EQ(2u, time.run);
    EXPECT_EQ(0u, time.mediaTime);

    // The system clock steps five seconds back: a new run anchored on it.
    mono += kFrameNs;
    time = clock.Place(video, 5 + 3 * 90000 + kFrameTicks, kEpoch - 5 * kSecond + mono, mono, true);
    EXPECT_EQ(3u, time.run);
    EXPECT_EQ(kEpoch - 5 * kSecond + mono, time.wallTimeNs);

    // Audio on the same run, placed by its arrival, steering nothing.
    StreamTimeline audio;
    const FrameTime sound = clock.Place(audio, 777, kEpoch - 5 * kSecond + mono + 20'000'000, mono + 20'000'000, false);
    EXPECT_EQ(3u, sound.run);
    EXPECT_EQ(1800u, sound.mediaTime);
    EXPECT_EQ(0, clock.correctionNs());

    // A reconnection breaks the run explicitly.
    clock.Break();
    mono += kFrameNs;
    EXPECT_EQ(4u, clock.Place(video, 0, kEpoch - 5 * kSecond + mono, mono, true).run);
}

// A year of one camera, a frame every 1.6 s (the clock treats every frame
// alike, so sparse frames stand for 25 a second): its 32-bit RTP timestamps
// wrap every 13.25 h, its clock runs 100 ppm slow, the system clock is slewed
// by NTP, steps once, and the camera restarts its timestamps once.
TEST(MediaClock, AYearOfStreamingStaysContinuousAndOnTheWallClock)
{
    constexpr int64_t kStepTicks = 144000;                       // 1.6 s of media
    constexpr int64_t kStepRealNs = 1'600'160'000;               // ... 100 ppm longer in real time
    constexpr int64_t kYearSteps = 365LL * 24 * 3600 * 10 / 16;  // frames in a year
    constexpr int64_t kSlewAt = kYearSteps / 4;                  // NTP slews the clock 400 ms ahead
    constexpr int64_t kSlewSteps = 2000;                         // ... over 53 minutes
    constexpr int64_t kStepAt = kYearSteps / 2;                  // the system clock steps 30 s back
    constexpr int64_t kRestartAt = kYearSteps * 3 / 4;           // the camera restarts its timestamps
    uint32_t runs = 41;
    MediaClock clock([&runs] { return ++runs; });  // as the channel's run numbers after a restart
    StreamTimeline video;
    uint32_t rtp = 0xFFF00000u;  // wraps within the first minutes
    int64_t mono = 5 * kSecond;
    int64_t systemOffset = kEpoch;
    FrameTime previous = clock.Place(video, rtp, systemOffset + mono, mono, true);
    ASSERT_EQ(42u, previous.run);
    int64_t wraps = 0;
    int64_t worstLagNs = 0;  // of wall time behind the system clock, in the last month
    int64_t bridges = 0;
    for (int64_t frame = 1; frame < kYearSteps; ++frame) {
        const uint32_t last = rtp;
        rtp = frame == kRestartAt ? 12345u : rtp + static_cast<uint32_t>(kStepTicks);
        wraps += rtp < last && frame != kRestartAt ? 1 : 0;
        mono += kStepRealNs + (frame * 7919 % 11) * 1'000'000 - 5'000'000;  // 5 ms of jitter
        if (frame >= kSlewAt && frame < kSlewAt + kSlewSteps) {
            systemOffset += 200'000;
        }
        if (frame == kStepAt) {
            systemOffset -= 30 * kSecond;
        }
        const FrameTime time = clock.Place(video, rtp, systemOffset + mono, mono, true);
        bridges += time.bridged ? 1 : 0;
        if (frame == kStepAt) {
            ASSERT_EQ(previous.run + 1, time.run) << "the step starts a new run";
            ASSERT_EQ(0u, time.mediaTime);
            ASSERT_EQ(systemOffset + mono, time.wallTimeNs) << "anchored on the stepped clock";
            previous = time;
            continue;
        }
        if (time.run != previous.run || time.mediaTime <= previous.mediaTime ||
            (frame != kRestartAt && time.mediaTime != previous.mediaTime + kStepTicks)) {
            FAIL() << "frame " << frame << ": run " << time.run << " media " << time.mediaTime << " after run "
                   << previous.run << " media " << previous.mediaTime;
        }
        // Wall time never jumps: the frame's 1.6 s, steered by at most the slew rate.
        const int64_t step = time.wallTimeNs - previous.wallTimeNs;
        const int64_t slew = 2 * kStepRealNs * MediaClock::kSlewPpm / 1'000'000;
        if (frame != kRestartAt && std::llabs(step - kStepTicks * kSecond / 90000) > slew) {
            FAIL() << "frame " << frame << ": wall time moved " << step << " ns";
        }
        if (frame > kYearSteps - kYearSteps / 12) {
            worstLagNs = std::max<int64_t>(worstLagNs, std::llabs(systemOffset + mono - time.wallTimeNs));
        }
        previous = time;
    }
    EXPECT_GT(wraps, 600) << "the RTP clock wrapped every 13.25 h";
    EXPECT_EQ(1, bridges) << "only the restart is bridged, never a wrap";
    EXPECT_EQ(43u, previous.run) << "one new run, at the step";
    EXPECT_GT(previous.mediaTime, uint64_t{180} * 24 * 3600 * 90000) << "half a year in one run";
    // After half a year in one run (28.5 h would overflow 64-bit nanoseconds
    // times ticks), wall time still follows the system clock closely.
    EXPECT_LT(worstLagNs, 20'000'000);
    EXPECT_EQ(int64_t{365} * 24 * 3600 * kSecond, dvrcamera::TicksToNs(int64_t{365} * 24 * 3600 * 90000));
    EXPECT_EQ(int64_t{365} * 24 * 3600 * 90000, dvrcamera::NsToTicks(int64_t{365} * 24 * 3600 * kSecond));
}

// A camera whose first run started on a frame that a loaded host delayed by
// 300 ms, so that run's wall times stay 300 ms late, and whose frames are
// shown 160 ms after they are decoded (a stream without reordering). Its
// channel is replaced (reconfiguration) and the new clock's first frame,
// which comes without a timestamp and is shown when decoded, arrives 100 ms
// after the last one: the new run starts after the last frame was shown, not
// 360 ms before. A step of the system clock back by more than kStepNs is
// still followed.
TEST(MediaClock, ARunOfAReplacedChannelStartsAfterTheCamerasLastFrameWasShown)
{
    constexpr int64_t kShownLaterNs = 160'000'000;
    auto newest = std::make_shared<dvrcamera::NewestWall>(0);
    MediaClock first({}, newest);
    StreamTimeline video;
    int64_t mono = 10 * kSecond;
    FrameTime last = first.Place(video, 0, kEpoch + mono + 300'000'000, mono + 300'000'000, true);
    for (int frame = 1; frame < 25 * 8; ++frame) {
        mono += kFrameNs;
        last = first.Place(video, frame * kFrameTicks, kEpoch + mono, mono, true);
        first.Shown(last.wallTimeNs + kShownLaterNs);
    }
    EXPECT_GT(last.wallTimeNs, kEpoch + mono + 250'000'000) << "the late start stays in the run's wall times";

    MediaClock second({}, newest);
    StreamTimeline replaced;
    mono += 100'000'000;
    const FrameTime next = second.Place(replaced, 777, kEpoch + mono, mono, true);
    EXPECT_GT(next.wallTimeNs, last.wallTimeNs + kShownLaterNs) << "runs of a camera never overlap";
    EXPECT_LT(next.wallTimeNs, last.wallTimeNs + kShownLaterNs + kFrameNs);

    MediaClock third({}, newest);
    StreamTimeline stepped;
    mono += kFrameNs;
    EXPECT_EQ(kEpoch - 5 * kSecond + mono, third.Place(stepped, 0, kEpoch - 5 * kSecond + mono, mono, true).wallTimeNs)
        << "a step back of the system clock is followed";
}

}  // namespace
