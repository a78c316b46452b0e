// Loading real plugin libraries: refusals, broken files, levels, names.
#include <filesystem>

#include "plugin_host_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string LoadedLine(const std::string& fileName)
{
    return "Core: Loaded plugin: " + fileName;
}

TEST_F(PluginHostTest, MissingPluginDirectoriesLoadNothingSilently)
{
    fs::remove(layout.pluginDir());
    fs::remove(layout.protectedPluginDir());
    EXPECT_FALSE(core->LoadPlugins());
    EXPECT_TRUE(core->pluginList.empty());
    EXPECT_TRUE(core->failedPlugins.empty());
    EXPECT_TRUE(core->Lines().empty());
}

TEST_F(PluginHostTest, RefusedPluginsAreLoggedClosedAndLeaveNoTrace)
{
    Add("tp_plain", "A_Plain.so");
    Add("tp_plain", "b_plain.so");  // the same id again
    Add("tp_bit_25", "bit25.so");
    Add("tp_bit_30", "bit30.so");
    Add("tp_core_id", "coreid.so");
    Add("tp_load_fails", "fails.so");
    Add("tp_index_254", "index254.so");
    Add("tp_index_255", "index255.so");
    Add("tp_load_error", "libcam.so");
    Add("tp_no_load", "noload.so");

    EXPECT_TRUE(core->LoadPlugins());

    const std::string tooBig = " exceeds the log level array size, set LogLevelArraySize to 0xfff";
    EXPECT_EQ(core->Lines(), (std::vector<LogLine>{
                                 {0, LoadedLine("A_Plain.so")},
                                 {0, LoadedLine("b_plain.so")},
                                 {50, "plugin b_plain.so ID 0x00100000 already loaded"},
                                 {50, "plugin b_plain.so refused: its ID 0x00100000 is held by A_Plain.so"},
                                 {0, LoadedLine("bit25.so")},
                                 {100, "plugin bit25.so ID 0x02000000" + tooBig},
                                 {0, LoadedLine("bit30.so")},
                                 {0, LoadedLine("coreid.so")},
                                 {50, "plugin coreid.so ID 0x80000000 already loaded"},
                                 {50, "plugin coreid.so refused: its ID 0x80000000 is held by the core itself"},
                                 {0, LoadedLine("fails.so")},
                                 {100, "plugin fails.so load returned 3 error 0"},
                                 {0, LoadedLine("index254.so")},
                                 {0, LoadedLine("index255.so")},
                                 {100, "plugin index255.so ID 0x00FF0000" + tooBig},
                                 {0, LoadedLine("libcam.so")},
                                 {100, "plugin libcam.so load returned 0 error 7"},
                                 {0, LoadedLine("noload.so")},
                                 {100, "Core: Failed to load plugin: noload.so (missing symbol)"},
                                 {75,
                                  "plugin noload.so does not export \"Load\" (the one required entry point, "
                                  "a C function)"},
                             }));
    EXPECT_EQ(LoadedIds(), (std::vector<uint32_t>{0x00100000, 0x40050000, 0x00FE0000}));
    EXPECT_TRUE(core->failedPlugins.empty());
    EXPECT_EQ(ModuleName(0x00100000), "a_plain");
    EXPECT_EQ(ModuleName(0x40050000), "bit30");
    EXPECT_EQ(ModuleName(0x00FE0000), "index254");
    for (uint32_t refused : {0x00120000u, 0x00130000u, 0x00FF0000u, 0x02000000u}) {
        EXPECT_FALSE(core->moduleNames.Contains(refused)) << std::hex << refused;
    }
    for (const char* refused :
         {"b_plain.so", "bit25.so", "coreid.so", "fails.so", "index255.so", "libcam.so", "noload.so"}) {
        EXPECT_FALSE(IsMapped(PluginFile(refused))) << refused;
    }
    EXPECT_TRUE(IsMapped(PluginFile("A_Plain.so")));
    EXPECT_EQ(TraceCount("tp_plain load"), 2u);

    Shutdown();
    // Unload reaches the accepted plugins only.
    EXPECT_EQ(TraceCount("tp_plain unload"), 1u);
    for (const char* refused : {"tp_bit_25", "tp_core_id", "tp_load_fails", "tp_index_255", "tp_load_error"}) {
        EXPECT_EQ(TraceCount(std::string(refused) + " unload"), 0u) << refused;
    }
}

