#include "plugin_watch.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>

#include "dvrcore.h"
#include "log_message.h"

namespace {

struct CodeRange {
    uintptr_t base;
    const char* name;
    uintptr_t start;
    uintptr_t end;
};

// Finds the executable segments of the object mapped at `base`.
int CollectCode(dl_phdr_info* info, std::size_t, void* data)
{
    auto* range = static_cast<CodeRange*>(data);
    if (info->dlpi_addr != range->base || info->dlpi_name == nullptr ||
        std::strcmp(info->dlpi_name, range->name) != 0) {
        return 0;
    }
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) {
            continue;
        }
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        const uintptr_t end = start + segment.p_memsz;
        if (range->start == 0 || start < range->start) {
            range->start = start;
        }
        if (end > range->end) {
            range->end = end;
        }
    }
    return 1;
}

thread_local CallSlot* threadSlot = nullptr;
thread_local uint32_t threadCall = 0;

uint64_t Nanoseconds(std::chrono::steady_clock::time_point time)
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

long long MillisecondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace

void SetThreadSlot(CallSlot* slot)
{
    threadSlot = slot;
}

void SetThreadCall(uint32_t library, PluginCall call)
{
    threadCall = library << 8 | static_cast<uint32_t>(call);
}

CallSlot* ThreadSlot()
{
    return threadSlot;
}

uint32_t ThreadCall()
{
    return threadCall;
}

const char* CallThreadName(const CallSlot* slot, PluginCall call)
{
    if (slot == nullptr) {
        switch (call) {
            case PluginCall::kWorker:
                return "worker";
            case PluginCall::kReader:
                return "reader";
            case PluginCall::kRead:
                return "delivery";
            default:
                return "plugin";
        }
    }
    switch (slot->thread) {
        case CallThread::kIoThread:
            return "ioThread";
        case CallThread::kDelivery:
            return "delivery";
        case CallThread::kMain:
            break;
    }
    return call == PluginCall::kWrite || call == PluginCall::kIoctl ? "dispatcher" : "main";
}

const char* PluginCallName(PluginCall call)
{
    switch (call) {
        case PluginCall::kLoad:
            return "Load";
        case PluginCall::kUnload:
            return "Unload";
        case PluginCall::kOpen:
            return "Open";
        case PluginCall::kClose:
            return "Close";
        case PluginCall::kRead:
            return "Read";
        case PluginCall::kWrite:
            return "Write";
        case PluginCall::kIoctl:
            return "IOCTL";
        case PluginCall::kWorker:
            return "IOCTL";
        case PluginCall::kReader:
            return "Read";
    }
    return "?";
}

// A call that starts before the first tick counts from the watch's creation,
// not from the clock's epoch.
PluginWatch::PluginWatch() : tickNs_(Nanoseconds(std::chrono::steady_clock::now()))
{
    ioSlot_.thread = CallThread::kIoThread;
    for (CallSlot& slot : deliverySlots_) {
        slot.thread = CallThread::kDelivery;
    }
}

PluginWatch::~PluginWatch()
{
    Stop();
}

uint32_t PluginWatch::RegisterLibrary(const char* fileName, void* library)
{
    const std::size_t count = libraryCount_.load(std::memory_order_relaxed);
    if (count == kMostLibraries) {
        return 0;
    }
    WatchedLibrary& entry = libraries_[count];
    std::strncpy(entry.fileName, fileName, sizeof entry.fileName - 1);
    link_map* map = nullptr;
    if (library != nullptr && ::dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        CodeRange range{map->l_addr, map->l_name, 0, 0};
        ::dl_iterate_phdr(CollectCode, &range);
        entry.loadBase = map->l_addr;
        entry.codeStart = range.start;
        entry.codeEnd = range.end;
    }
    entry.mapped.store(true, std::memory_order_relaxed);
    libraryCount_.store(count + 1, std::memory_order_release);
    return static_cast<uint32_t>(count + 1);
}

void PluginWatch::ForgetLibrary(uint32_t number)
{
    if (number != 0 && number <= LibraryCount()) {
        libraries_[number - 1].mapped.store(false, std::memory_order_relaxed);
    }
}

const WatchedLibrary* PluginWatch::Library(uint32_t number) const
{
    return number != 0 && number <= LibraryCount() ? &libraries_[number - 1] : nullptr;
}

