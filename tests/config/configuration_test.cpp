// Reading core.xml and product.xml, the configuration and memory status
// documents, and configuration updates, on a core in a private directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bare_configuration.h"
#include "core_process.h"
#include "dvrcore.h"

namespace {

struct Published {
    uint32_t type;
    uint32_t provider;
    uint32_t flags;
    std::string text;
};

// A core whose log lines and wall clock the test holds.
class TestCore : public dvrcore {
public:
    TestCore() : dvrcore("/opt/sentinel/bin/dvrcore") { versionText = GetVersion(); }

    void WriteLog(uint32_t, uint32_t level, const char* text) override
    {
        lines.push_back(std::to_string(level) + " " + text);
    }
    std::time_t WallTime() override { return wallTime; }

    // The documents raised since the last call; other queued events dropped.
    std::vector<Published> TakePublished()
    {
        std::vector<Published> published;
        std::lock_guard<std::mutex> lock(queueMutex);
        for (const QueuedEvent& queued : eventQueue) {
            const _EventParmsIn& event = queued.event;
            if (event.eventType == EVT_CONFIG || event.eventType == EVT_STATUS) {
                published.push_back({event.eventType, event.providerID, event.flags,
                                     std::string(static_cast<const char*>(event.data), event.dataSize)});
            }
            std::free(event.data);
        }
        eventQueue.clear();
        return published;
    }

    std::vector<std::string> lines;
    std::time_t wallTime = 0;
};

class Configuration : public testing::Test {
protected:
    void SetUp() override
    {
        char* previous = ::getcwd(nullptr, 0);
        previousDir_ = previous;
        std::free(previous);
        ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(::chdir(previousDir_.c_str()), 0); }

    void AddPlugin(uint32_t id, const std::string& filename, int64_t loadTimeMs, int64_t openTimeMs, int openCode)
    {
        PLUGININFO plugin;
        plugin.info.id = id;
        plugin.filename = filename;
        plugin.loadTimeMs = loadTimeMs;
        plugin.openTimeMs = openTimeMs;
        plugin.openCode = openCode;
        core_.pluginList.push_back(std::move(plugin));
    }

    // A core.xml holding these `Plugin` elements in one module.
    static std::string CoreXml(const std::string& plugins, const std::string& memory = "")
    {
        return "<?xml ?><Vgil Delta=\"0\">" + memory + "<Modules><Module ID=\"1\">" + plugins +
               "</Module></Modules></Vgil>";
    }

