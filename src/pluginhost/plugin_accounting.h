// Per-plugin accounting: what each plugin raises, is refused, receives and
// costs the dispatcher, published as the plugin accounting document.
//
// Call times cost no clock reading per call: they are read from the watch's
// tick clock, which moves every 100 ms. A call counts the ticks it spans, so
// one short call counts 0 or 100 ms, but summed over many calls the figure is
// the time spent (the ticks fall independently of the calls), and the
// longest call is right to one tick.
//
// One PluginTally per provider index (bits 16..27 of the id, as the log level
// tables; plugins sharing an index share a tally). Raisers count with relaxed
// atomic additions; the dispatcher and ioThread, the only callers of Write
// and IOCTL, count their calls with plain relaxed stores of their own. The
// document is built on request from the tallies, the plugin list, the
// reference-block table and the watch:
//
//   <PluginAccounting Time="...">
//     <PluginUsage ID="..." Filename="..." Raised="..." Refused="..."
//       NoSyncFrame="..." FrameLimit="..." Throttled="..." NoMemory="..."
//       Delivered="..." WriteUs="..." WriteMaxUs="..." Ioctls="..."
//       IoctlUs="..." IoctlMaxUs="..." BlocksKept="..." BytesKept="..."
//       Threads="..."/>
//   </PluginAccounting>
//
// It is published as an EVT_STATUS event every `AccountingSeconds` (core.xml,
// supervision_settings.h), when a plugin raises a broadcast request of type
// EVT_STATUS whose payload is "<PluginAccounting/>", and sent to the parent as
// IPC_ACCOUNTING_REPLY when it asks with IPC_ACCOUNTING_REQUEST.
#ifndef DVRCORE_PLUGINHOST_PLUGIN_ACCOUNTING_H
#define DVRCORE_PLUGINHOST_PLUGIN_ACCOUNTING_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "plugin_api.h"

class dvrcore;
class XmlDocument;

// Root element of the document, and the payload that asks for it.
constexpr const char* ACCOUNTING_ELEMENT = "PluginAccounting";
constexpr const char* ACCOUNTING_REQUEST_TEXT = "<PluginAccounting/>";

// Counters of one plugin's calls of one kind: count, total and longest time.
struct CallTally {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> totalNs{0};
    std::atomic<uint64_t> longestNs{0};

    // Single writer per tally (the thread that makes these calls). Times are
    // the watch's tick clock (PluginWatch::TickNs) before and after the call.
    void Count(uint64_t startNs, uint64_t endNs)
    {
        const uint64_t ns = endNs - startNs;
        calls.store(calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        totalNs.store(totalNs.load(std::memory_order_relaxed) + ns, std::memory_order_relaxed);
        if (ns > longestNs.load(std::memory_order_relaxed)) {
            longestNs.store(ns, std::memory_order_relaxed);
        }
    }
};

struct PluginTally {
    std::atomic<uint64_t> raised{0};
    // Refusals by result: 1, 3, 4, 5 and -1 (RESULT_NO_MEMORY).
    std::array<std::atomic<uint64_t>, 5> refused{};
    CallTally writes;     // dispatcher
    CallTally ioctls;     // dispatcher (configuration); IPC packets count apart
    CallTally ipcIoctls;  // ioThread
};

class PluginAccounting {
public:
    using Clock = std::chrono::steady_clock;

    // Counts one event raised through the entry and its outcome. Release
    // blocks and log messages are not events of the plugin's traffic.
    void CountRaised(const _EventParmsIn& in, const _EventParmsOut& out)
    {
        if (in.eventType == EVT_RELEASE_BLOCK || (in.eventType & EVT_LOG) != 0) {
            return;
        }
        PluginTally* tally = ForProvider(in.providerID);
        if (tally == nullptr) {
            return;
        }
        tally->raised.fetch_add(1, std::memory_order_relaxed);
        if (out.result != RESULT_OK) {
            CountRefusal(*tally, out.result);
        }
    }
    PluginTally* ForProvider(uint32_t provider)
    {
        const uint32_t index = PROVIDER_INDEX(provider);
        return index < tallies_.size() ? &tallies_[index] : nullptr;
    }

    // Period of the published document; 0: only on request.
    void SetPeriod(std::chrono::seconds period) { periodSeconds_.store(period.count(), std::memory_order_relaxed); }
    // ioThread timer: whether a periodic document is due at `now`.
    bool Due(Clock::time_point now);

    // Builds the document from `core`'s state; any thread that holds no lock
    // of the core.
    static void Build(dvrcore& core, XmlDocument& document);

private:
    static void CountRefusal(PluginTally& tally, int32_t result);

    std::array<PluginTally, LOG_LEVEL_TABLE_SIZE> tallies_{};
    std::atomic<int64_t> periodSeconds_{60};
    Clock::time_point lastPublished_{};  // ioThread
};

#endif  // DVRCORE_PLUGINHOST_PLUGIN_ACCOUNTING_H
