// parent-standin driven the way scripts and supervisors drive it: under
// `timeout`, with standard input closed, in a background process group of a
// terminal, stopped by each stop signal; typed commands beside scripted ones;
// and its plugin listing.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core_process.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;

class StandinScripted : public testing::Test {
protected:
    // The stand-in's command line (launcher words first on cross builds).
    std::vector<std::string> StandinCommand(const std::vector<std::string>& options)
    {
        std::vector<std::string> words = dvrtest::Launcher();
        words.push_back(dvrtest::BuiltProgram("parent-standin"));
        for (const std::string& word : dvrtest::Launcher()) {
            words.insert(words.end(), {"--launcher", word});
        }
        words.insert(words.end(), {"--workdir", layout_.workDir()});
        words.insert(words.end(), options.begin(), options.end());
        words.push_back(layout_.executable());
        return words;
    }

    // Starts the stand-in with `options`, standard input from `stdinPath`
    // ("" = /dev/null).
    void RunStandin(const std::vector<std::string>& options, const std::string& stdinPath = "")
    {
        dvrtest::ProcessOptions process;
        const std::vector<std::string> command = StandinCommand(options);
        process.program = command.front();
        process.args.assign(command.begin() + 1, command.end());
        process.useLauncher = false;
        process.workDir = layout_.workDir();
        process.stdinPath = stdinPath;
        process_ = std::make_unique<dvrtest::Process>(process);
    }

    // Runs `script` in sh with "$@" = `timeout --preserve-status 120` and the
    // stand-in's command line.
    void StartUnderTimeout(const std::string& script, bool terminal)
    {
        dvrtest::ProcessOptions options;
        options.program = "/bin/sh";
        options.args = {"-c", script, "sh", "timeout", "--preserve-status", "120"};
        for (const std::string& word : StandinCommand({})) {
            options.args.push_back(word);
        }
        options.workDir = layout_.workDir();
        options.useLauncher = false;
        options.terminal = terminal;
        options.controllingTerminal = terminal;
        process_ = std::make_unique<dvrtest::Process>(options);
    }

    // The number after `label` in the output, 0 when missing.
    pid_t PidAfter(const std::string& label)
    {
        const std::string output = process_->Output();
        const std::size_t at = output.find(label);
        return at == std::string::npos ? 0 : static_cast<pid_t>(std::atol(output.c_str() + at + label.size()));
    }

    // Sends `number` to `timeout`, which passes it on to the stand-in, and
    // checks that the stand-in stopped the core and exited with its status.
    void StopBy(int number)
    {
        ASSERT_TRUE(process_->WaitForOutput("target 0x00500000 type 200", kTimeout)) << Output();
        const pid_t timeout = PidAfter("timeout pid ");
        const pid_t core = PidAfter("(pid ");
        ASSERT_GT(timeout, 0) << Output();
        ASSERT_GT(core, 0) << Output();
        ::kill(timeout, number);
        EXPECT_TRUE(process_->WaitForOutput("timeout exited with 0", kTimeout)) << Output();
        EXPECT_NE(Output().find("sending stop packet"), std::string::npos) << Output();
        EXPECT_NE(Output().find("standin: core exited with status 0"), std::string::npos) << Output();
        // The stand-in reaps the core before it exits: nothing may be left.
        if (::kill(core, 0) == 0) {
            ::kill(core, SIGKILL);
            ADD_FAILURE() << "the core outlived the stand-in\n" << Output();
        }
        process_->Wait(kTimeout);
    }

    std::string Output() { return process_->Output() + process_->Errors(); }

    dvrtest::CoreLayout layout_;
    std::unique_ptr<dvrtest::Process> process_;
};

// `timeout` runs the stand-in in a process group of its own, with standard
// input as `redirection` says; sh reports its pid and its exit status.
std::string UnderTimeout(const std::string& redirection)
{
    return "\"$@\" " + redirection + " & echo \"timeout pid $!\"; wait $!; echo \"timeout exited with $?\"";
}

TEST_F(StandinScripted, EachStopSignalStopsTheCoreWithStandardInputClosed)
{
    layout_.AddPlugin("ipc_probe");
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        // A closed descriptor 0 must not become the link: the core's hello
        // packet would then be read as commands.
        StartUnderTimeout(UnderTimeout("<&-"), false);
        StopBy(number);
        EXPECT_EQ(Output().find("unknown command"), std::string::npos) << Output();
    }
}

TEST_F(StandinScripted, InABackgroundGroupOfATerminalTypedInputNeitherStopsNorHangsIt)
{
    layout_.AddPlugin("ipc_probe");
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        StartUnderTimeout("exec 3<&0; " + UnderTimeout("0<&3"), true);
        ASSERT_TRUE(process_->WaitForOutput("standin: started core", kTimeout)) << Output();
        // Reading it would stop a process of a background group (SIGTTIN).
        process_->Type("sleep 1\n");
        ASSERT_TRUE(process_->WaitForOutput("not reading commands from standard input", kTimeout)) << Output();
        StopBy(number);
    }
}

