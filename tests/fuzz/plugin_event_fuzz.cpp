// Fuzz target: the event entry, fed arbitrary records and sequences.
//
// The input first sets up four plugins (their masks, flags and habits), then
// runs a sequence of operations on the event entry: queued events with
// arbitrary type, flags, provider, handle, level and payload; broadcast
// requests and cancellations; releases of kept blocks, of blocks released
// twice, of blocks never handed out; packets for the parent; throttling; log
// thresholds; replies from a thread that is no reader; a stop. A dispatcher
// drains the queue meanwhile and the reader answers broadcasts from its
// delivery threads.
//
// The plugins check every payload they see byte for byte; at the end every
// event that the entry admitted has reached the writer with full masks once,
// in order; nothing is left queued; and once the keepers have given their
// blocks back, no payload block is alive.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "fuzz_core.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"

namespace dvrfuzz {
namespace {

// First word of the payloads that the run raises, then their sequence number.
constexpr uint32_t kEventMagic = 0x5EEDF00Du;
constexpr uint32_t kReplyMagic = 0x5EEDFACEu;
// out->result before the call: the entry leaves it alone on some paths.
constexpr int32_t kUntouched = 0x7A7A7A7A;
constexpr std::size_t kMostOperations = 256;
constexpr auto kPatience = std::chrono::seconds(20);

enum Slot : std::size_t { kWriter, kKeeperA, kKeeperB, kReader, kSlots };
constexpr uint32_t kIds[kSlots] = {0x00010000u, 0x00020000u, 0x00030000u, 0x00040000u};

// What the plugins do and see. Plugin entries run on the dispatcher and on
// delivery threads, the operations on the fuzz thread.
struct RunState {
    FuzzCore* core = nullptr;
    // Per run, before any thread starts.
    unsigned keepEvery[kSlots] = {};  // a keeper keeps every n-th block; 0: none
    int32_t writeAnswer = 0;
    unsigned replies = 0;  // replies with payload per broadcast
    uint32_t replySize = 0;