const char* PluginWatch::FileName(uint32_t number) const
{
    const WatchedLibrary* library = Library(number);
    return library != nullptr ? library->fileName : "?";
}

uint32_t PluginWatch::LibraryAt(uintptr_t address) const
{
    const std::size_t count = LibraryCount();
    for (std::size_t i = 0; i < count; ++i) {
        const WatchedLibrary& library = libraries_[i];
        if (library.mapped.load(std::memory_order_relaxed) && address >= library.codeStart &&
            address < library.codeEnd) {
            return static_cast<uint32_t>(i + 1);
        }
    }
    return 0;
}

std::size_t PluginWatch::ThreadsIn(uint32_t library)
{
    std::size_t count = 0;
    if (library == 0) {
        return 0;
    }
    for (const CallSlot& slot : deliverySlots_) {
        count += slot.call.load(std::memory_order_relaxed) >> 8 == library ? 1 : 0;
    }
    return count;
}

CallSlot* PluginWatch::TakeDeliverySlot()
{
    for (CallSlot& slot : deliverySlots_) {
        if (!slot.taken.load(std::memory_order_relaxed) && !slot.taken.exchange(true, std::memory_order_acquire)) {
            return &slot;
        }
    }
    return nullptr;
}

void PluginWatch::ReleaseDeliverySlot(CallSlot* slot)
{
    if (slot != nullptr) {
        slot->taken.store(false, std::memory_order_release);
    }
}

void PluginWatch::Start(std::function<std::size_t()> queued)
{
    queued_ = std::move(queued);
    stopping_ = false;
    watcher_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(stopMutex_);
        while (!stopCond_.wait_for(lock, kTick, [this] { return stopping_; })) {
            lock.unlock();
            Check(std::chrono::steady_clock::now());
            lock.lock();
        }
    });
}

void PluginWatch::Stop()
{
    if (!watcher_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopCond_.notify_all();
    watcher_.join();
    // The last call seen stalled (an Unload, say) has returned by now.
    Check(std::chrono::steady_clock::now());
}

void PluginWatch::Check(std::chrono::steady_clock::time_point now)
{
    tickNs_.store(Nanoseconds(now), std::memory_order_relaxed);
    const int64_t thresholdMs = StallThreshold();
    CheckSlot(mainSlot_, mainSeen_, now, thresholdMs);
    CheckSlot(ioSlot_, ioSeen_, now, thresholdMs);
    for (std::size_t i = 0; i < kDeliverySlots; ++i) {
        CheckSlot(deliverySlots_[i], deliverySeen_[i], now, thresholdMs);
    }
}

void PluginWatch::CheckSlot(CallSlot& slot, Seen& seen, std::chrono::steady_clock::time_point now, int64_t thresholdMs)
{
    const uint32_t call = slot.call.load(std::memory_order_acquire);
    const uint32_t entered = slot.entered.load(std::memory_order_relaxed);
    const bool same = call != 0 && call == seen.call && entered == seen.entered;
    if (!same && seen.reported) {
        const auto entry = static_cast<PluginCall>(seen.call & 0xff);
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR,
                   "plugin %s %s on the %s thread returned after %lld ms", FileName(seen.call >> 8),
                   PluginCallName(entry), CallThreadName(&slot, entry), MillisecondsBetween(seen.since, now));
    }
    if (!same) {
        seen = Seen{call, entered, now, false};
        return;
    }
    const long long elapsedMs = MillisecondsBetween(seen.since, now);
    if (seen.reported || thresholdMs <= 0 || elapsedMs < thresholdMs) {
        return;
    }
    seen.reported = true;
    const auto entry = static_cast<PluginCall>(call & 0xff);
    const char* thread = CallThreadName(&slot, entry);
    if (&slot == &mainSlot_ && std::strcmp(thread, "dispatcher") == 0 && queued_) {
        const std::size_t waiting = queued_() + slot.behind.load(std::memory_order_relaxed);
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR,
                   "plugin %s %s on the %s thread has not returned for %lld ms, %zu events waiting behind it",
                   FileName(call >> 8), PluginCallName(entry), thread, elapsedMs, waiting);
        return;
    }
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR,
               "plugin %s %s on the %s thread has not returned for %lld ms", FileName(call >> 8), PluginCallName(entry),
               thread, elapsedMs);
}
