// The event queue: records stay where they are while more arrive.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "event_test_core.h"
#include "failing_allocations.h"

using namespace eventtest;

namespace {

_EventParmsIn Numbered(uint32_t number)
{
    _EventParmsIn in = Event(0x10000, EVT_STATUS);
    std::memcpy(in.opaque0, &number, sizeof number);
    return in;
}

// The number as the queue or a plugin sees it.
template <typename Record>
uint32_t NumberOf(const Record& record)
{
    uint32_t number = 0;
    std::memcpy(&number, record.opaque0, sizeof number);
    return number;
}

// A raiser holds queueMutex while it pushes: a push that moved the backlog
// would hold every other raiser up for the length of the copy.
TEST(EventQueue, PushingNeverMovesQueuedRecordsAndDeliversThemInOrder)
{
    constexpr uint32_t kBacklog = 20000;
    FakePlugin writer;
    TestCore core;
    AddPlugin(core, 0, writer, {0x20000});
    ASSERT_EQ(RESULT_OK, core.Raise(Numbered(0)));
    const QueuedEvent* first = &core.eventQueue.front();
    for (uint32_t i = 1; i < kBacklog; ++i) {
        ASSERT_EQ(RESULT_OK, core.Raise(Numbered(i)));
    }
    EXPECT_EQ(first, &core.eventQueue.front());
    EXPECT_EQ(0u, NumberOf(first->event));
    EXPECT_EQ(kBacklog - 1, NumberOf(core.eventQueue.back().event));

    core.Drain();
    const auto writes = writer.Writes();
    ASSERT_EQ(kBacklog, writes.size());
    for (uint32_t i = 0; i < kBacklog; ++i) {
        ASSERT_EQ(i, NumberOf(writes[i].parms)) << i;
    }
}

TEST(EventQueue, ClearedChunksServeTheNextPushesAndAFailedPushAddsNothing)
{
    constexpr std::size_t kRetained = EventQueue::kChunkRecords * EventQueue::kRetainedChunks;
    EventQueue queue;
    EventQueue batch;
    for (uint32_t i = 0; i < 3 * kRetained; ++i) {
        queue.push_back({Numbered(i), block_homes::kNoHome});
    }
    batch.swap(queue);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(3 * kRetained, batch.size());
    uint32_t expected = 0;
    for (const QueuedEvent& queued : batch) {
        ASSERT_EQ(expected++, NumberOf(queued.event));
    }
    batch.clear();
    batch.swap(queue);  // the dispatcher's next swap hands the kept chunks over

    FailingAllocations failing;
    for (uint32_t i = 0; i < kRetained; ++i) {
        queue.push_back({Numbered(i), block_homes::kNoHome});  // no allocation: would throw
    }
    bool thrown = false;
    try {
        queue.push_back({Numbered(0), block_homes::kNoHome});
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    EXPECT_TRUE(thrown);
    EXPECT_EQ(kRetained, queue.size());
    EXPECT_EQ(kRetained - 1, NumberOf(queue.back().event));
}

}  // namespace
