// Fuzz target: the IPC reader, fed a byte stream cut into arbitrary receives.
//
// The input first describes up to three plugins (ids, answers, whether they
// export IOCTL), then a run of receives: chunks of input bytes, runs of zero
// bytes (so that small inputs reach long packets), and a lost link. Each
// receive is copied into the receive buffer and handed to OnIpcRead, as the
// socket would. The plugins check that every packet they get is whole, sits
// at the front of the receive buffer and was meant for them.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/error.hpp>
#include <cstring>

#include "fuzz_core.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "ipc_packet.h"

namespace dvrfuzz {
namespace {

constexpr std::size_t kPlugins = 3;

// Receive kinds; any other first byte is a chunk of input bytes.
constexpr uint8_t kLoseLinkWithError = 0xFF;
constexpr uint8_t kLoseLinkAtEnd = 0xFE;
constexpr uint8_t kZeroRun = 0xFD;

struct RunState {
    FuzzCore* core = nullptr;
    std::array<uint32_t, kPlugins> ids{};
    std::array<int32_t, kPlugins> returns{};
    std::array<int32_t, kPlugins> errors{};
    std::size_t pluginCount = 0;
    unsigned checksum = 0;
};
RunState run;  // one input at a time

template <std::size_t N>
int32_t ReceivePacket(void* in, void* out)
{
    const auto& parms = *static_cast<const IoctlParms*>(in);
    auto& result = *static_cast<IoctlResult*>(out);
    const dvrcore& core = *run.core;
    FUZZ_CHECK(parms.command == IOCTL_IPC_PACKET && result.command == IOCTL_IPC_PACKET);
    FUZZ_CHECK(parms.argSize == 16 && parms.argVersion == 1 && result.error == 0 && result.keep == 0);
    // Whole, at the front of the receive buffer, header included.
    FUZZ_CHECK(parms.argData == core.ipcBuffer.data());
    FUZZ_CHECK(parms.argLength >= IPC_HEADER_SIZE && parms.argLength <= core.ipcFill);
    const IpcPacketHeader header = ReadIpcHeader(static_cast<const uint8_t*>(parms.argData));
    FUZZ_CHECK(header.packetLength == parms.argLength);
    FUZZ_CHECK(header.packetType != IPC_STOP);
    FUZZ_CHECK(header.packetType != IPC_ANNOUNCE || header.packetLength == IPC_HEADER_SIZE);
    // Meant for this plugin, and for no plugin before it in the list.
    for (std::size_t i = 0; i <= N; ++i) {
        FUZZ_CHECK((header.target >> 20 == PROVIDER_INDEX(run.ids[i])) == (i == N));
    }
    const auto* bytes = static_cast<const uint8_t*>(parms.argData);
    for (uint32_t i = 0; i < parms.argLength; ++i) {
        run.checksum += bytes[i];
    }
    result.error = run.errors[N];
    return run.returns[N];
}

constexpr PluginEntryPoint kReceivers[kPlugins] = {ReceivePacket<0>, ReceivePacket<1>, ReceivePacket<2>};

// After every receive: at most one incomplete packet is left, and it can be
// completed within the buffer.
void CheckBuffer(const dvrcore& core)
{
    FUZZ_CHECK(core.ipcFill < core.ipcBuffer.size());
    if (core.ipcFill >= IPC_HEADER_SIZE) {
        const uint32_t length = ReadIpcHeader(core.ipcBuffer.data()).packetLength;
        FUZZ_CHECK(length > core.ipcFill && length <= IPC_MAX_PACKET);
    }
}

void AddPlugins(FuzzCore& core, FuzzInput& input)
{
    static constexpr int32_t kAnswers[] = {0, 0, 1, -1, ENTRY_MISSING};
    run.pluginCount = input.Byte() % (kPlugins + 1);
    for (std::size_t i = 0; i < run.pluginCount; ++i) {
        run.ids[i] = LoadableId(input.U32());
        run.returns[i] = input.Pick(kAnswers);
        run.errors[i] = input.Pick(kAnswers);
        PLUGININFO plugin = FakePlugin(run.ids[i], "fuzz.so");
        // A plugin without IOCTL takes its packets all the same (and logs).
        plugin.ioctl = input.Byte() % 8 == 0 ? nullptr : kReceivers[i];
        AddPlugin(core, std::move(plugin));
    }
}

}  // namespace

int FuzzIpcReader(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    int ends[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
    auto core = std::make_unique<FuzzCore>();
    run = RunState{};
    run.core = core.get();
    // As Initialize adopts the descriptor, without its privilege drop.
    core->ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), ends[1]);
    core->ipcOpen = true;
    AddPlugins(*core, input);

    // The receives are completed by hand; the one the reader starts stays
    // outstanding on the real, silent socket.
    core->StartIpcRead();
    while (!input.Empty() && core->ipcSocket.is_open()) {
        const uint8_t kind = input.Byte();
        if (kind == kLoseLinkWithError) {
            core->OnIpcRead(boost::asio::error::connection_reset, 0);
            break;
        }
        if (kind == kLoseLinkAtEnd) {
            core->OnIpcRead(boost::system::error_code(), 0);
            break;
        }
        const std::size_t room = core->ipcBuffer.size() - core->ipcFill;
        uint8_t* free = core->ipcBuffer.data() + core->ipcFill;
        std::size_t count = 0;
        if (kind == kZeroRun) {
            count = std::min<std::size_t>(input.U16(), room);
            std::memset(free, 0, count);
        } else {
            const std::string bytes = input.Bytes(std::min<std::size_t>(input.U16(), room));
            count = bytes.size();
            std::memcpy(free, bytes.data(), count);
        }
        if (count == 0) {
            continue;  // a receive of nothing is the end of the link, not data
        }
        core->OnIpcRead(boost::system::error_code(), count);
        CheckBuffer(*core);
    }

    {
        std::lock_guard<std::mutex> lock(core->queueMutex);
        FUZZ_CHECK(core->parentFilename.find('\0') == std::string::npos);
        FUZZ_CHECK(core->parentFilename.size() <= IPC_MAX_PACKET - IPC_HEADER_SIZE);
    }
    // A lost link closes the core's end; the destructor closes it otherwise.
    FUZZ_CHECK(core->ipcOpen == core->ipcSocket.is_open());
    core.reset();
    ::close(ends[0]);
    return 0;
}

}  // namespace dvrfuzz
