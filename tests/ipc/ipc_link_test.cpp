// The IPC reader and writer of a real core on a real socketpair; the plugins
// are records whose IOCTL entry is a recording function of this test.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "dvrcore.h"
#include "ipc_packet.h"
#include "ipc_test_packets.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kTimeout = 20s;

struct Delivery {
    int plugin;
    IoctlParms parms;
    IoctlResult result;  // as the core prepared it
    std::vector<uint8_t> bytes;
    bool atBufferFront;
    bool withinBuffered;
};

// What the recording IOCTL entries saw, and what they answer.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
    int32_t returnValue = 0;
    int32_t errorValue = 0;

    bool WaitFor(std::size_t count)
    {
        return WaitUntil([&] { return deliveries.size() >= count; });
    }
    template <typename Done>
    bool WaitUntil(Done done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kTimeout, done);
    }
} recorder;

template <int Plugin>
int32_t RecordingIoctl(void* in, void* out)
{
    const auto* parms = static_cast<const IoctlParms*>(in);
    auto* result = static_cast<IoctlResult*>(out);
    const auto* data = static_cast<const uint8_t*>(parms->argData);
    Delivery delivery{
        Plugin, *parms, *result, {}, data == theCore->ipcBuffer.data(), parms->argLength <= theCore->ipcFill};
    if (delivery.atBufferFront && delivery.withinBuffered) {
        delivery.bytes.assign(data, data + parms->argLength);
    }
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.deliveries.push_back(std::move(delivery));
    recorder.changed.notify_all();
    result->error = recorder.errorValue;
    return recorder.returnValue;
}

struct LogLine {
    uint32_t level;
    std::string text;
    bool operator==(const LogLine& other) const { return level == other.level && text == other.text; }
};

void PrintTo(const LogLine& line, std::ostream* out)
{
    *out << line.level << " \"" << line.text << '"';
}

class LinkCore : public dvrcore {
public:
    LinkCore() : dvrcore("/nonexistent/bin/dvrcore") {}
    void WriteLog(uint32_t, uint32_t level, const char* text) override
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        lines_.push_back({level, text});
        logged_.notify_all();
    }
    std::vector<LogLine> Lines()
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        return lines_;
    }
    bool WaitForLines(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(logMutex_);
        return logged_.wait_for(lock, kTimeout, [&] { return lines_.size() >= count; });
    }

private:
    std::mutex logMutex_;
    std::condition_variable logged_;
    std::vector<LogLine> lines_;
};

class IpcLinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        peer_ = fds[1];
        const timeval bound{static_cast<time_t>(kTimeout / 1s), 0};
        ::setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        ::setsockopt(peer_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        core_ = std::make_unique<LinkCore>();
        core_->ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), fds[0]);
        core_->ipcOpen = true;
        core_->logLevels.Set(0, 0);  // the core's detail messages are part of what is tested
        std::lock_guard<std::mutex> lock(recorder.mutex);
        recorder.deliveries.clear();
        recorder.returnValue = 0;
        recorder.errorValue = 0;
    }

    void TearDown() override
    {
        StopLink();
        core_.reset();
        if (peer_ >= 0) {
            ::close(peer_);
        }
    }

    void AddPlugin(uint32_t id, PluginEntryPoint ioctl, const std::string& filename)
    {
        PLUGININFO plugin;
        plugin.info.id = id;
        plugin.ioctl = ioctl;
        plugin.filename = filename;
        core_->pluginList.push_back(std::move(plugin));
    }

    // As dvrcore::Start: the first receive, then the loop on its own thread.
    void StartLink()
    {
        core_->StartIpcRead();
        io_ = std::thread([this] {
            auto work = boost::asio::make_work_guard(core_->ioContext);
            core_->ioContext.run();
        });
    }

    // Afterwards the link's state may be read from the test's thread.
    void StopLink()
    {
        if (io_.joinable()) {
            core_->ioContext.stop();
            io_.join();
        }
    }

    void Send(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<uint8_t> Receive()
    {
        std::vector<uint8_t> bytes(2 * IPC_MAX_PACKET);
        const ssize_t got = ::recv(peer_, bytes.data(), bytes.size(), 0);
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return bytes;
    }

    // Raises EVT_SEND_TO_PARENT with a malloc'd copy of `bytes`; the result.
    int SendToParent(const std::vector<uint8_t>& bytes)
    {
        _EventParmsIn in{};
        in.size = sizeof in;
        in.version = 1;
        in.eventType = EVT_SEND_TO_PARENT;
        in.providerID = 0x00050000;
        in.dataSize = static_cast<uint32_t>(bytes.size());
        in.data = std::malloc(std::max<std::size_t>(bytes.size(), 1));
        std::memcpy(in.data, bytes.data(), bytes.size());
        _EventParmsOut out{sizeof out, 1, -7};
        core_->PluginEvent(&in, &out);
        return out.result;
    }

    // Every byte sent so far has been handled once this packet arrives.
    void Barrier()
    {
        const auto barrier = IpcPacket(IpcTarget(5), 999, "barrier " + std::to_string(++barriers_));
        Send(barrier);
        ASSERT_TRUE(recorder.WaitUntil(
            [&] { return !recorder.deliveries.empty() && recorder.deliveries.back().bytes == barrier; }));
    }

    std::unique_ptr<LinkCore> core_;
    int peer_ = -1;
    std::thread io_;
    int barriers_ = 0;
};

