#include "plugin_watch.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>

#include "dvrcore.h"
#include "log_message.h"

namespace {

struct CodeRange {
    uintptr_t start = 0;
    uintptr_t end = 0;
};

// The span of an object's executable segments.
CodeRange CodeOf(const dl_phdr_info& info)
{
    CodeRange range;
    for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) {
            continue;
        }
        const uintptr_t start = info.dlpi_addr + segment.p_vaddr;
        const uintptr_t end = start + segment.p_memsz;
        if (range.start == 0 || start < range.start) {
            range.start = start;
        }
        if (end > range.end) {
            range.end = end;
        }
    }
    return range;
}

// Calls `visit(const dl_phdr_info&)` for every object mapped now.
template <typename Visit>
void ForEachObject(Visit visit)
{
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            (*static_cast<Visit*>(data))(*info);
            return 0;
        },
        &visit);
}

thread_local CallSlot* threadSlot = nullptr;
thread_local uint32_t threadCall = 0;
thread_local bool threadOfCore = false;

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
    threadOfCore = true;
}

void SetThreadCall(uint32_t library, PluginCall call)
{
    threadCall = library << 8 | static_cast<uint32_t>(call);
    threadOfCore = true;
}

void MarkCoreThread()
{
    threadOfCore = true;
}

bool ThreadOfCore()
{
    return threadOfCore;
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
    ForEachObject([this](const dl_phdr_info& info) {
        const CodeRange code = CodeOf(info);
        AddObject(code.start, code.end, 0);
    });
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
        entry.loadBase = map->l_addr;
    }
    entry.mapped.store(true, std::memory_order_relaxed);
    const auto number = static_cast<uint32_t>(count + 1);
    // The plugin's own object, and the libraries it brought in with it.
    ForEachObject([this, map, &entry, number](const dl_phdr_info& info) {
        const CodeRange code = CodeOf(info);
        if (map != nullptr && info.dlpi_addr == map->l_addr && info.dlpi_name != nullptr &&
            std::strcmp(info.dlpi_name, map->l_name) == 0) {
            entry.codeStart = code.start;
            entry.codeEnd = code.end;
        } else {
            AddObject(code.start, code.end, number);
        }
    });
    libraryCount_.store(count + 1, std::memory_order_release);
    return number;
}

void PluginWatch::AddObject(uintptr_t start, uintptr_t end, uint32_t library)
{
    const std::size_t count = objectCount_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < count; ++i) {
        WatchedObject& object = objects_[i];
        if (object.start != start || object.end != end) {
            continue;
        }
        // Mapped again after its plugin was refused and unmapped: the new one's.
        const uint32_t owner = object.library.load(std::memory_order_relaxed);
        if (owner != 0 && !libraries_[owner - 1].mapped.load(std::memory_order_relaxed)) {
            object.library.store(library, std::memory_order_relaxed);
        }
        return;
    }
    if (start == end || count == kMostObjects) {
        return;
    }
    objects_[count].start = start;
    objects_[count].end = end;
    objects_[count].library.store(library, std::memory_order_relaxed);
    objectCount_.store(count + 1, std::memory_order_release);
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

uint32_t PluginWatch::OwnerAt(uintptr_t address) const
{
    const uint32_t library = LibraryAt(address);
    if (library != 0) {
        return library;
    }
    const std::size_t count = objectCount_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < count; ++i) {
        const WatchedObject& object = objects_[i];
        const uint32_t owner = object.library.load(std::memory_order_relaxed);
        if (owner != 0 && address >= object.start && address < object.end &&
            libraries_[owner - 1].mapped.load(std::memory_order_relaxed)) {
            return owner;
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
        MarkCoreThread();
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
