// Frame runs and throttling, through the event entry.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "event_test_core.h"
#include "frame_gate.h"

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

TEST(EventFrameGate, RunsAreCountedExactlyAcrossThreadsAndNeverOutliveTheirGate)
{
    // Four raisers share one provider's run: whatever the interleaving, the
    // run admits its sync frame and 764 more.
    FrameGate gate;
    ASSERT_EQ(RESULT_OK, gate.Admit(kCamera, EVT_VIDEO, 1, false));
    std::atomic<int> admitted{0};
    std::vector<std::thread> raisers;
    for (int t = 0; t < 4; ++t) {
        raisers.emplace_back([&] {
            for (int i = 0; i < 400; ++i) {
                const int verdict = gate.Admit(kCamera, EVT_VIDEO, 0, false);
                if (verdict == RESULT_OK) {
                    ++admitted;
                } else {
                    EXPECT_EQ(RESULT_FRAME_LIMIT, verdict);
                }
            }
        });
    }
    for (auto& raiser : raisers) {
        raiser.join();
    }
    EXPECT_EQ(764, admitted.load());

    // A gate built where an earlier one was starts without runs, even for a
    // thread that raised through the earlier one just before.
    for (int round = 0; round < 3; ++round) {
        auto first = std::make_unique<FrameGate>();
        EXPECT_EQ(RESULT_OK, first->Admit(kOther, EVT_VIDEO, 1, false));
        first.reset();
        auto second = std::make_unique<FrameGate>();
        EXPECT_EQ(RESULT_NO_SYNC_FRAME, second->Admit(kOther, EVT_VIDEO, 0, false));
    }
}