TEST_F(PluginHostTest, BrokenFilesAreRefusedAndTheRestLoads)
{
    Add("tp_plain", "good.so");
    Add("tp_unresolved", "unresolved.so");
    Add("tp_unresolved", "unresolved.so", true);
    dvrtest::WriteFile(PluginFile("empty.so"), "");
    dvrtest::WriteFile(PluginFile("text.so"), "this is no library\n");
    // Cut inside the header, the program headers and the mapped segments:
    // mapping such a file unchecked ends the process with SIGBUS.
    const std::string library = dvrtest::ReadFile(dvrtest::TestPluginPath("tp_plain"));
    for (std::size_t length : {40, 300, 1000, 4000}) {
        dvrtest::WriteFile(PluginFile("cut" + std::to_string(length) + ".so"), library.substr(0, length));
    }
    fs::create_directory(PluginFile("dir.so"));
    fs::create_symlink("missing.so", PluginFile("dangling.so"));

    EXPECT_TRUE(core->LoadPlugins());

    EXPECT_EQ(LoadedIds(), std::vector<uint32_t>{0x00100000});
    std::vector<std::string> failed;
    for (const auto& [name, text] : core->failedPlugins) {
        failed.push_back(name);
        EXPECT_FALSE(text.empty()) << name;
        const std::vector<LogLine> lines = core->LinesAbout(name);
        ASSERT_FALSE(lines.empty()) << name;
        // The table keeps the text of the last failure of that file name.
        EXPECT_EQ(lines.back(), (LogLine{100, "Core: Failed to load plugin '" + name + "': " + text}));
    }
    EXPECT_EQ(failed, (std::vector<std::string>{"cut1000.so", "cut300.so", "cut40.so", "cut4000.so", "empty.so",
                                                "text.so", "unresolved.so"}));
    EXPECT_EQ(core->LinesAbout("unresolved.so").size(), 2u);
    const std::string& unresolved = core->failedPlugins["unresolved.so"];
    EXPECT_NE(unresolved.find("dvrTestSymbolDefinedNowhere"), std::string::npos) << unresolved;
    EXPECT_NE(unresolved.find("protected-plugins"), std::string::npos) << unresolved;
    EXPECT_TRUE(core->LinesAbout("dir.so").empty());
    EXPECT_TRUE(core->LinesAbout("dangling.so").empty());
}

TEST_F(PluginHostTest, SameLibraryThroughTwoPathsIsRefusedOnceAndFullyUnmapped)
{
    Add("tp_plain", "real.so");
    fs::create_symlink(PluginFile("real.so"), PluginFile("alias.so", true));

    core->LoadPlugins();

    EXPECT_EQ(core->Lines(), (std::vector<LogLine>{{0, LoadedLine("real.so")},
                                                   {0, LoadedLine("alias.so")},
                                                   {50, "plugin alias.so ID 0x00100000 already loaded"},
                                                   {50,
                                                    "plugin alias.so refused: its ID 0x00100000 is held by "
                                                    "real.so"}}));
    EXPECT_EQ(TraceCount("tp_plain load"), 2u);
    Shutdown();
    EXPECT_FALSE(IsMapped(PluginFile("real.so")));
}

TEST_F(PluginHostTest, DefaultLevelsNeverOverrideConfiguredLevels)
{
    Add("tp_default_30", "d30.so");
    Add("tp_default_101", "d101.so");
    Add("tp_plain", "d0.so");
    core->logLevels.Set(6, 75);  // as core.xml would have set it
    core->LoadPlugins();
    EXPECT_EQ(LoadedIds().size(), 3u);
    EXPECT_EQ(core->defaultLogLevels.Get(6), 30);
    EXPECT_EQ(core->logLevels.Get(6), 75);
    for (uint32_t index : {0x7u, 0x10u}) {
        EXPECT_EQ(core->defaultLogLevels.Get(index), -1) << index;
        EXPECT_EQ(core->logLevels.Get(index), -1) << index;
    }

    RenewCore();
    core->LoadPlugins();
    EXPECT_EQ(core->defaultLogLevels.Get(6), 30);
    EXPECT_EQ(core->logLevels.Get(6), 30);
}

}  // namespace
