// Saves of core.xml when the disk fails the core: a full device, a write cut
// short by the file size limit, a rename that fails, and a process killed in
// the middle of saving. The file under the name is always a complete text,
// and a pending file is adopted only when it is complete.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "core_process.h"
#include "xml_document.h"
#include "xml_file.h"

namespace {

using namespace std::chrono_literals;

// A configuration-like document with `plugins` entries (about 100 bytes each).
void BuildDocument(XmlDocument& document, int plugins)
{
    TiXmlElement* module = AddElement(*AddElement(*StartDocument(document, "Vgil"), "Modules"), "Module");
    for (int i = 0; i < plugins; ++i) {
        TiXmlElement* plugin = AddElement(*module, "Plugin");
        plugin->SetAttribute("ID", 0x40000 + i);
        plugin->SetAttribute("Filename", "plugin-" + std::to_string(i) + ".so");
        plugin->SetAttribute("LogLevel", i % 101);
    }
}

std::string Text(int plugins)
{
    XmlDocument document;
    BuildDocument(document, plugins);
    return PrintIndented(document);
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Waits up to `timeout` for the child; its exit code, or -1 (then killed).
int WaitForChild(pid_t child, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SaveFaults : public testing::Test {
protected:
    void SetUp() override { dvrtest::WriteFile(name_, previous_); }

    dvrtest::TempDir dir_;
    const std::string name_ = dir_ / "core.xml";
    const std::string pending_ = name_ + PENDING_SUFFIX;
    const std::string previous_ = Text(3);
};

TEST_F(SaveFaults, FullDeviceFailsTheSaveAndKeepsThePreviousFile)
{
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    // The pending file lands on a device that is always full.
    ASSERT_EQ(::symlink("/dev/full", pending_.c_str()), 0);
    XmlDocument document;
    BuildDocument(document, 200);

    EXPECT_FALSE(SaveFile(document, name_));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_TRUE(StartsWith(document.ErrorDesc(), "write error " + std::to_string(ENOSPC) + " - "))
        << document.ErrorDesc();
    EXPECT_FALSE(dvrtest::FileExists(pending_));
    EXPECT_EQ(dvrtest::ReadFile(name_), previous_);
}

TEST_F(SaveFaults, WriteCutShortLeavesNoHalfFile)
{
    // In a child: the file size limit stops the write part way.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        XmlDocument document;
        BuildDocument(document, 200);
        const bool saved = SaveFile(document, name_);
        const bool reported = StartsWith(document.ErrorDesc(), "write error " + std::to_string(EFBIG) + " - ") ||
                              StartsWith(document.ErrorDesc(), "only wrote ");
        ::_exit(!saved && document.ErrorId() == 2 && reported ? 0 : 1);
    }
    EXPECT_EQ(WaitForChild(child, 20s), 0) << "the save did not fail as a write error";
    EXPECT_FALSE(dvrtest::FileExists(pending_));
    EXPECT_EQ(dvrtest::ReadFile(name_), previous_);
}

TEST_F(SaveFaults, FailedRenameLeavesNothingForTheNextLoadToAdopt)
{
    // A directory in the way: the pending file cannot replace it.
    ASSERT_EQ(::unlink(name_.c_str()), 0);
    ASSERT_EQ(::mkdir(name_.c_str(), 0755), 0);
    dvrtest::WriteFile(name_ + "/inside", "kept");
    XmlDocument document;
    BuildDocument(document, 2);

    EXPECT_FALSE(SaveFile(document, name_));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_TRUE(StartsWith(document.ErrorDesc(),
                           "Failed to rename .xml.pending to .xml file " + std::to_string(EISDIR) + " - "))
        << document.ErrorDesc();
    // The save failed: its text must not come back at the next load.
    EXPECT_FALSE(dvrtest::FileExists(pending_));
    EXPECT_EQ(dvrtest::ReadFile(name_ + "/inside"), "kept");
    XmlDocument loaded;
    EXPECT_FALSE(LoadFile(loaded, name_));
}

TEST_F(SaveFaults, KilledSavesLeaveCompleteFilesAndOnlyCompletePendingFilesAreAdopted)
{
    const std::string texts[] = {Text(300), Text(301)};
    std::mt19937 random(20211202);
    int pendingLeft = 0;
    int adopted = 0;
    constexpr int kKills = 12;
    for (int kill = 0; kill < kKills; ++kill) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Saves the two texts in turn until killed.
            XmlDocument documents[2];
            BuildDocument(documents[0], 300);
            BuildDocument(documents[1], 301);
            for (unsigned i = 0;; ++i) {
                SaveFile(documents[i % 2], name_);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % 40));
        ::kill(child, SIGKILL);
        ASSERT_EQ(WaitForChild(child, 20s), 128 + SIGKILL);

        const std::string before = dvrtest::ReadFile(name_);
        EXPECT_TRUE(before == previous_ || before == texts[0] || before == texts[1]) << "a half file under the name";
        if (!dvrtest::FileExists(pending_)) {
            continue;
        }
        ++pendingLeft;
        const std::string pending = dvrtest::ReadFile(pending_);
        const bool complete = pending == texts[0] || pending == texts[1];
        EXPECT_TRUE(complete || StartsWith(texts[0], pending) || StartsWith(texts[1], pending));
        XmlDocument loaded;
        ASSERT_TRUE(LoadFile(loaded, name_)) << loaded.ErrorDesc();
        EXPECT_EQ(PrintIndented(loaded), complete ? pending : before);
        EXPECT_EQ(dvrtest::FileExists(pending_), !complete);
        EXPECT_EQ(dvrtest::ReadFile(name_), complete ? pending : before);
        adopted += complete ? 1 : 0;
    }
    // What a power cut leaves: the first half of a text.
    dvrtest::WriteFile(pending_, texts[1].substr(0, texts[1].size() / 2));
    const std::string before = dvrtest::ReadFile(name_);
    XmlDocument loaded;
    ASSERT_TRUE(LoadFile(loaded, name_));
    EXPECT_EQ(PrintIndented(loaded), before);
    EXPECT_TRUE(dvrtest::FileExists(pending_));
    std::printf("saves killed %d times: pending file left %d times, %d of them complete and adopted\n", kKills,
                pendingLeft, adopted);
}

}  // namespace
