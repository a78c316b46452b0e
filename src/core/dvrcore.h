// The one core object of the process.
//
// `dvrcore` owns the event loop (`ioContext`, run by `ioThread`), the periodic
// timer, the IPC socket to the parent service, the plugin list, the event queue
// and the tables and flags that the subsystems share. The process entry builds
// it, calls Initialize() and then Start(), which runs the whole life of the core
// on the main thread: start-up, the dispatch loop, shutdown.
//
// Its operations are defined beside the subsystem they belong to:
//   src/core        construction, Initialize, Start, privilege drop, monitor
//   src/log         WriteLog
//   src/config      LoadConfiguration, SaveConfiguration, ApplyConfiguration
//   src/pluginhost  LoadPlugins, OpenPlugins, ClosePlugins, UnloadPlugins
//   src/events      PluginEvent, DispatchEvents, broadcasts, ReleaseBlock
//   src/ipc         the IPC reader and writer
//
// Threads: the main thread runs Initialize, Start, plugin load/open/close/
// unload and the dispatcher; `ioThread` runs signals, the timer, IPC and
// configuration updates; plugin threads and reader delivery threads call
// PluginEvent. Locks (never held while a plugin entry runs): `queueMutex`,
// the handle gate's mutex, the frame gate's mutex, the mutex of `refBlocks`,
// `pluginListMutex`, the delivery tracker's mutex, and the process-wide
// file-name lock of the XML file save and load. Only two pairs nest, always in
// this order: the handle gate's mutex before a reader slot's own mutex, and
// `pluginListMutex` (shared, in StartBroadcast) before the delivery tracker's
// mutex, which keeps a starting delivery's plugin in the list.
#ifndef DVRCORE_CORE_DVRCORE_H
#define DVRCORE_CORE_DVRCORE_H

#include <array>
#include <atomic>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "block_homes.h"
#include "delivery_tracker.h"
#include "event_queue.h"
#include "frame_gate.h"
#include "handle_gate.h"
#include "log_level_table.h"
#include "module_names.h"
#include "plugin_accounting.h"
#include "plugin_api.h"
#include "plugin_info.h"
#include "plugin_quarantine.h"
#include "plugin_watch.h"
#include "ref_block_table.h"

class QueueStatistics;
class TiXmlDocument;
class TiXmlElement;

// Resident memory above this many bytes throttles video and audio frames.
constexpr std::size_t MEMORY_LIMIT = 199229440;  // 190 MiB

// The core's own version text, "21.12.2.0".
const char* GetVersion();

class dvrcore;

// The process's one core; set as the last step of construction, cleared when
// it is destroyed. The event entry `CoreEventCallback` reaches the core only
// through it.
extern dvrcore* theCore;

// The plain event function handed to plugins and used by LogMessage: calls
// PluginEvent on `theCore`; refuses (RESULT_REFUSED) once there is no core,
// freeing an EVT_SEND_TO_PARENT block as the core would have.
extern "C" int CoreEventCallback(_EventParmsIn* in, _EventParmsOut* out);

class dvrcore {
public:
    using Clock = std::chrono::steady_clock;
    // The resource monitor ticks this long after the end of the previous tick.
    static constexpr std::chrono::milliseconds kTimerInterval{100};

    // Builds every member and sets `theCore`. Starts no thread, touches no file.
    explicit dvrcore(std::string exePath);
    virtual ~dvrcore();
    dvrcore(const dvrcore&) = delete;
    dvrcore& operator=(const dvrcore&) = delete;

    // ---- Virtual operations, in slot order after the destructor. ----------
    // The steady clock; tests move it.
    virtual Clock::time_point Now();
    // Builds the memory status document and publishes it as EVT_STATUS.
    virtual void PublishMemoryStatus();
    // Writes one log line (and a syslog copy at level 100). Called only by
    // PluginEvent, on the raiser's thread.
    virtual void WriteLog(uint32_t provider, uint32_t level, const char* text);
    // Seams for the resource monitor: the wall clock in seconds and the
    // resident set size in bytes (0 when unreadable). Tests replace them.
    virtual std::time_t WallTime();
    virtual uint32_t ReadResidentBytes();

    // ---- Lifecycle (main thread). ------------------------------------------
    // Enters "core" as module name, drops privileges and adopts `pipe` (-1: no
    // IPC link) as `ipcSocket`. False: the process exits with status 2.
    bool Initialize(int pipe);
    // Start-up, the dispatch loop until a stop is requested, and shutdown.
    void Start();
    // Sets `stopRequested`, wakes the dispatcher, and closes the handle gate,
    // waking and refusing replies waiting on back-pressure; any thread, any
    // time.
    void RequestStop();

