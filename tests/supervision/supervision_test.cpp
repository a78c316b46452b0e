// The supervision of plugins in the real core: a plugin that hangs in every
// entry point it is called through, and one that crashes in several places,
// run after run in the same working directory.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "core_process.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;
const std::string kPlugin = "supervised.so";

// core.xml with the core's information lines on and a stall threshold.
std::string CoreXml(const std::string& supervision)
{
    std::string xml = dvrtest::CoreXmlWithLevels(25);
    return xml.insert(xml.rfind("</Vgil>"), "    " + supervision + "\n");
}

struct CallLines {
    long long stalledMs = -1;  // from the line logged while the call ran
    long long returnedMs = -1;
    std::size_t stalledAt = std::string::npos;
    std::size_t returnedAt = std::string::npos;
};

CallLines FindCallLines(const std::string& output, const std::string& entry, const std::string& thread)
{
    CallLines lines;
    const std::string prefix = "plugin " + kPlugin + " " + entry + " on the " + thread + " thread ";
    std::smatch match;
    const std::regex stalled(prefix + "has not returned for ([0-9]+) ms");
    const std::regex returned(prefix + "returned after ([0-9]+) ms");
    if (std::regex_search(output, match, stalled)) {
        lines.stalledMs = std::stoll(match[1]);
        lines.stalledAt = static_cast<std::size_t>(match.position(0));
    }
    if (std::regex_search(output, match, returned)) {
        lines.returnedMs = std::stoll(match[1]);
        lines.returnedAt = static_cast<std::size_t>(match.position(0));
    }
    return lines;
}

TEST(Supervision, EveryHangingEntryIsReportedWhileItRunsAndWhenItReturns)
{
    dvrtest::CoreLayout layout;
    layout.AddPlugin("supervised");
    const std::string supervision = "<Supervision StallMs=\"1000\" />";
    dvrtest::WriteFile(layout.workDir() + "/core.xml", CoreXml(supervision));
    dvrtest::WriteFile(layout.workDir() + "/supervised.txt", "hang 1600\n");
    dvrtest::Process core(dvrtest::CoreOptions(layout));
    ASSERT_TRUE(core.WaitForOutput("successfully started core version", kTimeout)) << core.Output();
    for (const char* entry : {"Write on the dispatcher", "IOCTL on the dispatcher", "Read on the delivery"}) {
        ASSERT_TRUE(core.WaitForOutput(std::string(entry) + " thread returned after", kTimeout)) << core.Output();
    }
    core.Signal(SIGTERM);
    // The last line the core prints; read before the exit ends the capture.
    EXPECT_TRUE(core.WaitForOutput("Unload on the main thread returned after", kTimeout)) << core.Output();
    ASSERT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();

    const std::string output = core.Output();
    const std::pair<const char*, const char*> calls[] = {
        {"Load", "main"},     {"Open", "main"},  {"Write", "dispatcher"}, {"IOCTL", "dispatcher"},
        {"Read", "delivery"}, {"Close", "main"}, {"Unload", "main"}};
    for (const auto& [entry, thread] : calls) {
        const CallLines lines = FindCallLines(output, entry, thread);
        ASSERT_NE(lines.stalledAt, std::string::npos) << entry << "\n" << output;
        ASSERT_NE(lines.returnedAt, std::string::npos) << entry << "\n" << output;
        EXPECT_LT(lines.stalledAt, lines.returnedAt) << entry;
        EXPECT_GE(lines.stalledMs, 1000) << entry;
        EXPECT_LT(lines.stalledMs, lines.returnedMs) << entry << ": logged while the call still ran";
        EXPECT_GE(lines.returnedMs, 1300) << entry;
    }
    std::smatch waiting;
    ASSERT_TRUE(std::regex_search(output, waiting,
                                  std::regex("Write on the dispatcher thread has not returned "
                                             "for [0-9]+ ms, ([0-9]+) events waiting behind it")));
    EXPECT_GT(std::stoi(waiting[1]), 0) << "the worker's events queue up behind the hanging Write";
    EXPECT_NE(dvrtest::ReadFile(layout.workDir() + "/core.xml").find(supervision), std::string::npos)
        << "the setting survives the core's rewrite of core.xml";
}