TEST_F(IpcLinkTest, RoutesWholePacketsToTheFirstPluginOfTheTargetIndex)
{
    AddPlugin(0x00050000, RecordingIoctl<1>, "first.so");
    AddPlugin(0x00050001, RecordingIoctl<2>, "same-index.so");
    AddPlugin(0x10070000, RecordingIoctl<3>, "seven.so");
    StartLink();

    const auto toFive = IpcPacket(IpcTarget(5, 0xabcde), 100, "one");
    const auto bareAnnounce = IpcPacket(IpcTarget(7), IPC_ANNOUNCE);
    const auto split = IpcPacket(IpcTarget(7), 0xffffffff, std::string(40, 's'));
    Send(Join(Join(toFive, IpcPacket(IpcTarget(9), 100, "nobody")), bareAnnounce));
    Send(std::vector<uint8_t>(split.begin(), split.begin() + 10));
    Send(std::vector<uint8_t>(split.begin() + 10, split.end()));

    ASSERT_TRUE(recorder.WaitFor(3));
    const std::vector<std::pair<int, std::vector<uint8_t>>> expected{{1, toFive}, {3, bareAnnounce}, {3, split}};
    std::lock_guard<std::mutex> lock(recorder.mutex);
    ASSERT_EQ(recorder.deliveries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Delivery& d = recorder.deliveries[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(d.plugin, expected[i].first);
        EXPECT_TRUE(d.atBufferFront);
        EXPECT_TRUE(d.withinBuffered);
        EXPECT_EQ(d.bytes, expected[i].second) << "the whole packet, header included";
        const IoctlParms& p = d.parms;
        EXPECT_EQ(std::tie(p.size, p.version, p.command, p.argSize, p.argVersion, p.argLength),
                  std::make_tuple(uint32_t{sizeof p}, 1u, uint32_t{IOCTL_IPC_PACKET}, 16u, 1u,
                                  static_cast<uint32_t>(expected[i].second.size())));
        const IoctlResult& r = d.result;
        EXPECT_EQ(std::tie(r.size, r.version, r.command, r.error, r.keep, r.resultSize, r.resultVersion),
                  std::make_tuple(uint32_t{sizeof r}, 1u, uint32_t{IOCTL_IPC_PACKET}, 0, 0u, 8u, 1u));
    }
    EXPECT_TRUE(core_->Lines().empty()) << "an unknown index is dropped silently";
    EXPECT_FALSE(core_->parentAnnounced);
}

TEST_F(IpcLinkTest, PluginFailuresAreLoggedAtDetailLevel)
{
    AddPlugin(0x00050000, RecordingIoctl<1>, "answers.so");
    AddPlugin(0x00060000, nullptr, "no-ioctl.so");
    StartLink();

    recorder.returnValue = 3;
    Send(IpcPacket(IpcTarget(5), 100));
    ASSERT_TRUE(recorder.WaitFor(1));
    recorder.returnValue = 0;
    recorder.errorValue = 7;
    Send(IpcPacket(IpcTarget(6), 100));
    Send(IpcPacket(IpcTarget(5), 100));
    ASSERT_TRUE(core_->WaitForLines(3));
    EXPECT_EQ(core_->Lines(), (std::vector<LogLine>{{0, "plugin answers.so ipc ioctl returned 3 error 0"},
                                                    {0, "plugin no-ioctl.so ipc ioctl returned -100 error 0"},
                                                    {0, "plugin answers.so ipc ioctl returned 0 error 7"}}));
}

TEST_F(IpcLinkTest, AnnouncementsSetTheParentAndKeepWhatTheyLeaveOut)
{
    using namespace std::string_literals;
    AddPlugin(0x00050000, RecordingIoctl<1>, "barrier.so");
    StartLink();
    struct Parent {
        std::string filename, version;
        bool quiet;
        bool operator==(const Parent& o) const
        {
            return filename == o.filename && version == o.version && quiet == o.quiet;
        }
    };
    const auto announce = [&](const std::string& payload) {
        Send(IpcPacket(IpcTarget(0), IPC_ANNOUNCE, payload));
        Barrier();
        std::lock_guard<std::mutex> lock(core_->queueMutex);
        EXPECT_TRUE(core_->parentAnnounced);
        return Parent{core_->parentFilename, core_->parentVersion, core_->quietLog};
    };

    EXPECT_EQ(announce("a\0b\0Background:true"s), (Parent{"a", "b", true}));
    EXPECT_EQ(announce("c\0d"s), (Parent{"c", "d", true}));
    EXPECT_EQ(announce("e\0f\0Background:true\0"s), (Parent{"e", "f", true}));
    EXPECT_EQ(announce("g\0h\0Background:TRUE"s), (Parent{"g", "h", false}));
    EXPECT_EQ(announce("i"s), (Parent{"i", "h", false}));
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.deliveries.size(), 5u) << "announcements reach no plugin";
}