    dvrtest::TempDir dir_;
    std::string previousDir_;
    TestCore core_;
};


const char kBarePublished[] =
    "<?xml ?><Vgil Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" />"
    "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\"><Module ID=\"-2147483648\" Name=\"Core\" "
    "Version=\"21.12.2.0\"><Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
    "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"25\" /></Module></Modules>"
    "<Product Family=\"Sentinelcam\" Version=\"21.12.2.0\" /></Vgil>";

TEST_F(Configuration, WithoutFilesEverythingKeepsItsDefault)
{
    core_.LoadConfiguration();
    EXPECT_EQ(core_.lines, std::vector<std::string>{"75 Failed to load/parse core.xml 2 - Failed to open file."});
    EXPECT_TRUE(core_.memoryMonitor);
    EXPECT_EQ(core_.productName, "Sentinelcam");
    EXPECT_EQ(core_.versionText, "21.12.2.0");
    EXPECT_EQ(core_.logLevels.Get(0), 25);
    EXPECT_EQ(core_.logLevels.Get(5), -1);
}

TEST_F(Configuration, ProductIdentityComesFromAProductChildOfTheRoot)
{
    dvrtest::WriteFile("product.xml", "<Anything><Product Family=\"Vigil Pro\" /></Anything>");
    core_.LoadConfiguration();
    EXPECT_EQ(core_.productName, "Vigil Pro");
    EXPECT_EQ(core_.versionText, "21.12.2.0");

    dvrtest::WriteFile("product.xml", "<Info><Product Family=\"\" Version=\"22.1\" /></Info>");
    core_.LoadConfiguration();
    EXPECT_EQ(core_.productName, "");
    EXPECT_EQ(core_.versionText, "22.1");

    // A Product root, a broken file and binary junk change nothing.
    for (const std::string& text :
         {std::string("<Product Family=\"Root\" Version=\"1\" />"),
          std::string("<Info><Product Family=\"Cut\" Version=\"2\" />"), std::string("\x01\xff<\0\x7f", 5)}) {
        dvrtest::WriteFile("product.xml", text);
        core_.LoadConfiguration();
        EXPECT_EQ(core_.productName, "");
        EXPECT_EQ(core_.versionText, "22.1");
    }
}

TEST_F(Configuration, PluginElementsSetThresholdsByTheirRules)
{
    core_.logLevels.Set(9, 60);
    dvrtest::WriteFile("core.xml",
                       CoreXml("<Plugin ID=\"-2147483648\" LogLevel=\"50\" />"                     // the core: entry 0
                               "<Plugin ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"75\" />"   // entry 5
                               "<Plugin ID=\"393216\" LogLevel=\"-1\" />"                          // entry 6: -1
                               "<Plugin ID=\"268894208\" LogLevel=\"20\" />"                       // bit 28, entry 7
                               "<Plugin ID=\"524288\" LogLevel=\"-1\" LogLevelDefault=\"300\" />"  // 8: low byte
                               "<Plugin ID=\"589824\" LogLevel=\"10\" />"                          // 9: overwritten
                               "<Plugin ID=\"589824\" LogLevel=\"11\" />"
                               "<Plugin ID=\"262143\" LogLevel=\"30\" />"         // below 0x40000
                               "<Plugin ID=\"16711680\" LogLevel=\"30\" />"       // index 255
                               "<Plugin ID=\"17104896\" LogLevel=\"30\" />"       // bit 24
                               "<Plugin ID=\"655360\" LogLevel=\"101\" />"        // level out of range
                               "<Plugin ID=\"655360\" LogLevelDefault=\"30\" />"  // no LogLevel
                               "<Plugin ID=\"x\" LogLevel=\"30\" />"
                               "<Plugin ID=\"1\" Filename=\"a.so\" LogLevel=\"-1\" />",
                               "<Memory Throttling=\"0\" />"));
    core_.logLevels.Set(6, 40);
    core_.LoadConfiguration();
    EXPECT_TRUE(core_.lines.empty());
    EXPECT_FALSE(core_.memoryMonitor);
    const int expected[] = {50, -1, -1, -1, -1, 75, -1, 20, 44, 11, -1};
    for (int index = 0; index <= 10; ++index) {
        EXPECT_EQ(core_.logLevels.Get(static_cast<uint32_t>(index)), expected[index]) << "entry " << index;
    }
    EXPECT_EQ(core_.logLevels.Get(254), -1);

    // A Plugin straight under Modules is not read; Throttling 2 turns the
    // monitor on, one that is no number leaves it alone.
    dvrtest::WriteFile("core.xml",
                       "<Vgil><Memory Throttling=\"2\" /><Modules><Plugin ID=\"327680\" LogLevel=\"5\" />"
                       "</Modules></Vgil>");
    core_.LoadConfiguration();
    EXPECT_TRUE(core_.memoryMonitor);
    EXPECT_EQ(core_.logLevels.Get(5), 75);
    dvrtest::WriteFile("core.xml", "<Vgil><Memory Throttling=\"on\" /></Vgil>");
    core_.memoryMonitor = false;
    core_.LoadConfiguration();
    EXPECT_FALSE(core_.memoryMonitor);
    EXPECT_TRUE(core_.lines.empty());
}

TEST_F(Configuration, BrokenCoreXmlAppliesWhatCameBeforeTheBreak)
{
    // Cut off right after its first Plugin: Memory and that Plugin apply.
    const std::string full = CoreXml("<Plugin ID=\"327680\" LogLevel=\"40\" /><Plugin ID=\"393216\" LogLevel=\"41\" />",
                                     "<Memory ID=\"-2147483648\" Throttling=\"0\" />");
    dvrtest::WriteFile("core.xml", full.substr(0, full.find("<Plugin ID=\"393216\"")));
    core_.LoadConfiguration();
    EXPECT_TRUE(core_.lines.empty());
    EXPECT_FALSE(core_.memoryMonitor);
    EXPECT_EQ(core_.logLevels.Get(5), 40);
    EXPECT_EQ(core_.logLevels.Get(6), -1);

    // Nested far too deep, after a valid Plugin: the depth error stops the
    // parse, what came before applies.
    std::string nested;
    while (nested.size() < 2000000) {
        nested += "<a>";
    }
    std::string deep = CoreXml("<Plugin ID=\"458752\" LogLevel=\"42\" />");
    deep.insert(deep.find("</Module>"), nested);
    dvrtest::WriteFile("core.xml", deep);
    core_.LoadConfiguration();
    EXPECT_TRUE(core_.lines.empty());
    EXPECT_EQ(core_.logLevels.Get(7), 42);

    // About 10 MB of plugin entries is read to the end.
    std::string huge = "<Vgil><Modules><Module>";
    while (huge.size() < 10 * 1024 * 1024) {
        huge += "<Plugin ID=\"1\" LogLevel=\"1\" />";
    }
    huge += "<Plugin ID=\"524288\" LogLevel=\"43\" /></Module></Modules></Vgil>";
    dvrtest::WriteFile("core.xml", huge);
    core_.LoadConfiguration();
    EXPECT_TRUE(core_.lines.empty());
    EXPECT_EQ(core_.logLevels.Get(8), 43);
}

TEST_F(Configuration, UnusableCoreXmlIsReportedOnce)
{
    dvrtest::WriteFile("core.xml", "<?xml ?><Config><Memory Throttling=\"0\" /></Config>");
    core_.LoadConfiguration();
    EXPECT_EQ(core_.lines, std::vector<std::string>{"75 Failed to load core.xml, missing Vgil node."});
    EXPECT_TRUE(core_.memoryMonitor);

    std::mt19937 random(3);
    std::string binary(4096, '\0');
    for (char& byte : binary) {
        byte = static_cast<char>(random() % 256);
    }
    binary[0] = '\x01';
    dvrtest::WriteFile("core.xml", binary);
    core_.lines.clear();
    core_.LoadConfiguration();
    ASSERT_EQ(core_.lines.size(), 1u);
    EXPECT_EQ(core_.lines[0].rfind("75 Failed to load/parse core.xml ", 0), 0u) << core_.lines[0];

    dvrtest::WriteFile("core.xml", "<Vg");
    core_.lines.clear();
    core_.LoadConfiguration();
    EXPECT_EQ(core_.lines,
              std::vector<std::string>{"75 Failed to load/parse core.xml 5 - Failed to read Element name."});

    ::unlink("core.xml");
    ASSERT_EQ(::mkdir("core.xml", 0755), 0);
    core_.lines.clear();
    core_.LoadConfiguration();
    EXPECT_EQ(core_.lines, std::vector<std::string>{"75 Failed to load/parse core.xml 2 - Failed to open file."});
    EXPECT_TRUE(core_.memoryMonitor);
    EXPECT_EQ(core_.logLevels.Get(0), 25);
}

TEST_F(Configuration, BareCoreSavesAndPublishesItsDocument)
{
    core_.SaveConfiguration();
    EXPECT_EQ(dvrtest::ReadFile("core.xml"), dvrtest::kBareCoreXml);
    const std::vector<Published> published = core_.TakePublished();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].type, EVT_CONFIG);
    EXPECT_EQ(published[0].provider, CORE_PROVIDER_ID);
    EXPECT_EQ(published[0].flags, 0x1000010u);
    EXPECT_EQ(published[0].text, kBarePublished);
    EXPECT_TRUE(core_.lines.empty());

    // What the core writes, it reads back unchanged.
    core_.logLevels.Set(0, 60);
    core_.LoadConfiguration();
    EXPECT_EQ(core_.logLevels.Get(0), 25);
}

