// The stall watchdog and the map of plugin code, shared with the crash report.
//
// Every thread that calls plugin entry points owns one CallSlot and publishes
// in it which plugin entry it is in: two relaxed stores when it enters, one
// when it leaves, no clock, no lock, no system call. The watcher thread looks
// at every slot each 100 ms. A call seen running across ticks for the stall
// threshold is logged once at level 75 while it still runs, and its end is
// logged when a later tick finds the slot moved on. Durations therefore have
// the resolution of the tick: a stall is reported as "at least" the time
// between the first and the current tick that saw it.
//
// Libraries are numbered in the order they are mapped (1, 2, ...); their file
// names and executable address ranges live in a fixed table of plain records
// so that the crash handler can read them without locks or allocation. So do
// the code ranges of every other object in the process: those mapped when the
// watch is made are the core's, those that a plugin's mapping brought in (its
// FFmpeg, say) are that plugin's. Objects a plugin maps later are nobody's.
//
// Threads: RegisterLibrary/ForgetLibrary on the main thread while plugins
// load; slots by their owners; Check by the watcher thread; the crash handler
// reads everything from any thread.
#ifndef DVRCORE_PLUGINHOST_PLUGIN_WATCH_H
#define DVRCORE_PLUGINHOST_PLUGIN_WATCH_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "plugin_info.h"

// The entry points the core calls, as named in log lines.
enum class PluginCall : uint8_t { kLoad = 1, kUnload, kOpen, kClose, kRead, kWrite, kIoctl, kWorker, kReader };
const char* PluginCallName(PluginCall call);

// Which thread owns a slot, as named in log lines.
enum class CallThread : uint8_t { kMain, kIoThread, kDelivery };

// The published state of one calling thread. Written only by its owner.
struct CallSlot {
    // 0 when outside the plugins; else library number << 8 | PluginCall.
    std::atomic<uint32_t> call{0};
    // Calls entered so far: tells one long call from a run of short ones.
    std::atomic<uint32_t> entered{0};
    // Dispatcher only: records of its batch still behind the current one.
    std::atomic<uint32_t> behind{0};
    // Delivery slots: taken by a delivery thread for its life.
    std::atomic<bool> taken{false};
    CallThread thread = CallThread::kMain;

    void Enter(uint32_t library, PluginCall entry)
    {
        entered.store(entered.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        call.store(library << 8 | static_cast<uint32_t>(entry), std::memory_order_release);
    }
    void Leave() { call.store(0, std::memory_order_release); }
};

// Calls `entry` with `slot` showing it; ENTRY_MISSING when null.
inline int32_t WatchedCall(CallSlot& slot, uint32_t library, PluginCall call, PluginEntryPoint entry, void* in,
                           void* out)
{
    slot.Enter(library, call);
    const int32_t result = CallEntry(entry, in, out);
    slot.Leave();
    return result;
}

// What the calling thread is doing, for the crash report: the slot through
// which it calls plugins, or, on a plugin's own long-running thread, that one
// call (library number << 8 | PluginCall). Set once when the thread starts.
void SetThreadSlot(CallSlot* slot);
void SetThreadCall(uint32_t library, PluginCall call);
CallSlot* ThreadSlot();
uint32_t ThreadCall();
// Marks a thread the core started that never calls plugins (the watcher);
// SetThreadSlot and SetThreadCall mark theirs. Threads a plugin or its
// libraries start stay unmarked.
void MarkCoreThread();
bool ThreadOfCore();
// "main", "dispatcher", "ioThread", "delivery"; without a slot "worker",
// "reader", "delivery" by the call, else "plugin" (a plugin's own thread).
const char* CallThreadName(const CallSlot* slot, PluginCall call);

// One mapped plugin library, readable from a signal handler.
struct WatchedLibrary {
    char fileName[64];
    uintptr_t loadBase;   // addresses minus this are the file's own (addr2line)
    uintptr_t codeStart;  // executable segments, [codeStart, codeEnd)
    uintptr_t codeEnd;
    std::atomic<bool> mapped;
};

// The code of one other object: the core's (library 0) or a plugin's.
struct WatchedObject {
    uintptr_t start;
    uintptr_t end;
    std::atomic<uint32_t> library;
};

class PluginWatch {
public:
    static constexpr std::size_t kMostLibraries = 128;
    static constexpr std::size_t kMostObjects = 512;
    static constexpr std::size_t kDeliverySlots = 32;
    static constexpr auto kTick = std::chrono::milliseconds(100);
    static constexpr int64_t kDefaultStallMs = 2000;

