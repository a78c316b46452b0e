// DVRCORE_LOG: a plain copy of the log for runs without a terminal, beside
// (never instead of) the terminal's lines.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core_process.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;
constexpr char kStarted[] = "core   successfully started core version 21.12.2.0\n";
constexpr char kStopping[] = "core   stopping core version 21.12.2.0...\n";

// The core of `layout`, started with DVRCORE_LOG set to `target` (unset when
// empty): standard output on a pipe, or on a terminal.
class LoggedCore {
public:
    LoggedCore(const dvrtest::CoreLayout& layout, const std::string& target, bool terminal)
    {
        if (!target.empty()) {
            ::setenv("DVRCORE_LOG", target.c_str(), 1);
        }
        process_ = std::make_unique<dvrtest::Process>(dvrtest::CoreOptions(layout, {}, terminal));
        ::unsetenv("DVRCORE_LOG");
    }
    dvrtest::Process& process() { return *process_; }

    // Waits for `text` in the copy at `path` ("" = standard error).
    bool WaitForCopy(const std::string& path, const std::string& text)
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if ((path.empty() ? process_->Errors() : dvrtest::ReadFile(path)).find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    int Stop()
    {
        process_->Signal(SIGTERM);
        return process_->Wait(kTimeout);
    }

private:
    std::unique_ptr<dvrtest::Process> process_;
};

TEST(LogCopy, GoesUncolouredToStandardErrorOrAFileAndLeavesStandardOutputAsItWas)
{
    dvrtest::CoreLayout layout;
    {
        SCOPED_TRACE("stderr, standard output on a pipe");
        LoggedCore core(layout, "stderr", false);
        ASSERT_TRUE(core.WaitForCopy("", kStarted)) << core.process().Errors();
        EXPECT_EQ(core.Stop(), 0);
        EXPECT_NE(core.process().Errors().find(kStopping), std::string::npos) << core.process().Errors();
        EXPECT_EQ(core.process().Errors().find('\x1b'), std::string::npos) << "uncoloured";
        EXPECT_EQ(core.process().RawOutput(), "") << "nothing on a standard output that is no terminal";
    }
    {
        SCOPED_TRACE("a file, standard output on a terminal");
        const std::string file = layout.root() + "/copy.log";
        dvrtest::WriteFile(file, "kept\n");
        LoggedCore core(layout, file, true);
        ASSERT_TRUE(core.WaitForCopy(file, kStarted)) << dvrtest::ReadFile(file);
        EXPECT_TRUE(core.process().WaitForOutput(kStarted, kTimeout)) << "the terminal keeps its lines";
        EXPECT_EQ(core.Stop(), 0);
        const std::string copy = dvrtest::ReadFile(file);
        EXPECT_EQ(copy.rfind("kept\n", 0), 0u) << "appended";
        EXPECT_NE(copy.find(kStopping), std::string::npos) << copy;
        EXPECT_EQ(copy.find('\x1b'), std::string::npos) << copy;
        EXPECT_NE(core.process().RawOutput().find("\x1b[32m"), std::string::npos) << "the terminal stays coloured";
    }
    {
        SCOPED_TRACE("a file that cannot be opened");
        LoggedCore core(layout, layout.root() + "/missing/dir/copy.log", false);
        EXPECT_TRUE(core.process().WaitForErrors(
            "dvrcore: DVRCORE_LOG: cannot open " + layout.root() + "/missing/dir/copy.log: No such file or directory\n",
            kTimeout))
            << core.process().Errors();
        EXPECT_EQ(core.Stop(), 0) << "the core runs on without the copy";
    }
}

}  // namespace
