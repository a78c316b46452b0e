// The camera's time model with time moved by the test: runs, steering, steps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

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

}  // namespace
