// Reference-counted payload blocks and the leak report.
#include <gtest/gtest.h>

#include "event_test_core.h"
#include "ref_block_table.h"

using namespace eventtest;

namespace {

constexpr uint32_t kCore = CORE_PROVIDER_ID;

TEST(EventRefBlocks, OwnersAreASetAndOnlyTheLastReleaseFrees)
{
    RefBlockTable table(nullptr);
    int block = 0;  // an address the table must never free itself
    table.AddRef(&block, 10, kCore);
    table.AddRef(&block, 99, 0x10000);  // the stored size stays
    table.AddRef(&block, 10, 0x10000);
    table.AddRef(&block, 10, 0x20000);
    table.AddRef(nullptr, 5, kCore);
    EXPECT_EQ(1u, table.BlockCount());
    EXPECT_EQ(10u, table.ByteCount());

    // A double release and a stranger change nothing while others hold it.
    EXPECT_FALSE(table.ReleaseRef(&block, 0x10000));
    EXPECT_FALSE(table.ReleaseRef(&block, 0x10000));
    EXPECT_FALSE(table.ReleaseRef(&block, 0x90000));
    EXPECT_FALSE(table.ReleaseRef(&block, 0x20000));
    EXPECT_EQ((std::unordered_map<uint32_t, uint32_t>{{kCore, 1}}), table.OwnerTally());
    EXPECT_TRUE(table.ReleaseRef(&block, kCore));
    EXPECT_EQ(0u, table.BlockCount());
    EXPECT_EQ(0u, table.ByteCount());
    EXPECT_FALSE(table.ReleaseRef(&block, kCore));  // already gone: never freed twice
    EXPECT_TRUE(table.ReleaseRef(nullptr, kCore));

    // A block entered after a release starts with its own size and owner only.
    int other = 0;
    table.AddRef(&other, 7, 0x30000);
    EXPECT_EQ(7u, table.ByteCount());
    EXPECT_EQ((std::unordered_map<uint32_t, uint32_t>{{0x30000, 1}}), table.OwnerTally());
    EXPECT_TRUE(table.ReleaseRef(&other, 0x30000));
}

TEST(EventRefBlocks, OneCopySharedByTheCoreAndThreePluginsUntilTheKeeperReleasesIt)
{
    FakePlugin a, keeper, c;
    TestCore core;
    AddPlugin(core, 0, a, {0x10000});
    AddPlugin(core, 1, keeper, {0x20000});
    AddPlugin(core, 2, c, {0x30000});
    uint32_t blocksDuringWrite = 0;
    uint32_t bytesDuringWrite = 0;
    keeper.onWrite = [&](const WriteParms&, WriteResult& result) {
        blocksDuringWrite = core.refBlocks.BlockCount();
        bytesDuringWrite = core.refBlocks.ByteCount();
        result.keep = 1;
        return 0;
    };
    char payload[100] = "frame";
    ASSERT_EQ(RESULT_OK, core.Raise(Event(0x40000, EVT_STATUS, 0, payload, sizeof payload)));
    core.Drain();

    EXPECT_EQ(1u, blocksDuringWrite);
    EXPECT_EQ(100u, bytesDuringWrite);
    void* block = keeper.Writes().at(0).parms.data;
    EXPECT_NE(static_cast<void*>(payload), block);
    EXPECT_EQ(block, a.Writes().at(0).parms.data);
    EXPECT_EQ(block, c.Writes().at(0).parms.data);
    EXPECT_EQ(1u, core.refBlocks.BlockCount());

    // Releases by a former owner, of a stack address and of an unknown block:
    // a free() of any of them would abort the program.
    int onStack = 0;
    core.Raise(Release(block, 0x10000));
    core.Raise(Release(&onStack, 0x20000));
    EXPECT_EQ(1u, core.refBlocks.BlockCount());
    core.Raise(Release(block, 0x20000));
    EXPECT_EQ(0u, core.refBlocks.BlockCount());
    EXPECT_EQ(0u, core.refBlocks.ByteCount());
    core.Raise(Release(block, 0x20000));
}

std::vector<std::string> leakMessages;

int CaptureLeakReport(_EventParmsIn* in, _EventParmsOut* out)
{
    if ((in->flags & FLAG_LEVEL_QUERY) != 0) {
        out->result = 0;  // level-0 messages pass
    } else {
        EXPECT_EQ(CORE_PROVIDER_ID, in->providerID);
        EXPECT_EQ(0, in->level);
        leakMessages.emplace_back(static_cast<const char*>(in->data));
    }
    return 0;
}

TEST(EventLeakReport, NamesEveryBlockStillHeldInOneMessage)
{
    leakMessages.clear();
    {
        RefBlockTable table(CaptureLeakReport);
    }
    EXPECT_TRUE(leakMessages.empty());

    {
        RefBlockTable table(CaptureLeakReport);
        table.AddRef(reinterpret_cast<void*>(0x1000), 8, 0x50000);
    }
    EXPECT_EQ(std::vector<std::string>{"address 0x1000 leaked by plugins [50000]\n"}, leakMessages);

    leakMessages.clear();
    {
        RefBlockTable table(CaptureLeakReport);
        table.AddRef(reinterpret_cast<void*>(0x1000), 8, 0x50000);
        table.AddRef(reinterpret_cast<void*>(0x2000), 8, kCore);
        table.AddRef(reinterpret_cast<void*>(0x2000), 8, 0x30000);
    }
    ASSERT_EQ(1u, leakMessages.size());
    const std::string& report = leakMessages[0];
    EXPECT_NE(std::string::npos, report.find("address 0x1000 leaked by plugins [50000]\n"));
    const bool coreFirst = report.find("address 0x2000 leaked by plugins [80000000,30000]\n") != std::string::npos;
    const bool coreLast = report.find("address 0x2000 leaked by plugins [30000,80000000]\n") != std::string::npos;
    EXPECT_TRUE(coreFirst || coreLast) << report;
    EXPECT_EQ(2, std::count(report.begin(), report.end(), '\n'));
}

}  // namespace
