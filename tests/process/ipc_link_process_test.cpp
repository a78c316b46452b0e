// The real core on a real link: parent-standin plays the parent service and
// the ipc_probe plugins answer on the core's side.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = 60s;
// Well below the one-minute pause that only a lost link may cause.
constexpr auto kStopWithoutPause = 40s;

class IpcProcess : public testing::Test {
protected:
    // Starts the stand-in (and through it the core) with these options.
    void Start(const std::vector<std::string>& options)
    {
        started_ = Clock::now();
        standin_ = std::make_unique<dvrtest::Process>(dvrtest::StandinOptions(layout_, options));
    }

    std::string Output() { return standin_->Output() + standin_->Errors(); }

    // Position of `text` in the output, npos when missing.
    std::size_t Find(const std::string& text) { return standin_->Output().find(text); }

    dvrtest::CoreLayout layout_;
    std::unique_ptr<dvrtest::Process> standin_;
    Clock::time_point started_;
};

TEST_F(IpcProcess, PacketsTravelBothWaysAndCtrlCStopsWithoutPause)
{
    layout_.AddPlugin("ipc_probe");
    Start({"--do", "wait-packets 1", "--do", "send 9 100 aa", "--do", "send 5 100 c0ffee"});

    ASSERT_TRUE(standin_->WaitForOutput("received 19 bytes: target 0x00500000 type 100 data c0ffee", kTimeout))
        << Output();
    EXPECT_NE(Find("received 21 bytes: target 0x00500000 type 200 data 68656c6c6f"), std::string::npos);
    EXPECT_EQ(dvrtest::ReadFile(layout_.workDir() + "/ipc-probe-5.txt"),
              "length 19 target 0x00500000 type 100 data c0ffee\n")
        << "only the packet for index 5 reaches the probe";

    standin_->Signal(SIGINT);
    EXPECT_EQ(standin_->Wait(kStopWithoutPause), 0) << Output();
    EXPECT_NE(Find("sending stop packet"), std::string::npos);
    EXPECT_NE(Find("ipc probe 5 closed"), std::string::npos) << Output();
    EXPECT_EQ(Find("vigild ipc pipe disconnected"), std::string::npos);
}

TEST_F(IpcProcess, BackgroundAnnouncementSilencesTheLog)
{
    layout_.AddPlugin("ipc_probe");
    Start({"--background", "--do", "wait-packets 1", "--do", "stop"});

    EXPECT_EQ(standin_->Wait(kStopWithoutPause), 0) << Output();
    EXPECT_NE(Find("type 200 data 68656c6c6f"), std::string::npos) << Output();
    EXPECT_EQ(Find("ipc probe 5 opened"), std::string::npos) << Output();
    EXPECT_EQ(Find("successfully started core version"), std::string::npos);
}

TEST_F(IpcProcess, StartWaitsForTheAnnouncementWhilePluginsLog)
{
    layout_.AddPlugin("ipc_probe_startup_logger");
    // The worker's first packet says it is logging; the announcement follows.
    Start({"--no-announce", "--do", "wait-packets 1", "--do", "sleep 500", "--do", "announce vigild 1.0", "--do",
           "wait-packets 2", "--do", "stop"});

    EXPECT_EQ(standin_->Wait(kStopWithoutPause), 0) << Output();
    const std::size_t announced = Find("sending announcement");
    ASSERT_NE(announced, std::string::npos) << Output();
    EXPECT_LT(Find("ipc probe 6 waiting"), announced) << Output();
    EXPECT_GT(Find("ipc probe 6 opened"), announced) << Output();
}

TEST_F(IpcProcess, StartGoesOnAfterTenSecondsWithoutAnnouncement)
{
    layout_.AddPlugin("ipc_probe");
    Start({"--no-announce", "--do", "wait-packets 1 60000", "--do", "stop"});

    ASSERT_TRUE(standin_->WaitForOutput("type 200", kTimeout)) << Output();
    EXPECT_GE(Clock::now() - started_, 10s);
    EXPECT_EQ(standin_->Wait(kStopWithoutPause), 0) << Output();
}

TEST_F(IpcProcess, LostLinkPausesOneMinuteBeforePluginsClose)
{
    layout_.AddPlugin("ipc_probe");
    Start({"--do", "wait-packets 1", "--do", "close"});

    ASSERT_TRUE(standin_->WaitForOutput("stopping core version", kTimeout)) << Output();
    const Clock::time_point stopping = Clock::now();
    ASSERT_TRUE(standin_->WaitForOutput("ipc probe 5 closed", 90s)) << Output();
    EXPECT_GE(Clock::now() - stopping, 55s);
    EXPECT_EQ(standin_->Wait(kTimeout), 0) << Output();

    const std::size_t disconnected = Find("vigild ipc pipe disconnected");
    const std::size_t sleeping = Find("sleeping for one minute to allow active watchdogs to expire...");
    ASSERT_NE(disconnected, std::string::npos) << Output();
    EXPECT_LT(disconnected, sleeping);
    EXPECT_LT(sleeping, Find("stopping core version"));
}

}  // namespace
