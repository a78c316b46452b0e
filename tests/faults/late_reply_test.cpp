// A reply held back by reader back-pressure that goes on only after the
// dispatcher delivered its last event: it must be refused, not queued where
// nothing delivers it any more.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "event_test_core.h"

namespace {

using namespace eventtest;

constexpr uint32_t kKeeperId = 0x00050000;
constexpr uint32_t kReaderId = 0x00060000;

TEST(LateReply, ReplyLetThroughAfterTheLastDispatchIsRefused)
{
    TestCore core;
    FakePlugin keeper;
    FakePlugin reader;
    std::atomic<void*> kept{nullptr};
    std::atomic<int> secondReply{-100};
    std::atomic<bool> readDone{false};
    keeper.onWrite = [&](const WriteParms& parms, WriteResult& result) {
        if (parms.data != nullptr) {
            kept = parms.data;
            result.keep = 1;
        }
        return 0;
    };
    reader.onRead = [&](const ReadParms& parms) {
        std::vector<char> reply(32, 'r');
        core.Raise(Event(kReaderId, EVT_STATUS, 0, reply.data(), 32, parms.handle));
        // Waits until the keeper gives the first reply back.
        secondReply = core.Raise(Event(kReaderId, EVT_STATUS, 0, reply.data(), 32, parms.handle));
        readDone = true;
    };
    AddPlugin(core, 0, keeper, {kKeeperId, 0xFFFFFFFFu, true, false, "keeper.so"});
    AddPlugin(core, 1, reader, {kReaderId, 0xFFFFFFFFu, false, true, "reader.so"});

    auto dispatcher = std::make_unique<DispatcherThread>(core);
    char handle = 0;
    ASSERT_EQ(core.Raise(Broadcast(&handle)), RESULT_OK);
    ASSERT_TRUE(WaitUntil([&] { return kept.load() != nullptr; }));
    // Time for the second reply to reach the back-pressure wait; if it has
    // not, it meets the stop at once and the test proves less, not wrongly.
    std::this_thread::sleep_for(50ms);
    dispatcher.reset();  // stop requested, queue drained, dispatcher gone

    core.Raise(Release(kept, kKeeperId));
    ASSERT_TRUE(WaitUntil([&] { return readDone.load(); }));
    EXPECT_EQ(secondReply.load(), RESULT_REFUSED);
    EXPECT_EQ(core.QueueLength(), 0u);
    EXPECT_EQ(core.refBlocks.BlockCount(), 0u);
}

}  // namespace