    // ---- Event routing (src/events). ---------------------------------------
    // The event entry; any thread. Always returns 0; the outcome is in
    // out->result (RESULT_NO_MEMORY when memory runs out on the way: no
    // exception reaches the raiser). Never writes to `in`.
    int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);
    // Main thread: delivers queued events until a stop is requested and the
    // queue is empty.
    void DispatchEvents();
    // One record of a batch: `takenBehind` records were taken with it.
    void DispatchEvent(const QueuedEvent& queued, std::size_t takenBehind, QueueStatistics& statistics);
    // Releases `owner`'s reference to `block`; on the last one wakes a reader
    // waiting on it and frees the block, or sends it home to be freed by its
    // raiser (block_homes.h). Unknown blocks are ignored.
    void ReleaseBlock(void* block, uint32_t owner);
    // The same for several owners at once.
    void ReleaseBlock(void* block, const std::vector<uint32_t>& owners);
    // Starts one ReaderDelivery thread per plugin that accepts the broadcast.
    void StartBroadcast(const _EventParmsIn& request);
    // Main thread, before plugins are unloaded and at destruction: refuses
    // further broadcasts and replies, wakes replies waiting on back-pressure
    // and waits until every delivery thread has left the plugin and the core.
    void StopDeliveries();

    // ---- Plugin host (src/pluginhost, main thread). ------------------------
    // Maps and identifies the plugin libraries beside the executable, in load
    // order; a quarantined, refused or broken one is logged and skipped. Starts the worker
    // threads asked for. True when at least one plugin was accepted.
    bool LoadPlugins();
    // Calls every plugin's Open in list order; stores its result and duration.
    void OpenPlugins();
    // Sorts pluginList into close order (descending 0x20 mask), then calls
    // every plugin's Close. Failures are logged at level 0.
    bool ClosePlugins();
    // Per plugin in close order: joins its reader, then its worker (without a
    // time limit), calls Unload and unmaps it; then empties pluginList.
    bool UnloadPlugins();
    // Start the worker (IOCTL_WORKER_THREAD) or asynchronous reader (Read)
    // thread of one plugin into its record; the thread keeps only the entry.
    void ProvideWorkerThread(PLUGININFO& plugin);
    void StartAsyncReader(PLUGININFO& plugin);

    // ---- Configuration (src/config). ---------------------------------------
    void LoadConfiguration();
    void SaveConfiguration();
    void ApplyConfiguration(const std::string& text);
    void PublishDocument(TiXmlDocument& document, uint32_t eventType);

    // ---- IPC link (src/ipc, ioThread). -------------------------------------
    void StartIpcRead();
    void OnIpcRead(const boost::system::error_code& error, std::size_t bytes);
    void QueueIpcPacket(void* block, std::size_t length);
    void SendNextIpcPacket();
    void OnIpcWritten(const boost::system::error_code& error);

    // ---- Resource monitor (src/core, ioThread). ----------------------------
    // The 100 ms tick: logs clock jumps, samples memory once per wall-clock
    // second, reports usage once a minute, re-arms. An error (cancellation)
    // or `timerStopped` ends the monitor for the rest of the run.
    void OnTimer(const boost::system::error_code& error);
    // Publishes the plugin accounting document as EVT_STATUS; any thread.
    void PublishAccounting();
    // Sets `throttling` to `low`; announces an episode's start at once and its
    // end 60 s after its last over-limit sample (log and status document).
    void SetLowMemory(bool low);

    // ---- Members, in declaration order. ------------------------------------

    // Loaded plugins in load order; sorted once into close order. Written only
    // by the main thread, under an exclusive `pluginListMutex`; other threads
    // (broadcast start, IPC routing, configuration document) walk it under a
    // shared lock and never call a plugin while holding it.
    std::vector<PLUGININFO> pluginList;
    mutable std::shared_mutex pluginListMutex;
    // Provider id -> short module name for log lines; has its own lock.
    ModuleNames moduleNames;
    // File name -> loader error text of plugin files that failed to map.
    std::map<std::string, std::string> failedPlugins;
    // File name and why, in load order, of plugin files that mapped but were
    // refused (no "Load", a failed Load, an id that is taken or too large).
    // Written at load only, before the IPC reader runs.
    std::vector<std::pair<std::string, std::string>> refusedPlugins;

    boost::asio::io_context ioContext;
    // Resource monitor timer; first expiry 100 ms after construction.
    boost::asio::steady_timer timer;
    // The link to the parent service; touched on `ioThread` only once it runs.
    boost::asio::generic::seq_packet_protocol::socket ipcSocket;
    // Whether `ipcSocket` holds a descriptor; read by raisers on any thread,
    // written where the socket is adopted or closed.
    std::atomic<bool> ipcOpen{false};
    // Packets waiting for the parent (ioThread only); blocks from malloc.
    std::deque<std::pair<void*, std::size_t>> ipcOutgoing;
    // Bytes of ipcOutgoing, and the most it held since it was last empty
    // (ioThread only): a burst for a slow parent is given back to the system
    // once it has gone.
    std::size_t ipcOutgoingBytes = 0;
    std::size_t ipcOutgoingPeak = 0;
    // IPC receive buffer and the number of bytes it holds (ioThread only).
    std::array<uint8_t, IPC_MAX_PACKET> ipcBuffer{};
    std::size_t ipcFill = 0;
    // Out-flags of the outstanding receive: a sequenced-packet receive needs
    // somewhere to put them; nothing reads them (ioThread only).
    boost::asio::socket_base::message_flags ipcReceiveFlags = 0;

    // Guards `eventQueue`, `parentAnnounced`, `parentFilename`, `parentVersion`
    // and the stop request's hand-over to the dispatcher.
    std::mutex queueMutex;
    std::condition_variable queueCond;
    // Records in arrival order (event_queue.h). The dispatcher swaps the
    // whole queue for its (empty) batch, so one lock takes every waiting record.
    EventQueue eventQueue;           // guarded by queueMutex
    bool dispatcherWaiting = false;  // guarded by queueMutex
    // Records of the dispatcher's current batch still to deliver (main thread
    // writes, the stop request reads).
    std::atomic<std::size_t> dispatchBacklog{0};
    // Main thread: the plugins the event being dispatched goes to, and the
    // owners of its block (kept to spare allocations per event).
    std::vector<const PLUGININFO*> dispatchTargets;
    std::vector<uint32_t> blockOwners;
    bool parentAnnounced = false;  // guarded by queueMutex

    // Frame gate: frameCountsMutex, frameCounts, throttled frame counters.
    FrameGate frameGate;
    // Handle gate: handleMutex, cancelledHandles, readerSlots.
    HandleGate handleGate;
    // Live reader delivery threads; waited for before plugins are unloaded.
    DeliveryTracker deliveries;

    std::string exePath;
    std::string productName = "Sentinelcam";
    std::string versionText;
    std::string parentFilename;  // guarded by queueMutex
    std::string parentVersion;   // guarded by queueMutex

    // Flags that cross threads: single atomic bytes, no ordering needed.
    std::atomic<bool> colorLog{true};
    std::atomic<bool> quietLog{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> sleepBeforeUnload{false};
    std::atomic<bool> memoryMonitor{true};
    std::atomic<bool> throttling{false};
    // Start of the announced low-memory episode; max() when none (ioThread).
    Clock::time_point lowMemorySince = Clock::time_point::max();

    LogLevelTable defaultLogLevels;
    LogLevelTable logLevels;

    // Resource monitor state (ioThread only).
    bool limitLogged = false;
    std::time_t lastWallTime = 0;
    Clock::time_point lastReportTime{};
    uint32_t lastReportedBytes = 0;
    bool timerStopped = false;

    std::unique_ptr<boost::asio::signal_set> signals;
    std::thread ioThread;

    // Which plugin entry each calling thread is in; its watcher thread logs
    // stalls, and the crash report reads it (plugin_watch.h).
    PluginWatch pluginWatch;
    // core.xml's Supervision element as read, written back with the file
    // (supervision_settings.h); main thread at start, then read only.
    std::unique_ptr<TiXmlElement> supervisionElement;
    // What each plugin raised and cost (plugin_accounting.h).
    PluginAccounting accounting;
    // Plugins left unloaded for crashing the core (plugin_quarantine.h).
    PluginQuarantine quarantine;

    // Clears `theCore` when destroyed, just after `refBlocks`.
    struct CoreRegistration {
        const dvrcore* core;
        ~CoreRegistration();
    } registration{this};

    // Payload blocks shared by reference. Declared last so that it is
    // destroyed first: its leak report is logged through the core's event
    // entry while every other member is still alive.
    RefBlockTable refBlocks;

private:
    // Main thread, before plugins load: the crash report, the stall watch.
    void StartSupervision();
    void StopTimer();
    void WaitForParentAnnouncement();
};

#endif  // DVRCORE_CORE_DVRCORE_H