// Commands typed on standard input run as they come, beside the --do ones: a
// scripted wait is fulfilled by what a typed command brought, a typed wait
// holds back only the typed commands behind it, and the end of standard
// input leaves the scripted commands to finish.
TEST_F(StandinScripted, TypedCommandsRunBesideTheScriptedOnes)
{
    layout_.AddPlugin("ipc_probe");
    const std::string typed = layout_.root() + "/typed";
    dvrtest::WriteFile(typed, "plugins\nsleep 600000\naccounting\n");
    // The second packet is the listing that the typed command asks for.
    RunStandin({"--do", "wait-packets 2", "--do", "stop"}, typed);
    ASSERT_EQ(process_->Wait(kTimeout), 0) << Output();

    const std::string output = process_->Output();
    const std::size_t listing = output.find("standin: plugin listing (");
    ASSERT_NE(listing, std::string::npos) << Output();
    EXPECT_NE(output.find("sending stop packet", listing), std::string::npos) << Output();
    EXPECT_EQ(output.find("timed out"), std::string::npos) << Output();
    EXPECT_EQ(output.find("accounting request"), std::string::npos) << "held back by the typed sleep\n" << Output();
}

TEST_F(StandinScripted, PluginsAndAccountingCommandsShowWhatTheCoreLoaded)
{
    layout_.AddPlugin("ipc_probe");
    layout_.AddPlugin("tp_threads");
    layout_.AddPlugin("tp_consumer");
    dvrtest::WriteFile(layout_.pluginDir() + "/text.so", "this is no library\n");
    // Mapped, then refused: each for its own reason.
    layout_.AddPlugin("tp_consumer", "tp_twin.so");
    layout_.AddPlugin("tp_no_load");
    layout_.AddPlugin("tp_load_error");
    layout_.AddPlugin("tp_index_255");
    // The probe's packet comes while the plugins open; the readers start
    // after the last Open, so the listing waits a little longer for them.
    RunStandin({"--do", "wait-packets 1", "--do", "sleep 2000", "--do", "plugins", "--do", "wait-packets 2", "--do",
                "accounting", "--do", "wait-packets 3", "--do", "stop"});
    ASSERT_EQ(process_->Wait(kTimeout), 0) << Output();

    const std::string output = process_->Output();
    const std::size_t listing = output.find("standin: plugin listing (");
    ASSERT_NE(listing, std::string::npos) << Output();
    const std::string prefix = "\nstandin:   plugin ";
    for (const std::string& expected :
         {prefix + "ipc_probe.so id 0x00050000 index 5 module ipc_probe flags none threads none load ",
          prefix + "tp_consumer.so id 0x00610000 index 97 module tp_consumer flags writer threads none load ",
          std::string(" subscribes video=0xffffffff,audio=0xffffffff,status=0xffffffff,type_8=0xffffffff,"
                      "type_10=0xffffffff,type_20=0x00000010,log=0xffffffff,type_80=0xffffffff,"
                      "type_400=0xffffffff\n"),
          prefix + "tp_threads.so id 0x00300000 index 48 module tp_threads flags worker,reader threads "
                   "worker,reader load ",
          std::string("\nstandin:   failed text.so: ")}) {
        EXPECT_NE(output.find(expected, listing), std::string::npos) << expected << "\n" << Output();
    }
    // The refused ones last, in load order, after the files that failed to map.
    const std::size_t failed = output.find("\nstandin:   failed text.so: ", listing);
    EXPECT_NE(output.find("\nstandin:   refused tp_index_255.so: its ID 0x00FF0000 exceeds the log level array size\n"
                          "standin:   refused tp_load_error.so: Load returned 0 error 7\n"
                          "standin:   refused tp_no_load.so: does not export \"Load\"\n"
                          "standin:   refused tp_twin.so: its ID 0x00610000 is held by tp_consumer.so\n",
                          failed),
              std::string::npos)
        << Output();
    EXPECT_NE(output.find(" open 0 in ", listing), std::string::npos);
    EXPECT_NE(output.find(" ms subscribes none\n", listing), std::string::npos) << "ipc_probe takes no events";

    // One row per plugin; the worker and reader of tp_threads are running.
    const std::size_t table = output.find("standin: plugin accounting\n");
    ASSERT_NE(table, std::string::npos) << Output();
    EXPECT_NE(output.find("\nstandin:   0x00610000 tp_consumer.so ", table), std::string::npos) << Output();
    const std::size_t threads = output.find("\nstandin:   0x00300000 tp_threads.so ", table);
    ASSERT_NE(threads, std::string::npos) << Output();
    EXPECT_EQ(output.substr(output.find('\n', threads + 1) - 2, 2), " 2") << Output();
}

}  // namespace