TEST_F(Configuration, DocumentListsPluginsParentAndFailedFiles)
{
    core_.memoryMonitor = false;
    core_.logLevels.Set(0, 10);
    AddPlugin(0x00050001, "camera.so", 12, (int64_t{1} << 32) + 3, 0);
    AddPlugin(0x90070002, "audio.so", 8, 5, -100);
    core_.logLevels.Set(5, 30);
    core_.defaultLogLevels.Set(5, 50);
    core_.failedPlugins["b.so"] = "b.so: cannot open shared object file";
    core_.failedPlugins["a.so"] = "a.so: invalid ELF header";
    core_.parentFilename = "vigild";
    core_.parentVersion = "3.1.4";
    core_.SaveConfiguration();
    EXPECT_EQ(dvrtest::ReadFile("core.xml"),
              "<?xml ?>\n"
              "<Vgil Delta=\"0\">\n"
              "    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n"
              "    <Modules TotalLoadTimeMs=\"20\" TotalOpenTimeMs=\"8\">\n"
              "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"21.12.2.0\">\n"
              "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"10\" LogLevelDefault=\"25\" />\n"
              "            <Plugin ID=\"327681\" Filename=\"camera.so\" Opened=\"1\" LoadTimeMs=\"12\" "
              "OpenTimeMs=\"3\" OpenCode=\"0\" LogLevel=\"30\" LogLevelDefault=\"50\" />\n"
              "            <Plugin ID=\"-1878589438\" Filename=\"audio.so\" Opened=\"1\" LoadTimeMs=\"8\" "
              "OpenTimeMs=\"5\" OpenCode=\"-100\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
              "            <Library Name=\"vigild\" Filename=\"vigild\" Version=\"3.1.4\" />\n"
              "            <Plugin ID=\"1\" Filename=\"a.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
              "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
              "            <Plugin ID=\"2\" Filename=\"b.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
              "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
              "        </Module>\n"
              "        <Module ID=\"1\" Name=\"a.so\" Version=\"a.so: invalid ELF header\" />\n"
              "        <Module ID=\"2\" Name=\"b.so\" Version=\"b.so: cannot open shared object file\" />\n"
              "    </Modules>\n"
              "</Vgil>\n");
    const std::vector<Published> published = core_.TakePublished();
    ASSERT_EQ(published.size(), 1u);
    const std::string& text = published[0].text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const std::string product = "<Product Family=\"Sentinelcam\" Version=\"21.12.2.0\" /></Vgil>";
    ASSERT_GE(text.size(), product.size());
    EXPECT_EQ(text.substr(text.size() - product.size()), product);

    // A parent that announced only its file name is not listed.
    core_.parentVersion.clear();
    core_.SaveConfiguration();
    EXPECT_EQ(dvrtest::ReadFile("core.xml").find("<Library"), std::string::npos);
    core_.TakePublished();
}