TEST_F(IpcLinkTest, StopPacketsStopWithoutPauseAndReadingGoesOn)
{
    AddPlugin(0x00050000, RecordingIoctl<1>, "barrier.so");
    StartLink();
    Send(IpcPacket(IpcTarget(5), IPC_STOP));
    Barrier();
    EXPECT_TRUE(core_->stopRequested);
    EXPECT_FALSE(core_->sleepBeforeUnload);
    Send(IpcPacket(IpcTarget(5), IPC_STOP, "with payload"));
    Barrier();
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.deliveries.size(), 2u) << "stop packets reach no plugin";
    EXPECT_TRUE(core_->ipcOpen);
}

TEST_F(IpcLinkTest, UnframeableLengthsAreDroppedWithoutStalling)
{
    AddPlugin(0x00050000, RecordingIoctl<1>, "barrier.so");
    StartLink();
    for (uint32_t length : {0u, 1u, 15u, 65537u}) {
        Send(IpcBytes(length, IpcTarget(5), 100, "rest"));
        Barrier();
    }
    Send(Join(IpcPacket(IpcTarget(5), 100), IpcBytes(0, IpcTarget(5), 100)));
    Barrier();
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.deliveries.size(), 6u);
    EXPECT_EQ(core_->Lines(), std::vector<LogLine>(5, LogLine{50, "bad ipc packet length"}));
}

TEST_F(IpcLinkTest, PeerClosingLosesTheLink)
{
    StartLink();
    ::close(peer_);
    peer_ = -1;
    ASSERT_TRUE(core_->WaitForLines(3));
    // The two lines wait in the queue for a dispatcher that this test lacks.
    EXPECT_EQ(core_->Lines(),
              (std::vector<LogLine>{
                  {100, "vigild ipc pipe disconnected"},
                  {100, "sleeping for one minute to allow active watchdogs to expire..."},
                  {25, "stop requested with 2 events queued: they are delivered before the plugins close"}}));
    StopLink();
    EXPECT_FALSE(core_->ipcSocket.is_open());
    EXPECT_TRUE(core_->stopRequested);
    EXPECT_TRUE(core_->sleepBeforeUnload);
    EXPECT_FALSE(core_->ipcOpen);
    EXPECT_EQ(SendToParent({1, 2, 3}), RESULT_REFUSED);
}

