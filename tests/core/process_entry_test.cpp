// The dvrcore executable as the parent service and a person see it: command
// line, exit statuses, stop signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "core_process.h"
#include "plugin_api.h"

namespace {

using dvrtest::CoreLayout;
using dvrtest::Process;
using std::chrono::milliseconds;

constexpr milliseconds kStart{30000};
constexpr milliseconds kExit{30000};

struct Outcome {
    int status;
    std::string errors;
    std::string output;
};

// Runs the core with `args` to its end (it must end by itself).
Outcome RunToEnd(const CoreLayout& layout, std::vector<std::string> args, std::vector<int> keepFds = {})
{
    auto options = dvrtest::CoreOptions(layout, std::move(args));
    options.keepFds = std::move(keepFds);
    Process core(options);
    const int status = core.Wait(kExit);
    return {status, core.Errors(), core.Output()};
}

TEST(ProcessEntry, HelpOptionsPrintVersionAndUsageOnStandardError)
{
    CoreLayout layout;
    for (const char* option : {"-h", "-help", "-hx"}) {
        for (const auto& args : {std::vector<std::string>{option}, std::vector<std::string>{option, "5"}}) {
            const Outcome run = RunToEnd(layout, args);
            EXPECT_EQ(run.status, 0) << option;
            EXPECT_EQ(run.errors, "core version 21.12.2.0\nUsage: " + layout.executable() + " <pipe>\n") << option;
            EXPECT_EQ(run.output, "") << option;
        }
    }
}

TEST(ProcessEntry, DescriptorThatIsNoSocketFailsInitialisation)
{
    CoreLayout layout;
    // 5 is closed in the child: "-h" after the descriptor is never looked at.
    Outcome run = RunToEnd(layout, {"5", "-h"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.errors, "failed to initialize core\n");

    // "abc" has no digits: descriptor 0, here /dev/null.
    run = RunToEnd(layout, {"abc"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.errors, "failed to initialize core\n");

    // A regular file and a pipe are inherited but are no socket.
    const int file = ::open(layout.executable().c_str(), O_RDONLY);
    run = RunToEnd(layout, {std::to_string(file)}, {file});
    EXPECT_EQ(run.status, 2);
    ::close(file);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    run = RunToEnd(layout, {std::to_string(fds[0])}, {fds[0]});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.errors, "failed to initialize core\n");
    ::close(fds[0]);
    ::close(fds[1]);
}

// Starts the core without a link and waits for its start line.
std::unique_ptr<Process> StartCore(const CoreLayout& layout, std::vector<std::string> args)
{
    auto core = std::make_unique<Process>(dvrtest::CoreOptions(layout, std::move(args)));
    EXPECT_TRUE(core->WaitForOutput("core   successfully started core version 21.12.2.0\n", kStart)) << core->Output();
    return core;
}

TEST(ProcessEntry, EachStopSignalStopsTheCoreWithStatusZero)
{
    CoreLayout layout;
    for (int number : {SIGINT, SIGTERM, SIGQUIT}) {
        // "--help" and a bare dash are options to skip, not help.
        auto core = StartCore(layout, {"--help", "-"});
        core->Signal(number);
        EXPECT_EQ(core->Wait(kExit), 0) << number;
        EXPECT_NE(core->Output().find("core   stopping core version 21.12.2.0...\n"), std::string::npos)
            << core->Output();
        EXPECT_EQ(core->Errors(), "");
    }
}

TEST(ProcessEntry, FurtherSignalsDuringShutdownChangeNothing)
{
    CoreLayout layout;
    auto core = StartCore(layout, {});
    for (int number : {SIGTERM, SIGINT, SIGQUIT, SIGTERM}) {
        core->Signal(number);
    }
    EXPECT_EQ(core->Wait(kExit), 0);
    const std::string output = core->Output();
    EXPECT_EQ(output.find("stopping core"), output.rfind("stopping core"));
}

TEST(ProcessEntry, LogLinesAreColouredOnTerminalAndAbsentOtherwise)
{
    CoreLayout layout;
    auto core = StartCore(layout, {});
    core->Signal(SIGTERM);
    ASSERT_EQ(core->Wait(kExit), 0);
    // Level 25: time in green, name in cyan, text after the reset.
    const std::string raw = core->RawOutput();
    EXPECT_NE(raw.find("\x1b[32m"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\x1b[36m core  \x1b[0m successfully started core version 21.12.2.0\r\n"), std::string::npos)
        << raw;

    // Without a terminal there is no start line to wait for; core.xml is
    // written once the core handles its stop signals.
    const std::string written = layout.workDir() + "/core.xml";
    ASSERT_EQ(std::remove(written.c_str()), 0);
    auto options = dvrtest::CoreOptions(layout, {}, /*terminal=*/false);
    Process quiet(options);
    const auto deadline = std::chrono::steady_clock::now() + kStart;
    while (!dvrtest::FileExists(written) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_TRUE(dvrtest::FileExists(written));
    quiet.Signal(SIGTERM);
    EXPECT_EQ(quiet.Wait(kExit), 0);
    EXPECT_EQ(quiet.RawOutput(), "");
}

}  // namespace

namespace {

// Starts the core on one end of a fresh socket pair of `type`; the other end,
// the parent's, goes to `parentEnd`.
std::unique_ptr<Process> StartLinked(const CoreLayout& layout, int type, int* parentEnd)
{
    int ends[2];
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair";
        ends[0] = ends[1] = -1;
    }
    auto options = dvrtest::CoreOptions(layout, {std::to_string(ends[1])});
    options.keepFds = {ends[1]};
    auto core = std::make_unique<Process>(options);
    ::close(ends[1]);
    *parentEnd = ends[0];
    return core;
}

// Asio adopts a socket of another type as it adopts the sequenced-packet
// one; a stream link still carries whole packets, cut by their length.
TEST(ProcessEntry, StreamSocketIsAdoptedAndCarriesTheStopPacket)
{
    CoreLayout layout;
    int parent = -1;
    auto core = StartLinked(layout, SOCK_STREAM, &parent);
    const uint32_t stop[4] = {16, 0, IPC_STOP, 0};
    ASSERT_EQ(::send(parent, stop, sizeof stop, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof stop));
    EXPECT_EQ(core->Wait(kExit), 0);  // no one-minute pause: the link was not lost
    EXPECT_NE(core->Output().find("stopping core version"), std::string::npos) << core->Output();
    ::close(parent);
}

// The parent goes away before the core has even started: ioThread closes the
// link while the main thread decides whether to wait for the announcement.
// The thread sanitizer build checks that the two agree through ipcOpen alone.
TEST(ProcessEntry, LinkLostDuringStartUpStopsTheCore)
{
    CoreLayout layout;
    int parent = -1;
    auto core = StartLinked(layout, SOCK_SEQPACKET, &parent);
    ::close(parent);
    // The minute's pause of a lost link follows; the test ends the core then.
    ASSERT_TRUE(core->WaitForOutput("stopping core version", kStart)) << core->Output() << core->Errors();
    EXPECT_NE(core->Output().find("vigild ipc pipe disconnected"), std::string::npos) << core->Output();
    EXPECT_FALSE(core->WaitForErrors("ThreadSanitizer", milliseconds(500))) << core->Errors();
}

// Plugins find the wxWidgets base library initialised, on the device too.
TEST(ProcessEntry, PluginsFindTheBaseLibraryInitialised)
{
    CoreLayout layout;
    layout.AddPlugin("probe_wxbase");
    auto core = StartCore(layout, {});
    EXPECT_NE(core->Output().find("probe wxbase application: initialised"), std::string::npos) << core->Output();
    core->Signal(SIGTERM);
    EXPECT_EQ(core->Wait(kExit), 0);
}

}  // namespace