    std::mutex mutex;
    std::vector<uint32_t> received[kSlots];    // sequence numbers seen, guarded by mutex
    unsigned offered[kSlots] = {};             // blocks offered, guarded by mutex
    std::map<void*, std::set<uint32_t>> kept;  // block -> keepers holding it, guarded by mutex
    std::map<void*, uint32_t> keptSizes;       // guarded by mutex
};
RunState* run = nullptr;  // one input at a time

// Payload bytes: the magic, the sequence number, then bytes that follow from
// both. Short payloads carry only the trailing pattern.
std::vector<uint8_t> Payload(uint32_t magic, uint32_t sequence, std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(sequence + i);
    }
    if (size >= 8) {
        std::memcpy(bytes.data(), &magic, 4);
        std::memcpy(bytes.data() + 4, &sequence, 4);
    }
    return bytes;
}

// Checks a block of the run's making byte for byte; the sequence number of
// an event raised by the run.
std::optional<uint32_t> CheckPayload(const void* data, uint32_t size)
{
    if (data == nullptr || size < 8) {
        return std::nullopt;
    }
    uint32_t magic = 0;
    uint32_t sequence = 0;
    std::memcpy(&magic, data, 4);
    std::memcpy(&sequence, static_cast<const uint8_t*>(data) + 4, 4);
    if (magic != kEventMagic && magic != kReplyMagic) {
        return std::nullopt;
    }
    FUZZ_CHECK(std::vector<uint8_t>(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) ==
               Payload(magic, sequence, size));
    return magic == kEventMagic ? std::optional<uint32_t>(sequence) : std::nullopt;
}

// A delivered block: checked, recorded, and kept if it is the keeper's turn.
// True when the plugin keeps it.
bool Take(Slot slot, void* data, uint32_t size)
{
    FUZZ_CHECK((data == nullptr) == (size == 0));
    const std::optional<uint32_t> sequence = CheckPayload(data, size);
    std::lock_guard<std::mutex> lock(run->mutex);
    if (sequence) {
        run->received[slot].push_back(*sequence);
    }
    if (data == nullptr || run->keepEvery[slot] == 0 || ++run->offered[slot] % run->keepEvery[slot] != 0) {
        return false;
    }
    run->kept[data].insert(kIds[slot]);
    run->keptSizes[data] = size;
    return true;
}

template <Slot S>
int32_t Write(void* in, void* out)
{
    const auto& parms = *static_cast<const WriteParms*>(in);
    auto& result = *static_cast<WriteResult*>(out);
    FUZZ_CHECK(parms.size == sizeof parms && result.keep == 0 && result.error == 0);
    result.keep = Take(S, parms.data, parms.dataSize) ? 1 : 0;
    result.error = S == kWriter ? run->writeAnswer : 0;
    return S == kWriter ? run->writeAnswer : 0;
}

template <Slot S>
int32_t Ioctl(void* in, void* out)
{
    const auto& parms = *static_cast<const IoctlParms*>(in);
    auto& result = *static_cast<IoctlResult*>(out);
    FUZZ_CHECK(parms.command == IOCTL_UPDATE_CONFIG && result.keep == 0);
    result.keep = Take(S, parms.argData, parms.argLength) ? 1 : 0;
    return 0;
}

_EventParmsIn Record(uint32_t provider, uint32_t type, uint32_t flags, void* data, uint32_t size, void* handle)
{
    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.dataSize = size;
    in.data = data;
    in.providerID = provider;
    in.handle = handle;
    in.eventType = type;
    in.flags = flags;
    return in;
}

int32_t Raise(_EventParmsIn in)
{
    _EventParmsOut out{sizeof out, 1, kUntouched};
    FUZZ_CHECK(CoreEventCallback(&in, &out) == 0);
    return out.result;
}

// The reader answers a broadcast from its delivery thread: replies with
// payload (each waits until the previous one has been consumed), one without.
int32_t Read(void* in, void*)
{
    const auto& parms = *static_cast<const ReadParms*>(in);
    FUZZ_CHECK(parms.one == 1 && parms.handle != nullptr);
    FUZZ_CHECK(parms.data == nullptr || parms.dataSize != 0);
    if (parms.data != nullptr) {
        CheckPayload(parms.data, parms.dataSize);
    }
    for (unsigned i = 0; i < run->replies; ++i) {
        std::vector<uint8_t> reply = Payload(kReplyMagic, i, run->replySize);
        Raise(Record(kIds[kReader], EVT_STATUS, 0, reply.data(), run->replySize, parms.handle));
    }
    Raise(Record(kIds[kReader], EVT_STATUS, 0, nullptr, 0, parms.handle));
    return 0;
}

// Builds one plugin record from the input.
PLUGININFO Plugin(Slot slot, FuzzInput& input, PluginEntryPoint write, PluginEntryPoint ioctl)
{
    PLUGININFO plugin = FakePlugin(kIds[slot], "fuzz.so");
    const bool fullMasks = slot == kWriter || input.Bit();
    for (uint32_t& mask : plugin.info.typeMasks) {
        mask = fullMasks ? 0xFFFFFFFFu : input.U32();
    }
    plugin.info.writerFlag = slot == kWriter || input.Bit() ? 1 : 0;
    plugin.info.readerFlag = slot == kReader ? 1 : 0;
    plugin.write = write;
    plugin.ioctl = ioctl;
    plugin.read = slot == kReader ? Read : nullptr;
    return plugin;
}

class EventRun {
public:
    EventRun(FuzzInput& input, bool ipcLink) : input_(input)
    {
        if (ipcLink) {
            FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_) == 0);
            core_.ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), ends_[1]);
            core_.ipcOpen = true;
        }
        state_.core = &core_;
        run = &state_;
        static constexpr unsigned kKeeping[] = {0, 1, 2, 3};
        static constexpr int32_t kAnswers[] = {0, 0, 1, -7};
        state_.keepEvery[kKeeperA] = input.Pick(kKeeping);
        state_.keepEvery[kKeeperB] = input.Pick(kKeeping);
        state_.writeAnswer = input.Pick(kAnswers);
        state_.replies = input.Byte() % 3;
        state_.replySize = input.Byte() % 48;
        AddPlugin(core_, Plugin(kWriter, input, Write<kWriter>, Ioctl<kWriter>));
        AddPlugin(core_, Plugin(kKeeperA, input, Write<kKeeperA>, Ioctl<kKeeperA>));
        AddPlugin(core_, Plugin(kKeeperB, input, Write<kKeeperB>, Ioctl<kKeeperB>));
        AddPlugin(core_, Plugin(kReader, input, Write<kReader>, Ioctl<kReader>));
        dispatcher_ = std::thread([this] {
            core_.DispatchEvents();
            dispatcherDone_ = true;
        });
    }

    void Operate()
    {
        using Operation = void (EventRun::*)();
        static constexpr Operation kOperations[] = {
            &EventRun::RaiseEvent,  &EventRun::RaiseEvent,   &EventRun::Broadcast,    &EventRun::Cancel,
            &EventRun::ReleaseKept, &EventRun::ReleaseTwice, &EventRun::ReleaseStray, &EventRun::SendToParent,
            &EventRun::Throttle,    &EventRun::SetLevel,     &EventRun::StrayReply,   &EventRun::Stop,
        };
        for (std::size_t i = 0; i < kMostOperations && !input_.Empty(); ++i) {
            (this->*input_.Pick(kOperations))();
        }
    }

    void Finish()
    {
        core_.RequestStop();
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!dispatcherDone_) {
            FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        dispatcher_.join();
        core_.StopDeliveries();
        {
            std::lock_guard<std::mutex> lock(core_.queueMutex);
            FUZZ_CHECK(core_.eventQueue.empty());
        }
        // Every admitted event reached the writer, which takes everything,
        // exactly once and in order.
        FUZZ_CHECK(state_.received[kWriter] == expected_);
        // The keepers give back what they kept; then no block is alive.
        while (!state_.kept.empty()) {
            auto block = state_.kept.begin();
            CheckPayload(block->first, state_.keptSizes[block->first]);
            for (uint32_t keeper : block->second) {
                Raise(Record(keeper, EVT_RELEASE_BLOCK, 0, block->first, 0, nullptr));
            }
            state_.kept.erase(block);
        }
        FUZZ_CHECK(core_.refBlocks.BlockCount() == 0 && core_.refBlocks.ByteCount() == 0);
    }

    ~EventRun()
    {
        if (ends_[0] >= 0) {
            ::close(ends_[0]);
        }
        run = nullptr;
    }

