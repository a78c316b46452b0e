// core.xml and product.xml as a real core reads and writes them in its
// working directory.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "bare_configuration.h"
#include "core_process.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;


// Starts the core of `layout`, waits until it has started, stops it; its output.
std::string RunCore(const dvrtest::CoreLayout& layout, const std::string& version = "21.12.2.0")
{
    dvrtest::Process core(dvrtest::CoreOptions(layout));
    EXPECT_TRUE(core.WaitForOutput("successfully started core version " + version, kTimeout))
        << core.Output() << core.Errors();
    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();
    return core.Output();
}

TEST(ConfigurationProcess, CoreWithoutFilesWritesItsConfiguration)
{
    dvrtest::CoreLayout layout;
    const std::string output = RunCore(layout);
    EXPECT_NE(output.find("Failed to load/parse core.xml 2 - Failed to open file."), std::string::npos) << output;
    EXPECT_EQ(dvrtest::ReadFile(layout.workDir() + "/core.xml"), dvrtest::kBareCoreXml);
    EXPECT_FALSE(dvrtest::FileExists(layout.workDir() + "/core.xml.pending"));
}

TEST(ConfigurationProcess, SettingsProductAndFailedPluginsReachTheWrittenFile)
{
    dvrtest::CoreLayout layout;
    dvrtest::WriteFile(layout.pluginDir() + "/broken.so", "no library\n");
    dvrtest::WriteFile(layout.workDir() + "/product.xml",
                       "<?xml ?><Info><Product Family=\"Vigil\" Version=\"9.8.7\" /></Info>");
    // A complete pending file from an interrupted save wins over core.xml.
    dvrtest::WriteFile(layout.workDir() + "/core.xml", dvrtest::CoreXmlWithLevels(50));
    dvrtest::WriteFile(layout.workDir() + "/core.xml.pending", dvrtest::CoreXmlWithLevels(0));

    const std::string output = RunCore(layout, "9.8.7");
    EXPECT_EQ(output.find("core.xml"), std::string::npos) << output;
    const std::string written = dvrtest::ReadFile(layout.workDir() + "/core.xml");
    EXPECT_NE(written.find("<Module ID=\"-2147483648\" Name=\"Core\" Version=\"9.8.7\">"), std::string::npos)
        << written;
    EXPECT_NE(written.find("Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" "
                           "LogLevel=\"0\" LogLevelDefault=\"25\" />"),
              std::string::npos)
        << written;
    EXPECT_NE(written.find("<Plugin ID=\"1\" Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
                           "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />"),
              std::string::npos)
        << written;
    EXPECT_NE(written.find("<Module ID=\"1\" Name=\"broken.so\" Version=\""), std::string::npos) << written;
    EXPECT_FALSE(dvrtest::FileExists(layout.workDir() + "/core.xml.pending"));
}

TEST(ConfigurationProcess, BadCoreXmlLeavesDefaultsAndIsReplaced)
{
    std::mt19937 random(5);
    std::string binary(100000, '\0');
    for (char& byte : binary) {
        byte = static_cast<char>(random() % 256);
    }
    binary[0] = '<';
    std::string deep = "<Vgil><Memory Throttling=\"1\" />";
    while (deep.size() < 10 * 1024 * 1024) {
        deep += "<Modules>";
    }
    for (const std::string* text : {&binary, &deep}) {
        dvrtest::CoreLayout layout;
        dvrtest::WriteFile(layout.workDir() + "/core.xml", *text);
        const std::string output = RunCore(layout);
        EXPECT_EQ(output.find("Failed to load") != std::string::npos, text == &binary) << output;
        EXPECT_EQ(dvrtest::ReadFile(layout.workDir() + "/core.xml"), dvrtest::kBareCoreXml);
    }
}

}  // namespace
