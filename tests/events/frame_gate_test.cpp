// Frame runs and throttling, through the event entry.
#include <gtest/gtest.h>

#include "event_test_core.h"

using namespace eventtest;

namespace {

constexpr uint32_t kCamera = 0x10000;
constexpr uint32_t kOther = 0x20000;

int Frame(TestCore& core, uint32_t provider, uint32_t type, uint8_t sync = 0)
{
    _EventParmsIn frame = Event(provider, type, FLAG_FRAME);
    frame.syncFrame = sync;
    return core.Raise(frame);
}

TEST(EventFrameGate, VideoRunsStartAtASyncFrameAndHoldAtMost765Frames)
{
    TestCore core;
    EXPECT_EQ(RESULT_NO_SYNC_FRAME, Frame(core, kCamera, EVT_VIDEO));
    EXPECT_EQ(RESULT_OK, Frame(core, kCamera, EVT_VIDEO, 1));
    for (int i = 0; i < 764; ++i) {
        ASSERT_EQ(RESULT_OK, Frame(core, kCamera, EVT_VIDEO)) << "frame " << i;
    }
    EXPECT_EQ(RESULT_FRAME_LIMIT, Frame(core, kCamera, EVT_VIDEO));
    EXPECT_EQ(RESULT_FRAME_LIMIT, Frame(core, kCamera, EVT_VIDEO));
    EXPECT_EQ(RESULT_NO_SYNC_FRAME, Frame(core, kOther, EVT_VIDEO));  // runs are per provider
    EXPECT_EQ(RESULT_OK, Frame(core, kCamera, EVT_AUDIO));
    EXPECT_EQ(RESULT_OK, Frame(core, kCamera, EVT_VIDEO, 1));
    EXPECT_EQ(RESULT_OK, Frame(core, kCamera, EVT_VIDEO));
    EXPECT_EQ(RESULT_OK, core.Raise(Event(kOther, EVT_VIDEO)));  // no FLAG_FRAME: not a frame
    EXPECT_EQ(1u + 764 + 1 + 2 + 1, core.QueueLength());
}

TEST(EventFrameGate, ThrottlingDropsAndCountsEveryFrameAndBreaksTheRun)
{
    TestCore core;
    ASSERT_EQ(RESULT_OK, Frame(core, kCamera, EVT_VIDEO, 1));
    core.throttling = true;
    EXPECT_EQ(RESULT_THROTTLED, Frame(core, kCamera, EVT_VIDEO, 1));
    EXPECT_EQ(RESULT_THROTTLED, Frame(core, kCamera, EVT_AUDIO));
    EXPECT_EQ(RESULT_THROTTLED, Frame(core, kCamera, EVT_VIDEO | EVT_AUDIO));
    EXPECT_EQ(RESULT_OK, core.Raise(Event(kCamera, EVT_VIDEO | EVT_AUDIO)));
    const FrameGate::ThrottledCounts counts = core.frameGate.TakeThrottledFrames();
    EXPECT_EQ(2u, counts.video);
    EXPECT_EQ(2u, counts.audio);
    const FrameGate::ThrottledCounts reset = core.frameGate.TakeThrottledFrames();
    EXPECT_EQ(0u, reset.video + reset.audio);

    core.throttling = false;
    EXPECT_EQ(RESULT_NO_SYNC_FRAME, Frame(core, kCamera, EVT_VIDEO));
    EXPECT_EQ(RESULT_OK, Frame(core, kCamera, EVT_AUDIO));
    EXPECT_EQ(RESULT_OK, Frame(core, kCamera, EVT_VIDEO, 1));
    EXPECT_EQ(4u, core.QueueLength());
}

}  // namespace