private:
    uint32_t Provider()
    {
        const uint32_t choices[] = {kIds[kWriter], kIds[kKeeperA], kIds[kReader], CORE_PROVIDER_ID, input_.U32() | 1};
        return input_.Pick(choices);
    }
    // Any type but a packet for the parent, which would hand the run's own
    // buffer to the core (SendToParent covers it).
    uint32_t Type()
    {
        const uint32_t choices[] = {EVT_VIDEO,
                                    EVT_AUDIO,
                                    EVT_STATUS,
                                    0x8,
                                    0x20,
                                    EVT_LOG,
                                    0x400,
                                    EVT_CONFIG,
                                    EVT_VIDEO | EVT_AUDIO,
                                    EVT_CANCEL_HANDLE,
                                    EVT_RELEASE_BLOCK,
                                    input_.U32()};
        const uint32_t type = input_.Pick(choices);
        return type == EVT_SEND_TO_PARENT ? EVT_STATUS : type;
    }
    int32_t Level()
    {
        const int32_t choices[] = {0, 25, 50, 100, static_cast<int32_t>(input_.U32())};
        return input_.Pick(choices);
    }
    uint32_t Flags()
    {
        const uint32_t choices[] = {0,          FLAG_FRAME, FLAG_LOG_MESSAGE, FLAG_LEVEL_QUERY,
                                    0x1000002u, 0x1000010u, input_.U32()};
        return input_.Pick(choices);
    }
    void* Handle()
    {
        void* const choices[] = {&handles_[0], &handles_[1], &handles_[2]};
        return input_.Pick(choices);
    }
    // A payload raised by the run; data and size may disagree on purpose.
    std::vector<uint8_t> NextPayload(uint32_t sequence) { return Payload(kEventMagic, sequence, input_.Byte()); }

    void RaiseEvent()
    {
        const uint32_t sequence = ++sequence_;
        std::vector<uint8_t> payload = NextPayload(sequence);
        const uint8_t shape = input_.Byte();
        void* data = shape % 8 == 0 ? nullptr : payload.data();
        const auto size = static_cast<uint32_t>(shape % 8 == 1 ? 0 : payload.size());
        const uint32_t provider = Provider();
        const uint32_t type = Type();
        const uint32_t flags = Flags();
        _EventParmsIn in = Record(provider, type, flags, data, size, input_.Bit() ? Handle() : nullptr);
        in.level = Level();
        in.syncFrame = input_.Bit() ? 1 : 0;
        const int32_t result = Raise(in);

        const bool levelQuery =
            (type & EVT_LOG) != 0 && (flags & FLAG_LOG_MESSAGE) == 0 && (flags & FLAG_LEVEL_QUERY) != 0;
        const bool queued = result == RESULT_OK && provider != 0 && type != EVT_RELEASE_BLOCK &&
                            type != EVT_SEND_TO_PARENT && !levelQuery;
        const bool configuration = (type & EVT_CONFIG) != 0;
        const bool routable = (type & EVT_ROUTABLE_BITS) != 0;
        const bool toWriter = configuration ? provider != kIds[kWriter] || routable : routable;
        if (queued && toWriter && data != nullptr && size >= 8) {
            expected_.push_back(sequence);
        }
    }

    void Broadcast()
    {
        std::vector<uint8_t> payload = NextPayload(++sequence_);
        const uint32_t type = Type();
        if (type == EVT_CANCEL_HANDLE || type == EVT_RELEASE_BLOCK) {
            return;  // not broadcasts: Cancel and the releases cover them
        }
        FUZZ_CHECK(Raise(Record(0, type, Flags(), payload.empty() ? nullptr : payload.data(),
                                static_cast<uint32_t>(payload.size()), Handle())) == RESULT_OK);
    }

    void Cancel() { FUZZ_CHECK(Raise(Record(0, EVT_CANCEL_HANDLE, 0, nullptr, 0, Handle())) == RESULT_OK); }

    // A keeper gives back one block that it holds.
    void ReleaseKept()
    {
        void* block = nullptr;
        uint32_t keeper = 0;
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            if (state_.kept.empty()) {
                return;
            }
            auto entry = std::next(state_.kept.begin(), input_.Byte() % state_.kept.size());
            block = entry->first;
            CheckPayload(block, state_.keptSizes[block]);
            keeper = *entry->second.begin();
            entry->second.erase(keeper);
            if (entry->second.empty()) {
                state_.kept.erase(entry);
                Remember(block);
            }
        }
        Raise(Record(keeper, EVT_RELEASE_BLOCK, 0, block, 0, nullptr));
    }

    // A keeper releases a block that another keeper still holds, twice: the
    // second release must change nothing, so the block stays whole.
    void ReleaseTwice()
    {
        std::lock_guard<std::mutex> lock(state_.mutex);
        for (auto& [block, keepers] : state_.kept) {
            if (keepers.size() < 2) {
                continue;
            }
            const uint32_t keeper = *keepers.begin();
            keepers.erase(keeper);
            Raise(Record(keeper, EVT_RELEASE_BLOCK, 0, block, 0, nullptr));
            Raise(Record(keeper, EVT_RELEASE_BLOCK, 0, block, 0, nullptr));
            CheckPayload(block, state_.keptSizes[block]);
            return;
        }
    }

    // Releases of blocks the core never handed out, or no longer tracks:
    // none may free anything. A freed address may already hold a new block,
    // so it is released under an id that owns nothing.
    void ReleaseStray()
    {
        constexpr uint32_t kStranger = 0x00ED0000u;
        void* own = std::malloc(16);
        int onStack = 0;
        switch (input_.Byte() % 4) {
            case 0:
                Raise(Record(input_.Pick(kIds), EVT_RELEASE_BLOCK, 0, own, 0, nullptr));
                break;
            case 1:
                Raise(Record(input_.Pick(kIds), EVT_RELEASE_BLOCK, 0, &onStack, 0, nullptr));
                break;
            case 2:
                Raise(Record(input_.Pick(kIds), EVT_RELEASE_BLOCK, 0, nullptr, 0, nullptr));
                break;
            default:
                if (!recentlyReleased_.empty()) {
                    void* stale = recentlyReleased_[input_.Byte() % recentlyReleased_.size()];
                    Raise(Record(kStranger, EVT_RELEASE_BLOCK, 0, stale, 0, nullptr));
                }
                break;
        }
        std::free(own);
    }

    // The block passes to the core whatever the answer, an empty one too.
    void SendToParent()
    {
        const uint32_t size = input_.Byte();
        void* block = std::malloc(size + 1);
        const int32_t result = Raise(Record(kIds[kWriter], EVT_SEND_TO_PARENT, 0, block, size, nullptr));
        FUZZ_CHECK(result == (core_.ipcOpen && size != 0 ? RESULT_OK : RESULT_REFUSED));
    }

    void Throttle() { core_.throttling = !core_.throttling; }

    void SetLevel()
    {
        const uint32_t indexes[] = {0, PROVIDER_INDEX(kIds[kWriter]), PROVIDER_INDEX(kIds[kReader])};
        core_.logLevels.Set(input_.Pick(indexes), static_cast<int8_t>(input_.Byte() % 102 - 1));
    }

    // A reply with a handle from this thread, which is no reader delivery
    // thread, is refused.
    void StrayReply()
    {
        std::vector<uint8_t> payload = Payload(kReplyMagic, 0, 16);
        FUZZ_CHECK(Raise(Record(kIds[kReader], EVT_STATUS, 0, payload.data(), 16, Handle())) == RESULT_REFUSED);
    }

    void Stop() { core_.RequestStop(); }

    void Remember(void* block)
    {
        recentlyReleased_.push_back(block);
        if (recentlyReleased_.size() > 8) {
            recentlyReleased_.erase(recentlyReleased_.begin());
        }
    }

    FuzzInput& input_;
    int ends_[2] = {-1, -1};
    FuzzCore core_;
    RunState state_;
    char handles_[3] = {};
    uint32_t sequence_ = 0;
    std::vector<uint32_t> expected_;
    std::vector<void*> recentlyReleased_;
    std::atomic<bool> dispatcherDone_{false};
    std::thread dispatcher_;
};

}  // namespace

int FuzzPluginEvent(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const bool ipcLink = input.Bit();
    auto eventRun = std::make_unique<EventRun>(input, ipcLink);
    eventRun->Operate();
    eventRun->Finish();
    return 0;
}

}  // namespace dvrfuzz
