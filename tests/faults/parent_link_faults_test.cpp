// A parent that misbehaves on the link: it sends garbage, closes the link in
// the middle of a packet, or stops reading. The test plays the parent on a
// socketpair of its own; the link plugin (a soak plugin) answers on the
// core's side while a producer and a consumer keep the core busy.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core_process.h"
#include "plugin_reports.h"
#include "soak_traffic.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr auto kTimeout = 60s;
// Well below the one-minute pause of a lost link.
constexpr auto kStopWithoutPause = 40s;

Bytes Header(uint32_t length, uint32_t target, uint32_t type)
{
    const IpcPacketHeader header{length, target, type, 0};
    Bytes bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

Bytes Packet(uint32_t index, uint32_t type, std::size_t payload)
{
    Bytes bytes = Header(static_cast<uint32_t>(IPC_HEADER_SIZE + payload), index << 20, type);
    for (std::size_t i = 0; i < payload; ++i) {
        bytes.push_back(static_cast<uint8_t>(i));
    }
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

class ParentFaults : public testing::Test {
protected:
    ~ParentFaults() override
    {
        core_.reset();
        if (parent_ >= 0) {
            ::close(parent_);
        }
    }

    // Starts the core on a fresh link, announces the parent and waits until
    // the core runs.
    void StartCore()
    {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        parent_ = ends[0];
        dvrtest::ProcessOptions options = dvrtest::CoreOptions(layout_, {std::to_string(ends[1])});
        options.keepFds = {ends[1]};
        core_ = std::make_unique<dvrtest::Process>(options);
        ::close(ends[1]);
        const std::string texts(
            "vigild\0"
            "1.0",
            10);
        Bytes announcement = Header(static_cast<uint32_t>(IPC_HEADER_SIZE + texts.size()), 0, IPC_ANNOUNCE);
        announcement.insert(announcement.end(), texts.begin(), texts.end());
        Send(announcement);
        ASSERT_TRUE(WaitUntil([this] { return Has("successfully started core version"); })) << Output();
    }

    void Send(const Bytes& bytes)
    {
        ASSERT_EQ(::send(parent_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Takes what the core has sent so far: the number of packets by type.
    void Read()
    {
        Bytes buffer(IPC_MAX_PACKET);
        ssize_t got = 0;
        while (parent_ >= 0 && (got = ::recv(parent_, buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 16) {
            IpcPacketHeader header;
            std::memcpy(&header, buffer.data(), sizeof header);
            ++received_[header.packetType];
            receivedLengths_[header.packetType].push_back(static_cast<std::size_t>(got));
        }
    }

    void Pause(std::chrono::milliseconds time)
    {
        WaitUntil([] { return false; }, time);
    }

    // Waits for `condition`, reading the link meanwhile unless told not to.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kTimeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (!condition()) {
            if (Clock::now() > deadline) {
                return false;
            }
            if (reading_) {
                Read();
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    // Asks the link plugin to stop its beats, then the core to stop; the
    // core's exit status.
    int Stop()
    {
        Send(Packet(SOAK_LINK_INDEX, SOAK_PACKET_QUIET, 0));
        Pause(300ms);
        Send(Header(IPC_HEADER_SIZE, 0, IPC_STOP));
        WaitUntil([this] { return !core_->Running(); }, kStopWithoutPause);
        return core_->Wait(1s);
    }

    bool Has(const std::string& text) { return core_->Output().find(text) != std::string::npos; }
    std::size_t Count(const std::string& text)
    {
        const std::string output = core_->Output();
        std::size_t count = 0;
        for (auto at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) {
            ++count;
        }
        return count;
    }
    std::string Output() { return core_->Output() + core_->Errors(); }
    PluginReports Reports() { return PluginReports(dvrtest::ReadFile(layout_.workDir() + "/" + SOAK_REPORT)); }

    dvrtest::CoreLayout layout_;
    std::unique_ptr<dvrtest::Process> core_;
    int parent_ = -1;
    bool reading_ = true;
    std::map<uint32_t, std::size_t> received_;
    std::map<uint32_t, std::vector<std::size_t>> receivedLengths_;
};

TEST_F(ParentFaults, GarbageIsDroppedAndTheLinkGoesOn)
{
    layout_.AddPlugin("fault_link");
    StartCore();

    Send(Header(0, SOAK_LINK_INDEX << 20, SOAK_PACKET_FROM_PARENT));  // a length of 0
    Send({0xff, 0xff, 0xff, 0xff, 0x01});                             // a length beyond any packet ...
    Send(Bytes(11, 0x55));                                            // ... once 16 bytes are there
    Send(Join({Header(3, 0, 0), Bytes(13, 0xaa)}));                   // a length shorter than a header
    Send(Packet(77, SOAK_PACKET_FROM_PARENT, 1));                     // for a plugin that is not there
    Send(Packet(SOAK_LINK_INDEX, 999, 0));                            // of a type the plugin does not know
    const Bytes split = Packet(SOAK_LINK_INDEX, SOAK_PACKET_FROM_PARENT, 24);
    Send(Bytes(split.begin(), split.begin() + 10));
    Send(Bytes(split.begin() + 10, split.end()));
    Send(Join(
        {Packet(SOAK_LINK_INDEX, SOAK_PACKET_FROM_PARENT, 1), Packet(SOAK_LINK_INDEX, SOAK_PACKET_FROM_PARENT, 2)}));
    Send(Packet(SOAK_LINK_INDEX, SOAK_PACKET_FROM_PARENT, IPC_MAX_PACKET - IPC_HEADER_SIZE));
    ASSERT_TRUE(WaitUntil([this] { return received_[SOAK_PACKET_ECHO] == 4; })) << Output();

    EXPECT_EQ(Stop(), 0) << Output();
    EXPECT_EQ(Count("bad ipc packet length"), 3u);
    EXPECT_EQ(Count("link got packet 100 of "), 4u);
    EXPECT_TRUE(Has("link got packet 999 of 16 bytes"));
    EXPECT_EQ(receivedLengths_[SOAK_PACKET_ECHO], (std::vector<std::size_t>{40, 17, 18, IPC_MAX_PACKET}));
    const PluginReports reports = Reports();
    EXPECT_EQ(reports.Sum("link", "received"), 4u);
    EXPECT_EQ(reports.Sum("link", "bad"), 1u);
}

TEST_F(ParentFaults, ParentClosingInTheMiddleOfAPacketLosesTheLinkAndThePiece)
{
    layout_.AddPlugin("fault_link");
    StartCore();
    Send(Packet(SOAK_LINK_INDEX, SOAK_PACKET_FROM_PARENT, 4));
    ASSERT_TRUE(WaitUntil([this] { return Has("link got packet 100 of 20 bytes"); })) << Output();

    const Bytes cut = Packet(SOAK_LINK_INDEX, SOAK_PACKET_FROM_PARENT, 84);
    Send(Bytes(cut.begin(), cut.begin() + 40));
    ::close(parent_);
    parent_ = -1;

    EXPECT_TRUE(WaitUntil([this] { return Has("stopping core version"); })) << Output();
    EXPECT_TRUE(Has("vigild ipc pipe disconnected"));
    EXPECT_FALSE(Has("link got packet 100 of 100 bytes"));
    // The one-minute pause for the watchdogs follows; the test does not wait
    // for it.
}

TEST_F(ParentFaults, ParentThatStopsReadingLeavesTheCoreServing)
{
    layout_.AddPlugin("fault_link_flood");
    layout_.AddPlugin("soak_producer_a");
    layout_.AddPlugin("soak_consumer_a");
    reading_ = false;
    StartCore();

    // Packets from the parent are still handled while the writer waits.
    constexpr int kPackets = 20;
    for (int i = 0; i < kPackets; ++i) {
        Send(Packet(SOAK_LINK_INDEX, SOAK_PACKET_FROM_PARENT, 8));
    }
    Pause(2s);

    EXPECT_EQ(Stop(), 0) << Output();
    const PluginReports reports = Reports();
    EXPECT_EQ(reports.Sum("link", "received"), static_cast<uint64_t>(kPackets));
    EXPECT_GE(reports.Sum("link", "sent"), 2000u);
    const PluginReports::StreamCheck streams = reports.CheckStreams(1);
    EXPECT_GT(streams.events, 0u);
    EXPECT_TRUE(streams.failures.empty()) << streams.failures.front();
    Read();
    std::size_t read = 0;
    for (const auto& [type, count] : received_) {
        read += count;
    }
    std::printf("parent read nothing: %" PRIu64
                " packets were handed to the core for it, %zu were still in the "
                "socket at exit; %" PRIu64 " events flowed meanwhile\n",
                reports.Sum("link", "sent"), read, streams.events);
}

}  // namespace
