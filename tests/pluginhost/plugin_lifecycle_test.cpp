// Open, close and unload of real plugins: order, results, threads, mappings.
#include <atomic>
#include <set>
#include <shared_mutex>
#include <thread>

#include "plugin_host_fixture.h"

namespace {

// The trace lines of the given kinds ("load", "open", ...), in order.
std::vector<std::string> Calls(const std::vector<std::string>& trace, const std::set<std::string>& kinds)
{
    std::vector<std::string> calls;
    for (const std::string& line : trace) {
        if (kinds.count(line.substr(line.find(' ') + 1)) != 0) {
            calls.push_back(line);
        }
    }
    return calls;
}

void StartReaders(dvrcore& core)
{
    std::unique_lock<std::shared_mutex> lock(core.pluginListMutex);
    for (PLUGININFO& plugin : core.pluginList) {
        if (plugin.info.readerFlag != 0) {
            core.StartAsyncReader(plugin);
        }
    }
}

TEST_F(PluginHostTest, OpenInLoadOrderCloseAndUnloadByDescendingMask)
{
    Add("tp_order_a", "a.so");  // mask 0
    Add("tp_order_b", "b.so");  // mask 0xFFFFFFFF
    Add("tp_order_c", "c.so");  // mask 0x10
    core->LoadPlugins();
    core->OpenPlugins();
    core->ClosePlugins();
    EXPECT_EQ(LoadedIds(), (std::vector<uint32_t>{0x00220000, 0x00230000, 0x00210000}));
    core->UnloadPlugins();

    EXPECT_TRUE(core->pluginList.empty());
    EXPECT_EQ(
        Calls(Trace(), {"load", "open", "close", "unload"}),
        (std::vector<std::string>{"tp_order_a load", "tp_order_b load", "tp_order_c load", "tp_order_a open",
                                  "tp_order_b open", "tp_order_c open", "tp_order_b close", "tp_order_c close",
                                  "tp_order_a close", "tp_order_b unload", "tp_order_c unload", "tp_order_a unload"}));
    EXPECT_EQ(core->Lines().size(), 3u);  // the three "Loaded plugin" lines
}

TEST_F(PluginHostTest, FailedAndMissingEntriesAreStoredOrLoggedAndIgnored)
{
    Add("tp_close_error", "closeerr.so");
    Add("tp_only_load", "onlyload.so");  // asks for both threads, exports only Load
    Add("tp_open_5", "open5.so");
    core->LoadPlugins();
    core->OpenPlugins();
    StartReaders(*core);
    EXPECT_EQ(Loaded("closeerr.so").openCode, 0);
    EXPECT_EQ(Loaded("onlyload.so").openCode, ENTRY_MISSING);
    EXPECT_EQ(Loaded("open5.so").openCode, 5);
    core->ClosePlugins();
    core->UnloadPlugins();

    const std::vector<LogLine> lines = core->Lines();
    ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::vector<LogLine>(lines.begin() + 3, lines.end()),
              (std::vector<LogLine>{{0, "plugin onlyload.so close returned -100 error 0"},
                                    {0, "plugin closeerr.so close returned 0 error 2"},
                                    {0, "plugin onlyload.so unload returned -100 error 0"}}));
    EXPECT_EQ(TraceCount("tp_close_error unload"), 1u);
    EXPECT_EQ(TraceCount("tp_open_5 close"), 1u);
    EXPECT_FALSE(IsMapped(PluginFile("onlyload.so")));
}

TEST_F(PluginHostTest, WorkerRunsFromLoadReaderFromStartBothJoinedBeforeUnload)
{
    Add("tp_threads", "threads.so");
    Add("tp_threads", "threads2.so");  // refused: same id, so no worker
    Add("tp_plain", "plain.so");
    core->LoadPlugins();
    ASSERT_EQ(LoadedIds().size(), 2u);
    EXPECT_TRUE(WaitForTrace("tp_threads worker start"));
    core->OpenPlugins();
    EXPECT_EQ(TraceCount("tp_threads reader start size 0"), 0u);
    StartReaders(*core);
    EXPECT_TRUE(WaitForTrace("tp_threads reader start size 0"));
    core->ClosePlugins();
    core->UnloadPlugins();

    // The threads linger after Close: only a join puts their end before Unload.
    const std::size_t unload = TraceIndex("tp_threads unload");
    EXPECT_LT(TraceIndex("tp_threads close"), TraceIndex("tp_threads reader end"));
    EXPECT_LT(TraceIndex("tp_threads reader end"), unload);
    EXPECT_LT(TraceIndex("tp_threads worker end"), unload);
    EXPECT_LT(unload, Trace().size());
    EXPECT_EQ(TraceCount("tp_threads worker start"), 1u);
    EXPECT_EQ(TraceCount("tp_threads reader start size 0"), 1u);
}

TEST_F(PluginHostTest, ResidentPluginIsUnloadedButStaysMapped)
{
    Add("tp_resident", "resident.so");
    Add("tp_plain", "plain.so");
    core->LoadPlugins();
    core->OpenPlugins();
    core->ClosePlugins();
    core->UnloadPlugins();
    EXPECT_EQ(TraceCount("tp_resident unload"), 1u);
    EXPECT_TRUE(IsMapped(PluginFile("resident.so")));
    EXPECT_FALSE(IsMapped(PluginFile("plain.so")));
}

TEST_F(PluginHostTest, LoadAndOpenAreTimedWithTheCoreClockInWholeMilliseconds)
{
    core->clockStep = std::chrono::nanoseconds(2999999);
    Add("tp_plain", "plain.so");
    core->LoadPlugins();
    core->OpenPlugins();
    EXPECT_EQ(Loaded("plain.so").loadTimeMs, 2);
    EXPECT_EQ(Loaded("plain.so").openTimeMs, 2);
}

TEST_F(PluginHostTest, ListWalkersNeverSeeTheCloseOrderHalfDone)
{
    const char* plugins[] = {"tp_order_a", "tp_order_b", "tp_order_c", "tp_plain", "tp_open_5", "tp_close_error"};
    for (const char* plugin : plugins) {
        Add(plugin, std::string(plugin) + ".so");
    }
    core->LoadPlugins();
    const std::vector<uint32_t> loadOrder = LoadedIds();
    ASSERT_EQ(loadOrder.size(), 6u);

    std::atomic<bool> done{false};
    std::atomic<int> samples{0};
    std::atomic<int> broken{0};
    std::thread walker([&] {
        while (!done) {
            std::shared_lock<std::shared_mutex> lock(core->pluginListMutex);
            std::vector<uint32_t> ids;
            bool closeOrder = true;
            for (std::size_t i = 0; i < core->pluginList.size(); ++i) {
                const PLUGININFO& plugin = core->pluginList[i];
                ids.push_back(plugin.info.id);
                closeOrder =
                    closeOrder && (i == 0 || core->pluginList[i - 1].info.typeMasks[5] >= plugin.info.typeMasks[5]);
                broken += plugin.library == nullptr || plugin.filename.empty() ? 1 : 0;
            }
            const bool samePlugins = std::is_permutation(ids.begin(), ids.end(), loadOrder.begin(), loadOrder.end());
            broken += samePlugins && (ids == loadOrder || closeOrder) ? 0 : 1;
            ++samples;
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (samples == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    core->ClosePlugins();
    const int before = samples;
    while (samples < before + 100 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    done = true;
    walker.join();
    EXPECT_GT(samples, 0);
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(LoadedIds().front(), 0x00220000u);
}

}  // namespace
