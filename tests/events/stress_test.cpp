// Producers, broadcasts with replies, kept blocks and releases, all at once.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "event_test_core.h"

using namespace eventtest;

namespace {

constexpr uint32_t kProducers = 4;
constexpr uint32_t kEventsEach = 1500;
constexpr int kBroadcasts = 60;
constexpr uint32_t kRepliesEach = 3;
constexpr uint32_t kReaderId = 0x50000;
constexpr uint32_t kKeeperId = 0x70000;

// The payload of every event: who raised it, and its number from that raiser.
struct Stamp {
    uint32_t source;
    uint32_t seq;
};
using Sequences = std::map<uint32_t, std::vector<uint32_t>>;

TEST(EventStress, EveryAdmittedEventIsDeliveredOnceInOrderAndNoBlockIsLeft)
{
    FakePlugin reader, collector, keeper;
    std::mutex mutex;
    Sequences admitted;      // guarded by mutex
    std::deque<void*> kept;  // guarded by mutex
    std::atomic<uint32_t> nextReadSource{kProducers};
    std::atomic<int> readsDone{0};
    std::atomic<bool> stopReleasing{false};
    char handles[kBroadcasts] = {};
    TestCore core;
    AddPlugin(core, 0, reader, {kReaderId, 0xFFFFFFFFu, false, true});
    AddPlugin(core, 1, collector, {0x60000});
    AddPlugin(core, 2, keeper, {kKeeperId});

    auto raiseStamped = [&](uint32_t provider, uint32_t source, uint32_t seq, void* handle) {
        const Stamp stamp{source, seq};
        if (core.Raise(Event(provider, EVT_STATUS, 0, &stamp, sizeof stamp, handle)) == RESULT_OK) {
            std::lock_guard<std::mutex> lock(mutex);
            admitted[source].push_back(seq);
        }
    };
    reader.onRead = [&](const ReadParms& parms) {
        const uint32_t source = nextReadSource++;
        for (uint32_t seq = 0; seq < kRepliesEach; ++seq) {
            raiseStamped(kReaderId, source, seq, parms.handle);
        }
        ++readsDone;
    };
    int writes = 0;  // dispatcher thread only
    keeper.onWrite = [&](const WriteParms& parms, WriteResult& result) {
        if (++writes % 3 == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            kept.push_back(parms.data);
            result.keep = 1;
        }
        return 0;
    };

    DispatcherThread dispatcher(core);
    TestThread releaser("releaser", [&] {
        for (;;) {
            void* block = nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!kept.empty()) {
                    block = kept.front();
                    kept.pop_front();
                }
            }
            if (block != nullptr) {
                core.Raise(Release(block, kKeeperId));
            } else if (stopReleasing) {
                return;
            } else {
                std::this_thread::sleep_for(100us);
            }
        }
    });
    {
        std::vector<std::unique_ptr<TestThread>> raisers;
        for (uint32_t source = 0; source < kProducers; ++source) {
            raisers.push_back(std::make_unique<TestThread>("producer", [&, source] {
                for (uint32_t seq = 0; seq < kEventsEach; ++seq) {
                    raiseStamped(0x10000 * (source + 1), source, seq, nullptr);
                }
            }));
        }
        raisers.push_back(std::make_unique<TestThread>("broadcaster", [&] {
            for (int i = 0; i < kBroadcasts; ++i) {
                core.Raise(Broadcast(&handles[i]));
                if (i % 4 == 3) {
                    core.Raise(Event(0, EVT_CANCEL_HANDLE, 0, nullptr, 0, &handles[i - 1]));
                }
            }
        }));
    }
    ASSERT_TRUE(WaitUntil([&] { return readsDone == kBroadcasts; }));
    dispatcher.Stop();
    stopReleasing = true;
    releaser.Join();

    Sequences delivered;
    for (const auto& call : collector.Writes()) {
        ASSERT_EQ(sizeof(Stamp), call.payload.size());
        Stamp stamp{};
        std::memcpy(&stamp, call.payload.data(), sizeof stamp);
        delivered[stamp.source].push_back(stamp.seq);
    }
    std::lock_guard<std::mutex> lock(mutex);
    // Readers whose handle was cancelled early have no admitted reply at all.
    EXPECT_LT(kProducers, admitted.size());
    EXPECT_EQ(admitted, delivered);
    EXPECT_EQ(0u, core.refBlocks.BlockCount());
    EXPECT_EQ(0u, core.refBlocks.ByteCount());
}

}  // namespace
