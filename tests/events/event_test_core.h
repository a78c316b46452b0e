// Event routing tests: a core with a clock the test moves and captured log
// lines, and plugin records whose entry points are functions of this program.
#ifndef DVRCORE_TESTS_EVENTS_EVENT_TEST_CORE_H
#define DVRCORE_TESTS_EVENTS_EVENT_TEST_CORE_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "dvrcore.h"

namespace eventtest {

using namespace std::chrono_literals;

constexpr auto kPatience = 20s;  // bound of every wait for something that must happen

class TestCore : public dvrcore {
public:
    TestCore() : dvrcore("/nonexistent/bin/dvrcore") {}
    // Delivery threads may still log through this object's WriteLog.
    ~TestCore() override { StopDeliveries(); }

    Clock::time_point Now() override { return Clock::time_point(std::chrono::nanoseconds(clockNs_.load())); }
    void Advance(std::chrono::nanoseconds step) { clockNs_ += step.count(); }

    void WriteLog(uint32_t, uint32_t, const char* text) override
    {
        if (text == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> lock(linesMutex_);
        lines_.emplace_back(text);
    }
    std::vector<std::string> LinesStartingWith(const std::string& prefix)
    {
        std::lock_guard<std::mutex> lock(linesMutex_);
        std::vector<std::string> found;
        for (auto& line : lines_) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    // Raises `in` through the plugins' event function; returns out->result.
    int Raise(_EventParmsIn in)
    {
        _EventParmsOut out{sizeof out, 1, 0};
        CoreEventCallback(&in, &out);
        return out.result;
    }
    std::size_t QueueLength()
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        return eventQueue.size();
    }
    // Delivers everything queued, then the dispatcher returns.
    void Drain()
    {
        RequestStop();
        DispatchEvents();
    }

private:
    std::atomic<int64_t> clockNs_{int64_t{1000} * 1000 * 1000 * 1000};
    std::mutex linesMutex_;
    std::vector<std::string> lines_;  // guarded by linesMutex_
};

inline _EventParmsIn Event(uint32_t provider, uint32_t type, uint32_t flags = 0, const void* data = nullptr,
                           uint32_t size = 0, void* handle = nullptr)
{
    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.dataSize = size;
    in.data = const_cast<void*>(data);
    in.providerID = provider;
    in.handle = handle;
    in.eventType = type;
    in.flags = flags;
    return in;
}
inline _EventParmsIn Broadcast(void* handle, uint32_t flags = 0, const void* data = nullptr, uint32_t size = 0)
{
    return Event(0, EVT_STATUS, flags, data, size, handle);
}
inline _EventParmsIn Release(void* block, uint32_t owner)
{
    return Event(owner, EVT_RELEASE_BLOCK, 0, block);
}

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = kPatience)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A thread joined at destruction at the latest. One that does not end in
// time ends the test program, so that no test run hangs.
class TestThread {
public:
    TestThread(const char* name, std::function<void()> body)
        : name_(name), thread_([this, body] {
              body();
              done_ = true;
          })
    {
    }
    ~TestThread() { Join(); }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    bool Ended(std::chrono::milliseconds timeout)
    {
        return WaitUntil([this] { return done_.load(); }, timeout);
    }
    void Join()
    {
        if (thread_.joinable() && !Ended(kPatience)) {
            std::fprintf(stderr, "%s did not end\n", name_);
            std::abort();
        }
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    const char* name_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Runs the dispatcher on its own thread until destroyed (stop, drain, join).
class DispatcherThread {
public:
    explicit DispatcherThread(TestCore& core) : core_(core), thread_("dispatcher", [this] { core_.DispatchEvents(); })
    {
    }
    ~DispatcherThread() { Stop(); }
    void Stop()
    {
        core_.RequestStop();
        thread_.Join();
    }

private:
    TestCore& core_;
    TestThread thread_;
};

template <typename Parms>
struct Call {
    Parms parms;
    std::string payload;  // the bytes the plugin was handed
};

// What a plugin does and what it received. Hooks run on the calling thread.
class FakePlugin {
public:
    std::function<int32_t(const WriteParms&, WriteResult&)> onWrite;
    std::function<void(const ReadParms&)> onRead;
    std::function<int32_t(const IoctlParms&, IoctlResult&)> onIoctl;

    int32_t Write(const WriteParms& in, WriteResult& out)
    {
        Record(writes_, in, in.data, in.dataSize);
        return onWrite ? onWrite(in, out) : 0;
    }
    int32_t Read(const ReadParms& in)
    {
        Record(reads_, in, in.data, in.dataSize);
        if (onRead) {
            onRead(in);
        }
        return 0;
    }
    int32_t Ioctl(const IoctlParms& in, IoctlResult& out)
    {
        Record(ioctls_, in, in.argData, in.argLength);
        return onIoctl ? onIoctl(in, out) : 0;
    }
    std::vector<Call<WriteParms>> Writes() { return Copy(writes_); }
    std::vector<Call<ReadParms>> Reads() { return Copy(reads_); }
    std::vector<Call<IoctlParms>> Ioctls() { return Copy(ioctls_); }

private:
    template <typename Parms>
    void Record(std::vector<Call<Parms>>& calls, const Parms& parms, const void* data, uint32_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls.push_back({parms, data != nullptr ? std::string(static_cast<const char*>(data), size) : ""});
    }
    template <typename Parms>
    std::vector<Call<Parms>> Copy(const std::vector<Call<Parms>>& calls)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls;
    }

    std::mutex mutex_;
    std::vector<Call<WriteParms>> writes_;  // guarded by mutex_
    std::vector<Call<ReadParms>> reads_;    // guarded by mutex_
    std::vector<Call<IoctlParms>> ioctls_;  // guarded by mutex_
};

constexpr std::size_t kFakeSlots = 4;
inline std::array<FakePlugin*, kFakeSlots> fakes{};

template <std::size_t N>
int32_t FakeWrite(void* in, void* out)
{
    return fakes[N]->Write(*static_cast<WriteParms*>(in), *static_cast<WriteResult*>(out));
}
template <std::size_t N>
int32_t FakeRead(void* in, void*)
{
    return fakes[N]->Read(*static_cast<ReadParms*>(in));
}
template <std::size_t N>
int32_t FakeIoctl(void* in, void* out)
{
    return fakes[N]->Ioctl(*static_cast<IoctlParms*>(in), *static_cast<IoctlResult*>(out));
}
constexpr PluginEntryPoint kFakeWrites[kFakeSlots] = {FakeWrite<0>, FakeWrite<1>, FakeWrite<2>, FakeWrite<3>};
constexpr PluginEntryPoint kFakeReads[kFakeSlots] = {FakeRead<0>, FakeRead<1>, FakeRead<2>, FakeRead<3>};
constexpr PluginEntryPoint kFakeIoctls[kFakeSlots] = {FakeIoctl<0>, FakeIoctl<1>, FakeIoctl<2>, FakeIoctl<3>};

struct PluginSetup {
    uint32_t id;
    uint32_t mask = 0xFFFFFFFFu;  // for every routable type bit
    bool writer = true;
    bool reader = false;
    const char* name = "fake.so";
};

// Appends a plugin record, in slot `slot`, whose entry points lead to `fake`.
inline void AddPlugin(dvrcore& core, std::size_t slot, FakePlugin& fake, const PluginSetup& setup)
{
    fakes.at(slot) = &fake;
    PLUGININFO plugin;
    plugin.read = kFakeReads[slot];
    plugin.write = kFakeWrites[slot];
    plugin.ioctl = kFakeIoctls[slot];
    plugin.info.size = sizeof plugin.info;
    plugin.info.id = setup.id;
    for (auto& mask : plugin.info.typeMasks) {
        mask = setup.mask;
    }
    plugin.info.writerFlag = setup.writer ? 1 : 0;
    plugin.info.readerFlag = setup.reader ? 1 : 0;
    plugin.filename = setup.name;
    std::unique_lock<std::shared_mutex> lock(core.pluginListMutex);
    core.pluginList.push_back(std::move(plugin));
}

}  // namespace eventtest

#endif  // DVRCORE_TESTS_EVENTS_EVENT_TEST_CORE_H