TEST_F(Configuration, FailedSaveIsLoggedAndTheDocumentStillPublished)
{
    dvrtest::WriteFile("core.xml", "previous");
    ASSERT_EQ(::mkdir("core.xml.pending", 0755), 0);
    core_.SaveConfiguration();
    EXPECT_EQ(core_.lines, std::vector<std::string>{"75 Failed to save config 2 - create error 21 - Is a directory"});
    EXPECT_EQ(dvrtest::ReadFile("core.xml"), "previous");
    const std::vector<Published> published = core_.TakePublished();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].text, kBarePublished);
}

TEST_F(Configuration, MemoryStatusDocument)
{
    core_.throttling = true;
    core_.wallTime = 1700000000;
    core_.PublishMemoryStatus();
    core_.throttling = false;
    core_.wallTime = 1700000001;
    core_.PublishMemoryStatus();
    const std::vector<Published> published = core_.TakePublished();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0].type, EVT_STATUS);
    EXPECT_EQ(published[0].provider, CORE_PROVIDER_ID);
    EXPECT_EQ(published[0].flags, 0x1000010u);
    EXPECT_EQ(published[0].text,
              "<?xml ?><Vgil><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"1700000000\" /></Vgil>");
    EXPECT_EQ(published[1].text,
              "<?xml ?><Vgil><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"1700000001\" /></Vgil>");
    EXPECT_FALSE(dvrtest::FileExists("core.xml"));
}

