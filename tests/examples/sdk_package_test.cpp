// The plugin SDK as its users get it: the hello plugin project of
// plugins/examples/hello built out of tree against an installed dvrcore, and run by
// that installed core; and the Debian package of this build.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include "core_process.h"
#include "host_command.h"
#include "test_paths.h"

namespace {

using std::chrono::seconds;

TEST(Sdk, HelloPluginBuildsAgainstTheInstalledPackageAndRuns)
{
    dvrtest::TempDir dir;
    const std::string prefix = dir / "prefix";
    const std::string cmake = DVRCORE_CMAKE_COMMAND;

    HostCommandResult step =
        RunHostCommand({cmake, "--install", DVRCORE_TEST_BINARY_DIR, "--prefix", prefix}, seconds(120));
    ASSERT_EQ(0, step.status) << step.output;

    // Only the installed package: no path into this source tree or build.
    std::vector<std::string> configure{cmake,
                                       "-S",
                                       std::string(DVRCORE_SOURCE_DIR) + "/plugins/examples/hello",
                                       "-B",
                                       dir / "build",
                                       "-G",
                                       "Ninja",
                                       "-DCMAKE_PREFIX_PATH=" + prefix,
                                       "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror"};
    // A cross build takes the toolchain file that the SDK installs.
    const bool cross = std::string(DVRCORE_TOOLCHAIN_FILE) != "";
    const std::string toolchain = prefix + "/lib/cmake/dvrcore/armhf-toolchain.cmake";
    ASSERT_TRUE(dvrtest::FileExists(toolchain));
    configure.push_back(cross ? "-DCMAKE_TOOLCHAIN_FILE=" + toolchain : "-DCMAKE_C_COMPILER=" DVRCORE_C_COMPILER);
    step = RunHostCommand(configure, seconds(120));
    ASSERT_EQ(0, step.status) << step.output;
    step = RunHostCommand({cmake, "--build", dir / "build"}, seconds(120));
    ASSERT_EQ(0, step.status) << step.output;
    // Its install rule puts the plugin where the installed core looks.
    step = RunHostCommand({cmake, "--install", dir / "build"}, seconds(60));
    ASSERT_EQ(0, step.status) << step.output;
    ASSERT_TRUE(dvrtest::FileExists(prefix + "/libexec/dvrcore/plugins/hello.so")) << step.output;

    // The camera's records, as a C plugin that reads frames includes them.
    dvrtest::WriteFile(dir / "frames.c",
                       "#include \"camera_stream.h\"\n"
                       "uint32_t FrameChannel(const WriteParms* parms)\n"
                       "{\n"
                       "    DvrMediaFrame frame = DvrLoadMediaFrame(parms);\n"
                       "    return frame.codec == DVR_CODEC_H265 ? DvrCameraProvider(frame.channel) : frame.channel;\n"
                       "}\n");
    step = RunHostCommand({DVRCORE_C_COMPILER, "-std=c11", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                           "-I" + prefix + "/include/dvrcore", dir / "frames.c"},
                          seconds(60));
    EXPECT_EQ(0, step.status) << step.output;

    const std::string work = dir / "work";
    ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
    dvrtest::WriteFile(work + "/hello.conf", "# hello's settings\n greeting = hi there   # what it says\nno setting here\n");
    dvrtest::ProcessOptions options;
    options.program = prefix + "/bin/dvrcore";
    options.workDir = work;
    options.terminal = true;
    dvrtest::Process core(options);
    EXPECT_TRUE(core.WaitForOutput("hello  hello from the hello plugin", seconds(30))) << core.Output();
    EXPECT_TRUE(core.WaitForOutput("hello  configuration received (", seconds(30))) << core.Output();
    // The installed helpers: settings file, subscription, event record.
    EXPECT_TRUE(core.WaitForOutput("hello  setting greeting: hi there\n", seconds(30))) << core.Output();
    EXPECT_TRUE(core.WaitForOutput("hello  hello.conf line 3 is not \"key = value\"", seconds(30)));
    EXPECT_TRUE(core.WaitForOutput("hello  hello event came back (6 bytes)", seconds(30))) << core.Output();
    core.Signal(SIGTERM);
    EXPECT_EQ(0, core.Wait(seconds(30))) << core.Output() << core.Errors();
    EXPECT_NE(std::string::npos, core.Output().find("hello  goodbye")) << core.Output();

    // The installed guide's relative links lead to installed files.
    const std::string docs = prefix + "/share/doc/dvrcore/docs";
    const std::string guide = dvrtest::ReadFile(docs + "/writing-plugins.md");
    ASSERT_FALSE(guide.empty());
    std::size_t links = 0;
    for (std::size_t at = guide.find("]("); at != std::string::npos; at = guide.find("](", at + 2)) {
        const std::string target = guide.substr(at + 2, guide.find_first_of(")#", at + 2) - at - 2);
        if (target.find("://") == std::string::npos && !target.empty()) {
            ++links;
            EXPECT_TRUE(dvrtest::FileExists(docs + "/" + target)) << target;
        }
    }
    EXPECT_GE(links, 5u) << "the guide links the hello plugin and the examples";
}

TEST(Package, DebianPackageHoldsCoreSdkAndExamplesForThisArchitecture)
{
    dvrtest::TempDir dir;
    HostCommandResult step =
        RunHostCommand({DVRCORE_CPACK_COMMAND, "--config", std::string(DVRCORE_TEST_BINARY_DIR) + "/CPackConfig.cmake",
                        "-B", dir.path()},
                       seconds(180), dir.path());
    ASSERT_EQ(0, step.status) << step.output;
    const std::string deb =
        dir / (std::string("dvrcore_") + DVRCORE_PACKAGE_VERSION + "_" + DVRCORE_DEB_ARCHITECTURE + ".deb");
    ASSERT_TRUE(dvrtest::FileExists(deb)) << step.output;

    step = RunHostCommand({"dpkg-deb", "--field", deb, "Architecture"}, seconds(30));
    EXPECT_EQ(std::string(DVRCORE_DEB_ARCHITECTURE) + "\n", step.output);
    step = RunHostCommand({"dpkg-deb", "--contents", deb}, seconds(30));
    ASSERT_EQ(0, step.status) << step.output;
    for (const char* path : {"./usr/libexec/dvrcore/dvrcore", "./usr/bin/dvrcore -> ../libexec/dvrcore/dvrcore",
                             "./usr/libexec/dvrcore/plugins/", "./usr/libexec/dvrcore/protected-plugins/",
                             "./usr/libexec/dvrcore/examples/recorder.so", "./usr/include/dvrcore/plugin_api.h",
                             "./usr/include/dvrcore/log_message.h", "./usr/lib/cmake/dvrcore/dvrcore-config.cmake",
                             "./usr/share/doc/dvrcore/docs/writing-plugins.md", "./usr/include/dvrcore/core_link.h",
                             "./usr/include/dvrcore/event_match.h", "./usr/include/dvrcore/entry_guard.h",
                             "./usr/include/dvrcore/plugin_settings.h", "./usr/lib/cmake/dvrcore/armhf-toolchain.cmake",
                             "./usr/share/doc/dvrcore/plugins/camera/",
                             "./usr/share/doc/dvrcore/plugins/examples/hello/hello.c",
                             "./usr/include/dvrcore/camera_stream.h"}) {
        EXPECT_NE(std::string::npos, step.output.find(path)) << path << "\n" << step.output;
    }
}

}  // namespace
