// The runner's process handling: it must read what its children print, on a
// terminal or a pipe, tell how they ended, and never leave one running, even
// one that ignores the polite signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "child_process.h"
#include "core_sandbox.h"

namespace {

using bench::ChildOptions;
using bench::ChildProcess;
using std::chrono::milliseconds;

ChildOptions Shell(const std::string& script, bool terminal = false)
{
    ChildOptions options;
    options.argv = {"/bin/sh", "-c", script};
    options.terminal = terminal;
    return options;
}

TEST(BenchRunner, ChildOutputStatusAndEnvironment)
{
    for (bool terminal : {false, true}) {
        ChildOptions options =
            Shell("if [ -t 1 ]; then echo tty; else echo pipe; fi; echo \"$DVRBENCH_X\" >&2", terminal);
        options.env = {"DVRBENCH_X=from the runner"};
        ChildProcess child(options);
        EXPECT_EQ(child.Wait(milliseconds(10000)), 0);
        const std::string expected = std::string(terminal ? "tty" : "pipe") + "\nfrom the runner\n";
        std::string output = child.output();
        output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
        EXPECT_EQ(output, expected);
    }
    ChildProcess failing(Shell("exit 3"));
    EXPECT_EQ(failing.Wait(milliseconds(10000)), 3);
    ChildProcess missing(Shell("exec /nonexistent/program"));
    EXPECT_NE(missing.Wait(milliseconds(10000)), 0);
}

TEST(BenchRunner, StopEscalatesAndReapsEveryChild)
{
    ChildProcess polite(Shell("sleep 30"));
    EXPECT_EQ(polite.Stop(SIGTERM, milliseconds(10000)), 128 + SIGTERM);

    // An ignored signal stays ignored across exec: no grandchild is left over.
    ChildProcess stubborn(Shell("trap '' TERM; echo ready; exec sleep 30"));
    ASSERT_TRUE(
        stubborn.WaitUntil([&] { return stubborn.output().find("ready") != std::string::npos; }, milliseconds(10000)));
    const pid_t pid = stubborn.pid();
    EXPECT_EQ(stubborn.Stop(SIGTERM, milliseconds(200)), -1);
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);

    pid_t abandoned;
    {
        ChildProcess forgotten(Shell("sleep 30"));
        abandoned = forgotten.pid();
    }
    EXPECT_EQ(::kill(abandoned, 0), -1);
}

TEST(BenchRunner, ResultLinesKeepQuotedValuesWhole)
{
    const bench::ResultWords words =
        bench::ParseResultLine("received=5 errors=1 first_error=\"event 3: payload byte 520 corrupted\" p50_ns=0\n");
    EXPECT_EQ(words.at("received"), "5");
    EXPECT_EQ(words.at("errors"), "1");
    EXPECT_EQ(words.at("first_error"), "event 3: payload byte 520 corrupted");
    EXPECT_EQ(words.at("p50_ns"), "0");
    EXPECT_TRUE(bench::ParseResultLine("").empty());
    EXPECT_TRUE(bench::ParseResultLine("garbage without words").empty());
}

}  // namespace