TEST_F(IpcLinkTest, RandomByteStreamsNeverOverrunTheBufferedBytes)
{
    AddPlugin(0x00050000, RecordingIoctl<1>, "five.so");
    AddPlugin(0x00000000, RecordingIoctl<2>, "zero.so");
    StartLink();
    std::mt19937 random(20240611);
    const auto pick = [&](uint32_t bound) { return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random); };
    const uint32_t lengths[] = {0, 1, 15, 16, 17, 200, 65536, 65537, 0xffffffff};
    const uint32_t types[] = {IPC_ANNOUNCE, IPC_STOP, 100, 0xffffffff};

    std::vector<uint8_t> stream;
    for (int i = 0; i < 300; ++i) {
        const uint32_t length = pick(3) == 0 ? lengths[pick(9)] : 16 + pick(3000);
        const uint32_t target = IpcTarget(pick(3) == 0 ? pick(4096) : pick(6), pick(1 << 20));
        std::string payload(pick(3000), '\0');
        for (char& c : payload) {
            c = static_cast<char>(pick(4) == 0 ? 0 : pick(256));
        }
        stream = Join(stream, IpcBytes(length, target, types[pick(4)], payload));
    }
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = std::min<std::size_t>(1 + pick(pick(2) ? 64 : 20000), stream.size() - at);
        Send(std::vector<uint8_t>(stream.begin() + at, stream.begin() + at + size));
        at += size;
    }
    // A full buffer of zeros completes whatever packet waits and leaves zeros
    // that cannot frame; a second one drops those: then a good packet must
    // come through.
    Send(std::vector<uint8_t>(IPC_MAX_PACKET, 0));
    Send(std::vector<uint8_t>(IPC_MAX_PACKET, 0));
    Barrier();

    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_GT(recorder.deliveries.size(), 1u);
    for (const Delivery& d : recorder.deliveries) {
        ASSERT_TRUE(d.atBufferFront && d.withinBuffered);
        EXPECT_GE(d.parms.argLength, static_cast<uint32_t>(IPC_HEADER_SIZE));
        EXPECT_EQ(ReadIpcHeader(d.bytes.data()).packetLength, d.parms.argLength);
    }
}

TEST_F(IpcLinkTest, PacketsToTheParentArriveWholeAndInOrder)
{
    StartLink();
    constexpr int kThreads = 3;
    constexpr int kPackets = 20;
    const auto packet = [](int thread, int sequence) {
        return IpcPacket(IpcTarget(thread), sequence, std::string(100 * sequence + thread, static_cast<char>(thread)));
    };
    std::vector<std::thread> raisers;
    for (int t = 0; t < kThreads; ++t) {
        raisers.emplace_back([&, t] {
            for (int s = 0; s < kPackets; ++s) {
                EXPECT_EQ(SendToParent(packet(t, s)), RESULT_OK);
            }
        });
    }
    for (auto& raiser : raisers) {
        raiser.join();
    }

    int next[kThreads] = {};
    for (int i = 0; i < kThreads * kPackets; ++i) {
        const std::vector<uint8_t> got = Receive();
        ASSERT_GE(got.size(), static_cast<std::size_t>(IPC_HEADER_SIZE));
        const IpcPacketHeader header = ReadIpcHeader(got.data());
        const int thread = static_cast<int>(header.target >> 20);
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(got, packet(thread, next[thread]++));
    }
}

TEST_F(IpcLinkTest, LongBlocksGoOutAsSeveralPacketsAndEmptyOnesNotAtAll)
{
    StartLink();
    std::vector<uint8_t> block(70000);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7);
    }
    EXPECT_EQ(SendToParent(block), RESULT_OK);
    boost::asio::post(core_->ioContext, [this] { core_->QueueIpcPacket(std::malloc(1), 0); });
    EXPECT_EQ(SendToParent({9, 9, 9}), RESULT_OK);
    EXPECT_EQ(Receive(), std::vector<uint8_t>(block.begin(), block.begin() + 65536));
    EXPECT_EQ(Receive(), std::vector<uint8_t>(block.begin() + 65536, block.end()));
    EXPECT_EQ(Receive(), (std::vector<uint8_t>{9, 9, 9}));
}

TEST_F(IpcLinkTest, AFailedPacketDoesNotHoldBackTheNextOnes)
{
    // A send buffer this small refuses the big packet (EMSGSIZE) but not the others.
    const int small = 4096;
    ASSERT_EQ(::setsockopt(core_->ipcSocket.native_handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    StartLink();
    EXPECT_EQ(SendToParent({1}), RESULT_OK);
    EXPECT_EQ(SendToParent(std::vector<uint8_t>(60000, 2)), RESULT_OK);
    EXPECT_EQ(SendToParent({3}), RESULT_OK);
    EXPECT_EQ(Receive(), std::vector<uint8_t>{1});
    EXPECT_EQ(Receive(), std::vector<uint8_t>{3});
}

}  // namespace