TEST_F(Configuration, DeltasChangeThresholdsAndSaveOnlyOnChange)
{
    const auto delta = [](const std::string& root, const std::string& plugins) {
        return root + "<Memory Throttling=\"0\" /><Modules><Module>" + plugins + "</Module></Modules></Cfg>";
    };
    core_.logLevels.Set(5, 30);
    core_.defaultLogLevels.Set(5, 50);

    // Not a delta: nothing changes, whatever the levels say.
    for (const std::string root : {"<Cfg Delta=\"0\">", "<Cfg>", "<Cfg Delta=\"yes\">"}) {
        core_.ApplyConfiguration(delta(root, "<Plugin ID=\"327680\" LogLevel=\"40\" />"));
        EXPECT_EQ(core_.logLevels.Get(5), 30);
    }
    // The core's own published document comes back and is ignored.
    core_.SaveConfiguration();
    const std::string own = core_.TakePublished().at(0).text;
    ::unlink("core.xml");
    core_.ApplyConfiguration(own);
    // The same level again is no change.
    core_.ApplyConfiguration(delta("<Cfg Delta=\"1\">", "<Plugin ID=\"327680\" LogLevel=\"30\" />"));
    EXPECT_FALSE(dvrtest::FileExists("core.xml"));
    EXPECT_TRUE(core_.TakePublished().empty());

    core_.ApplyConfiguration(
        delta("<Cfg Delta=\"1\">", "<Plugin ID=\"327680\" LogLevel=\"40\" /><Plugin ID=\"262143\" LogLevel=\"1\" />"));
    EXPECT_EQ(core_.logLevels.Get(5), 40);
    EXPECT_EQ(core_.logLevels.Get(3), -1);
    EXPECT_TRUE(core_.memoryMonitor);
    EXPECT_TRUE(dvrtest::FileExists("core.xml"));
    EXPECT_EQ(core_.TakePublished().size(), 1u);

    // -1 falls back to the default; an entry already at -1 is no change.
    core_.ApplyConfiguration(delta("<Cfg Delta=\"-3\">", "<Plugin ID=\"327680\" LogLevel=\"-1\" />"));
    EXPECT_EQ(core_.logLevels.Get(5), 50);
    EXPECT_EQ(core_.TakePublished().size(), 1u);
    core_.ApplyConfiguration(delta("<Cfg Delta=\"1\">", "<Plugin ID=\"393216\" LogLevel=\"-1\" />"));
    EXPECT_TRUE(core_.TakePublished().empty());
    EXPECT_TRUE(core_.lines.empty());
}

TEST_F(Configuration, BadUpdateTextsApplyWhatTheyCanAndNothingElse)
{
    const std::string valid = "<Cfg Delta=\"1\"><Modules><Module><Plugin ID=\"327680\" LogLevel=\"40\" />";
    // Cut off: the first Plugin still counts.
    core_.ApplyConfiguration(valid + "<Plugin ID=\"393216\" LogLev");
    EXPECT_EQ(core_.logLevels.Get(5), 40);
    EXPECT_EQ(core_.logLevels.Get(6), -1);
    EXPECT_EQ(core_.TakePublished().size(), 1u);

    // Nested about 10 MB deep after a valid Plugin.
    std::string deep = "<Cfg Delta=\"1\"><Modules><Module><Plugin ID=\"458752\" LogLevel=\"41\" />";
    while (deep.size() < 10 * 1024 * 1024) {
        deep += "<Module>";
    }
    core_.ApplyConfiguration(deep);
    EXPECT_EQ(core_.logLevels.Get(7), 41);
    EXPECT_EQ(core_.TakePublished().size(), 1u);

    // Binary junk, an empty text and a text with a zero byte change nothing.
    std::mt19937 random(11);
    std::string binary(65536, '\0');
    for (char& byte : binary) {
        byte = static_cast<char>(random() % 256);
    }
    for (const std::string& text : {binary, std::string(), std::string("\0", 1) + valid}) {
        core_.ApplyConfiguration(text);
    }
    EXPECT_TRUE(core_.TakePublished().empty());
    EXPECT_TRUE(core_.lines.empty());
}

}  // namespace