TEST(Supervision, CrashesNameThePluginAndTheNextStartReportsThem)
{
    // The crashes are on purpose: no core files.
    const rlimit noCore{0, 0};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &noCore), 0);
    dvrtest::CoreLayout layout;
    layout.AddPlugin("supervised");
    dvrtest::WriteFile(layout.workDir() + "/core.xml", CoreXml("<Supervision StallMs=\"0\" />"));
    const std::string crashFile = layout.workDir() + "/last-crash.txt";
    const std::string signal = "crash: signal 11 (SIGSEGV) at address ";
    const std::pair<const char*, std::string> crashes[] = {
        {"Open", signal + "0x10 in plugin supervised.so (entry Open, main thread), backtrace: supervised.so+"},
        {"Write", signal + "0x10 in plugin supervised.so (entry Write, dispatcher thread), backtrace: supervised.so+"},
        {"worker", signal + "0x10 in plugin supervised.so (entry IOCTL, worker thread), backtrace: supervised.so+"},
        // The bad pointer is read by the core's entry, on behalf of the plugin.
        {"callback", signal + "0x10 in core code called from plugin supervised.so (entry Write, dispatcher thread)"},
        // In the C library, on a thread the plugin started itself.
        {"thread", signal + "0x10 in code on a thread of plugin supervised.so, backtrace: 0x"},
    };
    std::string previous;
    for (const auto& [where, line] : crashes) {
        SCOPED_TRACE(where);
        dvrtest::WriteFile(layout.workDir() + "/supervised.txt", std::string("crash ") + where + "\n");
        dvrtest::Process core(dvrtest::CoreOptions(layout));
        EXPECT_EQ(core.Wait(kTimeout), 128 + SIGSEGV) << core.Output() << core.Errors();
        EXPECT_NE(core.Errors().find(line), std::string::npos) << core.Errors();
        EXPECT_EQ(core.Errors().find("\ncrash: "), std::string::npos) << "one line only";
        const std::string kept = dvrtest::ReadFile(crashFile);
        EXPECT_EQ(kept.find(line), 0u) << kept;
        if (!previous.empty()) {
            EXPECT_NE(core.Output().find("the previous run ended with a " + previous), std::string::npos)
                << core.Output();
        }
        previous = kept.substr(0, kept.find('\n'));
        // These crashes are wanted: no streak toward a quarantine.
        std::remove((layout.workDir() + "/plugin-quarantine.xml").c_str());
    }

    dvrtest::WriteFile(layout.workDir() + "/supervised.txt", "behave\n");
    dvrtest::Process core(dvrtest::CoreOptions(layout));
    ASSERT_TRUE(core.WaitForOutput("successfully started core version", kTimeout)) << core.Output();
    core.Signal(SIGTERM);
    ASSERT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();
    EXPECT_NE(core.Output().find("the previous run ended with a " + previous), std::string::npos) << core.Output();
    EXPECT_FALSE(dvrtest::FileExists(crashFile)) << "reported once";
}

