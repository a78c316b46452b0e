// The core event entry: one way into event routing for everything.
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "dvrcore.h"

namespace {

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};
using OwnedBlock = std::unique_ptr<void, FreeBlock>;

bool IsAccountingRequest(const _EventParmsIn& request)
{
    const std::size_t length = std::strlen(ACCOUNTING_REQUEST_TEXT);
    return request.eventType == EVT_STATUS && request.data != nullptr && request.dataSize >= length &&
           std::memcmp(request.data, ACCOUNTING_REQUEST_TEXT, length) == 0;
}

}  // namespace

extern "C" int CoreEventCallback(_EventParmsIn* in, _EventParmsOut* out)
{
    dvrcore* core = theCore;
    if (core == nullptr) {
        // A library that stays mapped may still raise after the core is gone.
        if (in->eventType == EVT_SEND_TO_PARENT) {
            std::free(in->data);
        }
        out->result = RESULT_REFUSED;
        return 0;
    }
    const int returned = core->PluginEvent(in, out);
    core->accounting.CountRaised(*in, *out);
    return returned;
}

// A function try block: the raiser may be a plugin, and a failed allocation
// anywhere on the way (a gate's table, the work item of a packet, a log text)
// is answered, not thrown into it. Every step below leaves nothing behind
// when it throws.
int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out)
try {
    const uint32_t type = in->eventType;

    if (type == EVT_RELEASE_BLOCK) {
        ReleaseBlock(in->data, in->providerID);
        return 0;
    }

    if (type == EVT_SEND_TO_PARENT) {
        // The block is ours from here on, whatever happens to it; without
        // bytes there is no packet to send.
        OwnedBlock block(in->data);
        if (in->dataSize == 0 || !ipcOpen) {
            out->result = RESULT_REFUSED;
            return 0;
        }
        const std::size_t length = in->dataSize;
        // A work item dropped unrun (the loop destroyed at exit) frees it.
        boost::asio::post(ioContext, [this, owned = std::make_shared<OwnedBlock>(std::move(block)), length] {
            QueueIpcPacket(owned->release(), length);
        });
        out->result = RESULT_OK;
        return 0;
    }

    if (in->providerID == 0) {
        if (type == EVT_CANCEL_HANDLE) {
            handleGate.Cancel(in->handle);
        } else {
            handleGate.Revive(in->handle);
            if (IsAccountingRequest(*in)) {
                boost::asio::post(ioContext, [this] { PublishAccounting(); });
            }
            StartBroadcast(*in);
        }
        out->result = RESULT_OK;
        return 0;
    }

    if ((type & EVT_LOG) != 0) {
        const int8_t threshold = logLevels.ForProvider(in->providerID);
        if ((in->flags & FLAG_LOG_MESSAGE) != 0) {
            if (threshold >= 0 && in->level < threshold) {
                return 0;
            }
            if (in->data != nullptr && std::memchr(in->data, 0, in->dataSize) == nullptr) {
                // An unterminated text is written only up to its size.
                const std::string text(static_cast<const char*>(in->data), in->dataSize);
                WriteLog(in->providerID, static_cast<uint32_t>(in->level), text.c_str());
            } else {
                WriteLog(in->providerID, static_cast<uint32_t>(in->level), static_cast<const char*>(in->data));
            }
            if (threshold < 0 && in->level == 0) {
                return 0;
            }
        } else if ((in->flags & FLAG_LEVEL_QUERY) != 0) {
            out->result = threshold;
            return 0;
        }
    }

    // Log messages still reach the log sinks while the plugins close.
    const bool lateLog = (type & EVT_LOG) != 0 && (in->flags & FLAG_LOG_MESSAGE) != 0;
    if (stopRequested && (!lateLog || pluginsClosed)) {
        out->result = RESULT_REFUSED;
        return 0;
    }

    if ((type & (EVT_VIDEO | EVT_AUDIO)) != 0 && (in->flags & FLAG_FRAME) != 0) {
        const int verdict = frameGate.Admit(in->providerID, type, in->syncFrame, throttling);
        if (verdict != RESULT_OK) {
            out->result = verdict;
            return 0;
        }
    }

    // Copied only now: log messages below their threshold never get here.
    _EventParmsIn copy = *in;
    block_homes::HomeId home = block_homes::kNoHome;
    if (in->data != nullptr && in->dataSize != 0) {
        home = block_homes::CollectOwnHome();
        copy.data = std::malloc(in->dataSize);
        if (copy.data == nullptr) {
            out->result = RESULT_NO_MEMORY;
            return 0;
        }
        std::memcpy(copy.data, in->data, in->dataSize);
    } else {
        copy.data = nullptr;
        copy.dataSize = 0;
    }

    if (in->handle != nullptr && !handleGate.Admit(in->handle, copy.data)) {
        std::free(copy.data);
        out->result = RESULT_REFUSED;
        return 0;
    }

    bool queued = false;
    bool wake = false;
    int refusal = RESULT_REFUSED;
    try {
        std::lock_guard<std::mutex> lock(queueMutex);
        // A stop may have come since the test above, and the dispatcher may
        // already have taken its last record: an event queued now would never
        // be delivered. RequestStop sets the flag under this lock, so the test
        // here is exact.
        if (!stopRequested || (lateLog && !pluginsClosed)) {
            eventQueue.push_back(QueuedEvent{copy, home});
            queued = true;
            // Only a waiting dispatcher needs the signal; a busy one finds
            // the record when it comes back for the next.
            wake = dispatcherWaiting;
        }
    } catch (const std::bad_alloc&) {
        // The payload copy must be given back first.
        refusal = RESULT_NO_MEMORY;
    }
    if (!queued) {
        // Frees the raiser's reader to send again.
        handleGate.BlockReleased(copy.data);
        std::free(copy.data);
        out->result = refusal;
        return 0;
    }
    if (wake) {
        queueCond.notify_one();
    }
    out->result = RESULT_OK;
    return 0;
} catch (const std::bad_alloc&) {
    out->result = RESULT_NO_MEMORY;
    return 0;
}
