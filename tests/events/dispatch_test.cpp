// The dispatcher, the match values and the event entry around a stop.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "event_match.h"
#include "event_test_core.h"
#include "failing_allocations.h"
#include "grouped_number.h"

using namespace eventtest;

namespace {

TEST(EventDispatch, DeliversInOrderToAcceptingWritersWithTheRecordUnchanged)
{
    FakePlugin a, silent, narrow, raiser;
    std::vector<char> order;
    TestCore core;
    AddPlugin(core, 0, a, {0x10000});
    AddPlugin(core, 1, silent, {0x20000, 0xFFFFFFFFu, false});
    AddPlugin(core, 2, narrow, {0x30000, 0});  // accepts only a match value of 0
    AddPlugin(core, 3, raiser, {0x40000});
    a.onWrite = [&](const WriteParms&, WriteResult&) { return order.push_back('a'), 0; };
    narrow.onWrite = [&](const WriteParms&, WriteResult&) { return order.push_back('n'), 0; };
    raiser.onWrite = [&](const WriteParms&, WriteResult&) { return order.push_back('r'), 0; };

    const char payload[] = "abc";
    _EventParmsIn full = Event(0x40000, 0x400, 0x5, payload, sizeof payload);
    for (std::size_t i = 0; i < sizeof full.opaque2; ++i) {
        full.opaque2[i] = static_cast<uint8_t>(i + 1);
    }
    full.opaque0[3] = 9;
    full.level = 77;
    full.syncFrame = 1;
    ASSERT_EQ(RESULT_OK, core.Raise(full));
    ASSERT_EQ(RESULT_OK, core.Raise(Event(0x40000, 0x800)));                   // no routable bit
    ASSERT_EQ(RESULT_OK, core.Raise(Event(0x40000, EVT_STATUS, 0, payload)));  // pointer without size
    core.Drain();

    EXPECT_EQ((std::vector<char>{'a', 'r', 'a', 'n', 'r'}), order);
    EXPECT_TRUE(silent.Writes().empty());
    const auto writes = raiser.Writes();
    ASSERT_EQ(2u, writes.size());
    const WriteParms& first = writes[0].parms;
    EXPECT_EQ(sizeof(WriteParms), first.size);
    EXPECT_EQ(1u, first.version);
    EXPECT_EQ(0, first.zero);
    EXPECT_EQ("abc", std::string(writes[0].payload.c_str()));
    _EventParmsIn expected = full;
    expected.data = first.data;  // the core's copy
    EXPECT_EQ(0, std::memcmp(&first.dataSize, &expected.dataSize, sizeof expected - offsetof(_EventParmsIn, dataSize)));
    EXPECT_EQ(nullptr, writes[1].parms.data);
    EXPECT_EQ(0u, writes[1].parms.dataSize);
    EXPECT_EQ(0u, core.refBlocks.BlockCount());
}

TEST(EventDispatch, FailedAndSlowWritesAreLogged)
{
    constexpr uint32_t kWriter = 0x10000;
    {
        FakePlugin w, missing;
        TestCore core;
        core.logLevels.Set(0, 0);
        AddPlugin(core, 0, w, {kWriter, 0xFFFFFFFFu, true, false, "w.so"});
        // Accepts flags 0 only: the last event below, not the ones with 0x10.
        AddPlugin(core, 1, missing, {0x20000, 0, true, false, "missing.so"});
        core.pluginList[1].write = nullptr;
        // Each Write costs the nanoseconds that the event carries in opaque0.
        w.onWrite = [&](const WriteParms& parms, WriteResult& result) {
            int64_t cost = 0;
            std::memcpy(&cost, parms.opaque0, sizeof cost);
            core.Advance(std::chrono::nanoseconds(cost));
            result.error = parms.level;
            return parms.level != 0 ? 7 : 0;
        };
        auto costing = [](uint32_t type, int64_t cost, const void* data = nullptr, uint32_t size = 0) {
            _EventParmsIn in = Event(kWriter, type, 0x10, data, size);
            std::memcpy(in.opaque0, &cost, sizeof cost);
            return in;
        };
        std::vector<char> big(1234567, 'x');
        core.Raise(costing(0x8, 6000000, big.data(), static_cast<uint32_t>(big.size())));
        core.Raise(costing(0x8, 5999999));
        core.Raise(costing(EVT_LOG, 50000000));  // log events are never timed
        core.Raise(costing(EVT_LOG | 0x8, 7000000));
        _EventParmsIn failing = Event(kWriter, 0x8, 0x10);
        failing.level = 3;
        core.Raise(failing);
        core.Raise(Event(kWriter, EVT_STATUS));
        core.Drain();
        EXPECT_EQ(
            (std::vector<std::string>{"core write took 6ms, providerID 10000, eventType: 8, len: 1,234,567 -> w.so",
                                      "core write took 7ms, providerID 10000, eventType: 72, len: 0 -> w.so"}),
            core.LinesStartingWith("core write took"));
        EXPECT_EQ(std::vector<std::string>{"plugin w.so write returned 7 error 3"},
                  core.LinesStartingWith("plugin w.so"));
        EXPECT_EQ(std::vector<std::string>{"plugin missing.so write returned -100 error 0"},
                  core.LinesStartingWith("plugin missing.so"));
    }
    {
        FakePlugin w;
        TestCore core;  // level-0 lines off: nothing is timed
        AddPlugin(core, 0, w, {kWriter});
        w.onWrite = [&](const WriteParms&, WriteResult&) { return core.Advance(1s), 0; };
        core.Raise(Event(kWriter, 0x8));
        core.Drain();
        EXPECT_TRUE(core.LinesStartingWith("core write took").empty());
    }
    EXPECT_EQ("1,234,567", FormatNumber(1234567, LocaleOrClassic("en_US.UTF-8")));
    EXPECT_EQ("1234567", FormatNumber(1234567, LocaleOrClassic("xx_NONE.UTF-8")));
}

TEST(EventMatch, FlagBits23To31OnTheDispatchAndBroadcastPaths)
{
    for (int bit = 23; bit <= 31; ++bit) {
        SCOPED_TRACE(bit);
        const uint32_t flag = 1u << bit;
        // Dispatch moves bits 24..30 up one place and drops bit 31; broadcast
        // moves bits 24..31 down one place.
        const uint32_t dispatchBit = bit == 31 ? 0 : 1u << (bit == 23 ? 23 : bit + 1);
        const uint32_t broadcastBit = 1u << (bit == 23 ? 23 : bit - 1);
        EXPECT_EQ(dispatchBit, DispatchMatch(flag));
        EXPECT_EQ(broadcastBit, BroadcastMatch(flag));

        FakePlugin writeOnly, writeWithout, readOnly, readWithout;
        TestCore core;
        AddPlugin(core, 0, writeOnly, {0x10000, dispatchBit});
        AddPlugin(core, 1, writeWithout, {0x20000, ~dispatchBit});
        AddPlugin(core, 2, readOnly, {0x30000, broadcastBit, false, true});
        AddPlugin(core, 3, readWithout, {0x40000, ~broadcastBit, false, true});
        int request = 0;
        core.Raise(Event(0x50000, 0x80, flag));
        core.Raise(Event(0, 0x80, flag, nullptr, 0, &request));
        core.Drain();
        core.StopDeliveries();
        EXPECT_EQ(1u, writeOnly.Writes().size());
        EXPECT_EQ(bit == 31 ? 1u : 0u, writeWithout.Writes().size());
        EXPECT_EQ(1u, readOnly.Reads().size());
        EXPECT_EQ(0u, readWithout.Reads().size());
    }
}

TEST(EventConfig, OtherPluginsGetIoctlWhateverTheirMasksAndTheRaiserOnlyWrite)
{
    FakePlugin raiser, other, bare;
    TestCore core;
    core.logLevels.Set(0, 0);
    // Takes the published documents, not the log lines about them.
    AddPlugin(core, 0, raiser, {0x10000, DispatchMatch(0x1000010)});
    AddPlugin(core, 1, other, {0x20000, 0, false});
    AddPlugin(core, 2, bare, {0x30000, 0, false, false, "bare.so"});
    core.pluginList[2].ioctl = nullptr;
    other.onIoctl = [&](const IoctlParms&, IoctlResult& result) {
        result.keep = 1;
        return 0;
    };
    const std::string text = "<Vgil Delta=\"0\"/>";
    const uint32_t size = static_cast<uint32_t>(text.size());
    core.Raise(Event(0x10000, EVT_CONFIG | EVT_STATUS, 0x1000010, text.data(), size));
    core.Raise(Event(0x10000, EVT_CONFIG, 0x1000010, text.data(), size));
    core.Raise(Event(CORE_PROVIDER_ID, EVT_CONFIG, 0x1000010, text.data(), size));
    core.Drain();

    EXPECT_EQ(1u, raiser.Writes().size());  // it accepts EVT_STATUS, and nothing of EVT_CONFIG alone
    EXPECT_EQ(1u, raiser.Ioctls().size());  // from the core
    const auto ioctls = other.Ioctls();
    ASSERT_EQ(3u, ioctls.size());
    EXPECT_EQ(static_cast<uint32_t>(IOCTL_UPDATE_CONFIG), ioctls[0].parms.command);
    EXPECT_EQ(16u, ioctls[0].parms.argSize);
    EXPECT_EQ(1u, ioctls[0].parms.argVersion);
    EXPECT_EQ(text, ioctls[0].payload);
    EXPECT_EQ(3u, core.LinesStartingWith("plugin bare.so update config returned -100 error 0").size());
    EXPECT_EQ(3u, core.refBlocks.BlockCount());  // `other` kept all three
    for (const auto& call : ioctls) {
        core.Raise(Release(call.parms.argData, 0x20000));
    }
    EXPECT_EQ(0u, core.refBlocks.BlockCount());
    EXPECT_EQ(3u, core.ioContext.poll());  // one configuration update each
}

TEST(EventEntry, StopSaysHowManyEventsWillStillBeDelivered)
{
    FakePlugin slow;
    TestCore core;
    AddPlugin(core, 0, slow, {0x10000});
    // The stop comes while the dispatcher holds the whole batch: the queue
    // itself is empty then, and only the batch tells what is left.
    slow.onWrite = [&core](const WriteParms&, WriteResult&) {
        core.RequestStop();
        return 0;
    };
    for (int i = 0; i < 5; ++i) {
        core.Raise(Event(0x20000, EVT_STATUS, 0x4));
    }
    core.DispatchEvents();
    EXPECT_EQ(5u, slow.Writes().size());
    EXPECT_EQ(
        core.LinesStartingWith("stop requested"),
        std::vector<std::string>{"stop requested with 5 events queued: they are delivered before the plugins close"});

    TestCore idle;
    idle.Drain();
    EXPECT_TRUE(idle.LinesStartingWith("stop requested").empty()) << "nothing to say without a queue";
}

TEST(EventEntry, StopIsNeverMissedAndRefusesOnlyQueuedEvents)
{
    for (int i = 0; i < 50; ++i) {
        TestCore core;
        DispatcherThread dispatcher(core);
        core.Raise(Event(0x10000, EVT_STATUS));
        dispatcher.Stop();
    }

    FakePlugin keeper, reader;
    TestCore core;
    AddPlugin(core, 0, keeper, {0x10000});
    AddPlugin(core, 1, reader, {0x20000, 0xFFFFFFFFu, false, true});
    keeper.onWrite = [](const WriteParms&, WriteResult& result) { return result.keep = 1, 0; };
    const char payload[] = "kept";
    core.Raise(Event(0x30000, EVT_STATUS, 0, payload, sizeof payload));
    core.Drain();
    ASSERT_EQ(1u, core.refBlocks.BlockCount());

    EXPECT_EQ(RESULT_REFUSED, core.Raise(Event(0x30000, EVT_STATUS)));
    EXPECT_EQ(0u, core.QueueLength());
    core.Raise(Release(keeper.Writes().at(0).parms.data, 0x10000));
    EXPECT_EQ(0u, core.refBlocks.BlockCount());
    int request = 0;
    EXPECT_EQ(RESULT_OK, core.Raise(Event(0, EVT_CANCEL_HANDLE, 0, nullptr, 0, &request)));
    EXPECT_EQ(RESULT_OK, core.Raise(Broadcast(&request)));
    core.StopDeliveries();
    EXPECT_EQ(1u, reader.Reads().size());
    EXPECT_EQ(25, core.Raise(Event(CORE_PROVIDER_ID, EVT_LOG, FLAG_LEVEL_QUERY)));
}

TEST(EventEntry, ArbitraryRecordsNeitherCrashNorLeak)
{
    FakePlugin writer, reader;
    TestCore core;
    AddPlugin(core, 0, writer, {0x10000});
    AddPlugin(core, 1, reader, {0x20000, 0xFFFFFFFFu, false, true});
    std::mt19937 random(20211202);
    const uint32_t types[] = {EVT_RELEASE_BLOCK, EVT_SEND_TO_PARENT, EVT_CANCEL_HANDLE, EVT_CONFIG,
                              EVT_LOG,           EVT_VIDEO,          EVT_AUDIO,         0,
                              0xFFFFFFFFu};
    const uint32_t providers[] = {0, CORE_PROVIDER_ID, 0x10000, 0xFFFF0000u, 0x0FFF0000u};
    char buffer[16] = {};
    for (int i = 0; i < 1500; ++i) {
        _EventParmsIn in = Event(random() % 2 != 0 ? providers[random() % 5] : random(),
                                 random() % 2 != 0 ? types[random() % 9] : random(), random());
        in.handle = random() % 4 == 0 ? reinterpret_cast<void*>(static_cast<uintptr_t>(random())) : nullptr;
        in.syncFrame = static_cast<uint8_t>(random() % 2);
        in.level = static_cast<int32_t>(random());
        // Null or dangling-looking without size; a real buffer only where
        // the core does not take the block over.
        switch (random() % 3) {
            case 0:
                // A packet for the parent is always the core's to free.
                if (in.eventType != EVT_SEND_TO_PARENT) {
                    in.data = reinterpret_cast<void*>(static_cast<uintptr_t>(16));
                }
                break;
            case 1:
                if (in.eventType != EVT_SEND_TO_PARENT) {
                    in.data = buffer;
                    in.dataSize = sizeof buffer;
                }
                break;
        }
        core.Raise(in);
    }
    core.Drain();
    core.StopDeliveries();
    EXPECT_EQ(0u, core.refBlocks.BlockCount());
    EXPECT_LT(0u, writer.Writes().size());
    EXPECT_LT(0u, reader.Reads().size());
}

TEST(EventEntry, AllocationFailuresAreAnsweredWithNoMemory)
{
    FakePlugin reader;
    TestCore core;
    AddPlugin(core, 0, reader, {0x20000, 0xFFFFFFFFu, false, true});
    // Packets go to a loop that never runs here; its destruction frees them.
    core.ipcOpen = true;
    int request = 0;
    char text[64];
    std::memset(text, 'x', sizeof text);  // unterminated: the core makes a string of it
    _EventParmsIn frame = Event(0x10000, EVT_VIDEO, FLAG_FRAME);
    frame.syncFrame = 1;  // the provider's first: its frame count is created now
    auto raiseAll = [&] {
        std::array<int, 5> results{};
        results[0] = core.Raise(frame);
        results[1] = core.Raise(Event(0, EVT_CANCEL_HANDLE, 0, nullptr, 0, &request));
        results[2] = core.Raise(Event(0x10000, EVT_SEND_TO_PARENT, 0, std::malloc(16), 16));
        _EventParmsIn log = Event(0x10000, EVT_LOG, FLAG_LOG_MESSAGE, text, sizeof text);
        log.level = 50;
        results[3] = core.Raise(log);
        // A reader that gets no thread misses the request; the raiser is not
        // told, as for any failed thread start.
        results[4] = core.Raise(Broadcast(&request));
        return results;
    };
    std::array<int, 5> failed{};
    {
        FailingAllocations failing;
        failed = raiseAll();
    }
    EXPECT_EQ((std::array<int, 5>{RESULT_NO_MEMORY, RESULT_NO_MEMORY, RESULT_NO_MEMORY, RESULT_NO_MEMORY, RESULT_OK}),
              failed);
    EXPECT_EQ(0u, core.QueueLength());
    EXPECT_TRUE(core.LinesStartingWith("xxxx").empty());

    // Nothing was left half done: the same events pass now.
    EXPECT_EQ((std::array<int, 5>{RESULT_OK, RESULT_OK, RESULT_OK, RESULT_OK, RESULT_OK}), raiseAll());
    EXPECT_EQ(2u, core.QueueLength());
    TestThread stop("stop deliveries", [&] { core.StopDeliveries(); });
    stop.Join();
    EXPECT_EQ(1u, reader.Reads().size());
}

// Raises a packet for the parent of `size` bytes in a fresh 1 MiB block; true
// when it was refused and its block freed.
bool PacketRefusedAndFreed(uint32_t size)
{
    constexpr std::size_t kBlock = 1 << 20;
    const std::size_t before = HeapBytesInUse();
    _EventParmsIn in = Event(0x470000, EVT_SEND_TO_PARENT, 0, std::malloc(kBlock), size);
    _EventParmsOut out{sizeof out, 1, 0};
    CoreEventCallback(&in, &out);
    return out.result == RESULT_REFUSED && HeapBytesInUse() < before + kBlock / 2;
}

// Whatever the answer, a block handed over as a packet is the core's.
TEST(EventEntry, EmptyPacketIsRefusedAndItsBlockFreed)
{
    TestCore core;
    EXPECT_TRUE(PacketRefusedAndFreed(0)) << "no link";
    core.ipcOpen = true;
    EXPECT_TRUE(PacketRefusedAndFreed(0)) << "link open";
}

// A plugin whose library stays mapped (id 0x470000) may raise after the core
// is gone.
TEST(EventEntry, RefusesOnceTheCoreIsGone)
{
    {
        TestCore core;
        EXPECT_EQ(&core, theCore);
    }
    EXPECT_EQ(nullptr, theCore);
    _EventParmsIn in = Event(0x470000, EVT_STATUS);
    _EventParmsOut out{sizeof out, 1, 0};
    EXPECT_EQ(0, CoreEventCallback(&in, &out));
    EXPECT_EQ(RESULT_REFUSED, out.result);
    EXPECT_TRUE(PacketRefusedAndFreed(0));
    EXPECT_TRUE(PacketRefusedAndFreed(16));
}

}  // namespace