    PluginWatch();
    ~PluginWatch();
    PluginWatch(const PluginWatch&) = delete;
    PluginWatch& operator=(const PluginWatch&) = delete;

    // Main thread, after the library is mapped: its number (0 when the table
    // is full; such a library is watched as "?").
    uint32_t RegisterLibrary(const char* fileName, void* library);
    // Before the library is unmapped: its code no longer counts as a plugin's.
    void ForgetLibrary(uint32_t number);
    const WatchedLibrary* Library(uint32_t number) const;
    std::size_t LibraryCount() const { return libraryCount_.load(std::memory_order_acquire); }
    // The library whose code holds `address`, or 0.
    uint32_t LibraryAt(uintptr_t address) const;
    // The same, or the library whose mapping brought in the object whose code
    // holds `address`; 0 for the core's objects and unknown addresses.
    uint32_t OwnerAt(uintptr_t address) const;
    const char* FileName(uint32_t number) const;

    // Delivery threads now inside a Read of `library`.
    std::size_t ThreadsIn(uint32_t library);

    CallSlot& MainSlot() { return mainSlot_; }
    CallSlot& IoSlot() { return ioSlot_; }
    // A free delivery slot for the calling thread's life, or nullptr (the
    // call then goes unwatched); give it back with ReleaseDeliverySlot.
    CallSlot* TakeDeliverySlot();
    static void ReleaseDeliverySlot(CallSlot* slot);

    // The time of the watcher's last tick (before the first: of the watch's
    // creation) in nanoseconds of the steady clock: a clock for call times
    // that costs one memory read (plugin_accounting.h).
    uint64_t TickNs() const { return tickNs_.load(std::memory_order_relaxed); }

    // Stall threshold in milliseconds; 0 switches the watch off.
    void SetStallThreshold(int64_t ms) { stallMs_.store(ms, std::memory_order_relaxed); }
    int64_t StallThreshold() const { return stallMs_.load(std::memory_order_relaxed); }

    // Starts and stops the watcher thread. `queued` counts the events waiting
    // in the core's queue (called only when the dispatcher stalls).
    void Start(std::function<std::size_t()> queued);
    void Stop();

    // One look at every slot at time `now`; the watcher calls it every tick.
    void Check(std::chrono::steady_clock::time_point now);

    // Every slot, for the crash handler; the calling thread's own slot or
    // plugin thread is told by thread-local state (crash_report.h).
    template <typename Visit>
    void ForEachSlot(Visit visit)
    {
        visit(mainSlot_);
        visit(ioSlot_);
        for (CallSlot& slot : deliverySlots_) {
            visit(slot);
        }
    }

private:
    // What the watcher remembers of one slot between ticks.
    struct Seen {
        uint32_t call = 0;
        uint32_t entered = 0;
        std::chrono::steady_clock::time_point since{};
        bool reported = false;
    };
    void CheckSlot(CallSlot& slot, Seen& seen, std::chrono::steady_clock::time_point now, int64_t thresholdMs);
    // Main thread: records an object's code as `library`'s, unless it is
    // known already as the core's or a still mapped plugin's.
    void AddObject(uintptr_t start, uintptr_t end, uint32_t library);

    std::array<WatchedLibrary, kMostLibraries> libraries_{};
    std::atomic<std::size_t> libraryCount_{0};
    std::array<WatchedObject, kMostObjects> objects_{};
    std::atomic<std::size_t> objectCount_{0};
    CallSlot mainSlot_;
    CallSlot ioSlot_;
    std::array<CallSlot, kDeliverySlots> deliverySlots_;
    std::atomic<int64_t> stallMs_{kDefaultStallMs};
    std::atomic<uint64_t> tickNs_;

    // Watcher thread only.
    Seen mainSeen_;
    Seen ioSeen_;
    std::array<Seen, kDeliverySlots> deliverySeen_;
    std::function<std::size_t()> queued_;

    std::mutex stopMutex_;
    std::condition_variable stopCond_;
    bool stopping_ = false;  // guarded by stopMutex_
    std::thread watcher_;
};

#endif  // DVRCORE_PLUGINHOST_PLUGIN_WATCH_H