TEST(Supervision, APluginThatCrashesAtEveryStartIsQuarantinedUntilItsFileIsReplaced)
{
    const rlimit noCore{0, 0};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &noCore), 0);
    dvrtest::CoreLayout layout;
    layout.AddPlugin("supervised");
    layout.AddPlugin("tp_consumer");
    dvrtest::WriteFile(layout.workDir() + "/core.xml", CoreXml("<Supervision StallMs=\"0\" />"));
    // Its first event crashes it.
    dvrtest::WriteFile(layout.workDir() + "/supervised.txt", "crash Write\n");
    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE(start);
        dvrtest::Process core(dvrtest::CoreOptions(layout));
        EXPECT_EQ(core.Wait(kTimeout), 128 + SIGSEGV) << core.Output() << core.Errors();
        EXPECT_EQ(core.Output().find("quarantined"), std::string::npos) << core.Output();
    }

    dvrtest::Process standin(
        dvrtest::StandinOptions(layout, {"--do", "plugins", "--do", "wait-packets 1", "--do", "stop"}));
    EXPECT_EQ(standin.Wait(kTimeout), 0) << standin.Output();
    const std::string output = standin.Output();
    EXPECT_NE(output.find("plugin supervised.so crashed the core at 2 starts in a row: quarantined"), std::string::npos)
        << output;
    EXPECT_NE(output.find("plugin supervised.so is quarantined: not loaded"), std::string::npos);
    EXPECT_NE(output.find("standin:   quarantined supervised.so: crashed the core at consecutive starts\n"),
              std::string::npos);
    EXPECT_NE(output.find("standin:   plugin tp_consumer.so id "), std::string::npos) << "the others load";
    EXPECT_EQ(output.find("standin:   plugin supervised.so"), std::string::npos);
    EXPECT_NE(dvrtest::ReadFile(layout.workDir() + "/core.xml")
                  .find("Filename=\"supervised.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
                        "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" Quarantined=\"1\""),
              std::string::npos)
        << dvrtest::ReadFile(layout.workDir() + "/core.xml");

    // A new file is a new plugin.
    ASSERT_EQ(::unlink((layout.pluginDir() + "/supervised.so").c_str()), 0);
    layout.AddPlugin("supervised");
    dvrtest::WriteFile(layout.workDir() + "/supervised.txt", "behave\n");
    dvrtest::Process core(dvrtest::CoreOptions(layout));
    ASSERT_TRUE(core.WaitForOutput("successfully started core version", kTimeout)) << core.Output();
    core.Signal(SIGTERM);
    ASSERT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();
    EXPECT_NE(core.Output().find("plugin supervised.so was replaced: its quarantine is lifted"), std::string::npos)
        << core.Output();
    const std::string configuration = dvrtest::ReadFile(layout.workDir() + "/core.xml");
    EXPECT_NE(configuration.find("ID=\"10813440\" Filename=\"supervised.so\""), std::string::npos) << configuration;
    EXPECT_EQ(configuration.find("Quarantined="), std::string::npos);
}

// One attribute of the PluginUsage element of `file` in `document`.
long long Usage(const std::string& document, const std::string& file, const std::string& attribute)
{
    std::smatch match;
    const std::regex element("<PluginUsage [^>]*Filename=\"" + file + "\"[^>]*>");
    if (!std::regex_search(document, match, element)) {
        return -1;
    }
    const std::string usage = match[0];
    if (!std::regex_search(usage, match, std::regex(" " + attribute + "=\"([0-9]+)\""))) {
        return -1;
    }
    return std::stoll(match[1]);
}

TEST(Supervision, AccountingDocumentCountsAPluginsKnownTraffic)
{
    dvrtest::CoreLayout layout;
    layout.AddPlugin("supervised");
    dvrtest::WriteFile(layout.workDir() + "/core.xml", CoreXml("<Supervision AccountingSeconds=\"0\" />"));
    dvrtest::WriteFile(layout.workDir() + "/supervised.txt", "behave\n");
    const std::string copy = layout.workDir() + "/accounting.xml";
    dvrtest::Process core(dvrtest::CoreOptions(layout));
    ASSERT_TRUE(core.WaitForOutput("successfully started core version", kTimeout)) << core.Output();
    for (int i = 0; i < 600 && !dvrtest::FileExists(copy); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    core.Signal(SIGTERM);
    ASSERT_EQ(core.Wait(kTimeout), 0) << core.Output() << core.Errors();

    const std::string document = dvrtest::ReadFile(copy);
    ASSERT_FALSE(document.empty()) << "the plugin's request was answered";
    const auto usage = [&document](const char* attribute) { return Usage(document, kPlugin, attribute); };
    EXPECT_EQ(usage("Raised"), 28) << document;  // 20 + 3 kept + 5 frames
    EXPECT_EQ(usage("NoSyncFrame"), 5);
    EXPECT_EQ(usage("Refused") + usage("FrameLimit") + usage("Throttled") + usage("NoMemory"), 0);
    // Its 23 events, and the memory status documents that came before.
    EXPECT_GE(usage("Delivered"), 23);
    EXPECT_LE(usage("Delivered"), 25);
    // A kept event takes 150 ms: it spans one or two of the 100 ms ticks.
    EXPECT_GE(usage("WriteMaxUs"), 100000);
    EXPECT_GE(usage("WriteUs"), 300000);
    EXPECT_EQ(usage("Ioctls"), 1) << "the configuration document";
    EXPECT_EQ(usage("BlocksKept"), 3);
    EXPECT_EQ(usage("BytesKept"), 300);
    EXPECT_GE(usage("Threads"), 2) << "worker and reader";
}

}  // namespace
