// The run command (scripts/run.sh) in its fixed-duration form, end to end:
// the core runs the example plugins under the parent-service stand-in, the
// camera plugin records the test camera server's four cameras, the status
// line is fed, and the core stops cleanly, leaks no payload block and leaves
// a valid core.xml.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tinyxml.h>

#include <map>
#include <regex>
#include <string>

#include "core_process.h"
#include "host_command.h"
#include "media_libraries.h"
#include "plugin_api.h"
#include "test_paths.h"

namespace {

using std::chrono::seconds;

// Filenames and open codes of the plugin entries of a saved core.xml; the
// core's own entry under its executable's name.
std::map<std::string, int> PluginEntries(const TiXmlElement& root)
{
    std::map<std::string, int> entries;
    const TiXmlElement* modules = root.FirstChildElement("Modules");
    for (const TiXmlElement* module = modules ? modules->FirstChildElement("Module") : nullptr; module != nullptr;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
             plugin = plugin->NextSiblingElement("Plugin")) {
            int openCode = -1;
            plugin->QueryIntAttribute("OpenCode", &openCode);
            const char* name = plugin->Attribute("Filename");
            entries[name ? name : ""] = openCode;
        }
    }
    return entries;
}

TEST(RunCommand, RecordsTheTestCamerasAndStopsCleanly)
{
    SKIP_UNDER_TSAN();
    dvrtest::TempDir dir;
    const std::string work = dir / "work";
    ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
    // Kept by the run command: the core's detail messages, the leak report
    // among them, show on the terminal.
    dvrtest::WriteFile(work + "/core.xml", dvrtest::CoreXmlWithLevels(0));

    dvrtest::ProcessOptions options;
    options.program = "bash";
    options.args = {std::string(DVRCORE_SOURCE_DIR) + "/scripts/run.sh",
                    "--build-dir",
                    DVRCORE_TEST_BINARY_DIR,
                    "--workdir",
                    work,
                    "--seconds",
                    "6"};
    for (const std::string& word : dvrtest::Launcher()) {
        options.args.insert(options.args.end(), {"--launcher", word});
    }
    options.terminal = true;
    options.useLauncher = false;
    dvrtest::Process run(options);
    ASSERT_EQ(0, run.Wait(seconds(90))) << run.Output() << run.Errors();
    const std::string output = run.Output();

    EXPECT_NE(std::string::npos, output.find("Core: Loaded plugin: recorder.so")) << "level 0 is on" << output;
    EXPECT_NE(std::string::npos, output.find("successfully started core version")) << output;
    EXPECT_EQ(std::string::npos, output.find("leaked by plugins")) << output;
    EXPECT_EQ(std::string::npos, output.find("returned -1 ")) << output;
    // The test camera server's four cameras reach the camera plugin, their
    // frames the recorder, and its counters the status line.
    for (int camera = 1; camera <= 4; ++camera) {
        const std::string name = "cam" + std::to_string(camera);
        EXPECT_NE(std::string::npos, output.find("camera " + name + ": recording rtsp://127.0.0.1:")) << output;
    }
    EXPECT_TRUE(std::regex_search(output, std::regex(R"(status: [1-9]\d* events/s \| [1-9]\d* frames recorded)")))
        << output;
    EXPECT_TRUE(
        std::regex_search(output, std::regex(R"(\| cam1 recording [1-9]\d* frames [\d.]+ MiB [1-9]\d* segments)")))
        << output;

    // core.xml: kept from before (the core's level), rewritten with every plugin.
    TiXmlDocument config((work + "/core.xml").c_str());
    ASSERT_TRUE(config.LoadFile()) << config.ErrorDesc();
    const TiXmlElement* root = config.RootElement();
    ASSERT_NE(nullptr, root);
    EXPECT_STREQ("Vgil", root->Value());
    // Open codes: camera and log sink open (the sink its file), the others
    // export no Open.
    const std::map<std::string, int> expected{{"bridge.so", ENTRY_MISSING},
                                              {"camera.so", 0},
                                              {"catalog.so", ENTRY_MISSING},
                                              {"logsink.so", 0},
                                              {"recorder.so", ENTRY_MISSING}};
    const std::map<std::string, int> plugins = PluginEntries(*root);
    for (const auto& [name, openCode] : expected) {
        ASSERT_EQ(1u, plugins.count(name)) << name;
        EXPECT_EQ(openCode, plugins.at(name)) << name;
    }
    const TiXmlElement* core = root->FirstChildElement("Modules")->FirstChildElement("Module")->FirstChildElement();
    int coreLevel = -1;
    core->QueryIntAttribute("LogLevel", &coreLevel);
    EXPECT_EQ(0, coreLevel);

    // The log sink wrote what was routed to it.
    EXPECT_NE(std::string::npos,
              dvrtest::ReadFile(work + "/logs/dvrcore.log").find("successfully started core version"));
}

}  // namespace
