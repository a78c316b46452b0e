// Broadcast deliveries, the handle gate and reader back-pressure.
#include <gtest/gtest.h>

#include "event_test_core.h"

using namespace eventtest;

namespace {

constexpr uint32_t kReader = 0x10000;
constexpr uint32_t kKeeper = 0x20000;

_EventParmsIn Reply(void* handle, const char* text = nullptr)
{
    return Event(kReader, EVT_STATUS, 0, text, text != nullptr ? 4 : 0, handle);
}

TEST(EventHandleGate, RepliesPassOnlyFromALiveDeliveryOfAnUncancelledHandle)
{
    FakePlugin reader;
    std::mutex mutex;
    std::vector<int> results;
    std::atomic<int> reads{0};
    int request = 0;
    void* handle = &request;
    TestCore core;
    AddPlugin(core, 0, reader, {kReader, 0xFFFFFFFFu, false, true});
    EXPECT_EQ(RESULT_REFUSED, core.Raise(Reply(handle, "abc")));  // not a delivery thread

    reader.onRead = [&](const ReadParms& parms) {
        if (reads == 0) {
            EXPECT_EQ(RESULT_OK, core.Raise(Event(0, EVT_CANCEL_HANDLE, 0, nullptr, 0, parms.handle)));
        }
        const int withPayload = core.Raise(Reply(parms.handle, "abc"));
        const int without = core.Raise(Reply(parms.handle));
        std::lock_guard<std::mutex> lock(mutex);
        results.insert(results.end(), {withPayload, without});
        ++reads;
    };
    const char request1[] = "find";
    EXPECT_EQ(RESULT_OK, core.Raise(Broadcast(handle, 0, request1, sizeof request1)));
    ASSERT_TRUE(WaitUntil([&] { return reads == 1; }));
    // A new request with the cancelled handle makes it live again.
    EXPECT_EQ(RESULT_OK, core.Raise(Broadcast(handle)));
    ASSERT_TRUE(WaitUntil([&] { return reads == 2; }));

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ((std::vector<int>{RESULT_REFUSED, RESULT_REFUSED, RESULT_OK, RESULT_OK}), results);
    EXPECT_EQ(2u, core.QueueLength());
    const auto calls = reader.Reads();
    EXPECT_EQ("find", std::string(calls.at(0).payload.c_str()));
    EXPECT_EQ(handle, calls.at(0).parms.handle);
    EXPECT_EQ(1, calls.at(0).parms.one);
}

TEST(EventHandleGate, SecondReplyWaitsUntilEveryOwnerReleasedTheFirst)
{
    FakePlugin reader, keeper;
    std::atomic<void*> kept{nullptr};
    std::atomic<bool> released{false};
    std::atomic<bool> secondReturned{false};
    std::atomic<bool> returnedAfterRelease{false};
    int request = 0;
    TestCore core;
    AddPlugin(core, 0, reader, {kReader, 0xFFFFFFFFu, false, true});
    AddPlugin(core, 1, keeper, {kKeeper});
    keeper.onWrite = [&](const WriteParms& parms, WriteResult& result) {
        if (kept == nullptr) {
            kept = parms.data;
            result.keep = 1;
        }
        return 0;
    };
    reader.onRead = [&](const ReadParms& parms) {
        EXPECT_EQ(RESULT_OK, core.Raise(Reply(parms.handle, "one")));
        EXPECT_EQ(RESULT_OK, core.Raise(Reply(parms.handle, "two")));
        returnedAfterRelease = released.load();
        secondReturned = true;
    };
    DispatcherThread dispatcher(core);
    core.Raise(Broadcast(&request));
    ASSERT_TRUE(WaitUntil([&] { return kept != nullptr; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(secondReturned);  // the dispatcher is done with it, the keeper is not

    released = true;
    core.Raise(Release(kept, kKeeper));
    ASSERT_TRUE(WaitUntil([&] { return secondReturned.load(); }));
    EXPECT_TRUE(returnedAfterRelease);
}

TEST(EventHandleGate, StopRequestWakesAndRefusesAReplyWaitingForItsPreviousPayload)
{
    FakePlugin reader, keeper;
    std::atomic<void*> kept{nullptr};
    std::atomic<int> second{-100};
    int request = 0;
    TestCore core;
    AddPlugin(core, 0, reader, {kReader, 0xFFFFFFFFu, false, true});
    AddPlugin(core, 1, keeper, {kKeeper});
    keeper.onWrite = [&](const WriteParms& parms, WriteResult& result) {
        kept = parms.data;
        result.keep = 1;
        return 0;
    };
    reader.onRead = [&](const ReadParms& parms) {
        core.Raise(Reply(parms.handle, "one"));
        second = core.Raise(Reply(parms.handle, "two"));  // waits: the keeper holds "one"
    };
    {
        DispatcherThread dispatcher(core);
        core.Raise(Broadcast(&request));
        ASSERT_TRUE(WaitUntil([&] { return kept != nullptr; }));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(-100, second);
    }  // the stop request, and the dispatcher's end

    // No shutdown step has run: the stop request alone ends the wait (a
    // reader's Close waiting for its Read would otherwise hang the stop).
    EXPECT_TRUE(WaitUntil([&] { return second != -100; }, 5s));
    EXPECT_EQ(RESULT_REFUSED, second);
    core.Raise(Release(kept, kKeeper));
    EXPECT_EQ(0u, core.refBlocks.BlockCount());
}

TEST(EventBroadcast, StopWaitsForAReadStillRunningAndStartsNoMore)
{
    FakePlugin reader;
    std::atomic<bool> entered{false}, finish{false};
    std::atomic<bool> readReturned{false};
    std::atomic<int> lateReply{-1};
    TestCore core;
    AddPlugin(core, 0, reader, {kReader, 0xFFFFFFFFu, false, true});
    reader.onRead = [&](const ReadParms& parms) {
        entered = true;
        WaitUntil([&] { return finish.load(); });
        // Closing the deliveries refuses replies, but the core is still whole.
        lateReply = core.Raise(Reply(parms.handle, "late"));
        readReturned = true;
    };
    int request = 0;
    const char payload[] = "scan";
    ASSERT_EQ(RESULT_OK, core.Raise(Broadcast(&request, 0, payload, sizeof payload)));
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));

    TestThread stopper("stop", [&] {
        core.Drain();
        core.StopDeliveries();
    });
    EXPECT_FALSE(stopper.Ended(200ms));
    EXPECT_FALSE(readReturned);
    finish = true;
    stopper.Join();
    EXPECT_TRUE(readReturned);
    EXPECT_EQ(RESULT_REFUSED, lateReply);

    EXPECT_EQ(RESULT_OK, core.Raise(Broadcast(&request)));
    EXPECT_EQ(1u, reader.Reads().size());
}

}  // namespace
