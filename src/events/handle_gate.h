// The handle gate: replies to broadcast requests, and reader back-pressure.
//
// A broadcast request (provider id 0) reaches each accepting reader plugin on
// a reader delivery thread; while that thread is inside the plugin's Read it
// owns a ReaderSlot. Replies that carry the request's handle are admitted only
// from such a thread, only while the handle is not cancelled, and with at most
// one reply payload in flight per thread: the next one waits until the
// previous block has been released by all its owners.
//
// Lock order: `handleMutex` before a slot's own mutex; never held together
// with any other lock of the core.
#ifndef DVRCORE_EVENTS_HANDLE_GATE_H
#define DVRCORE_EVENTS_HANDLE_GATE_H

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

struct ReaderSlot {
    std::mutex mutex;
    std::condition_variable cond;
    void* pendingBlock = nullptr;  // guarded by mutex
};

class HandleGate {
public:
    HandleGate() = default;
    HandleGate(const HandleGate&) = delete;
    HandleGate& operator=(const HandleGate&) = delete;

    // EVT_CANCEL_HANDLE: replies with `handle` are refused from now on.
    void Cancel(void* handle);
    // A new broadcast request with `handle` makes it live again.
    void Revive(void* handle);

    // Called by a reader delivery thread around its Read call: the thread's
    // slot exists exactly while it is inside Read. May throw std::bad_alloc.
    void EnterReader();
    void LeaveReader();

    // On the raiser's thread, for an event with a non-null handle and the
    // core's payload copy (may be null). False: refuse with RESULT_REFUSED.
    // Blocks while the thread's previous reply payload is still alive.
    bool Admit(void* handle, void* block);

    // The last owner released `block`: wake the reader waiting on it. Costs
    // one atomic load when no reply payload is in flight.
    void BlockReleased(void* block);

    // The stop request and shutdown (any thread, more than once): every reply
    // from now on is refused, and replies waiting for their previous payload
    // are woken and refused, so that no reader stays blocked on a block that a
    // plugin never gives back.
    void Close();

private:
    std::mutex handleMutex;
    std::set<void*> cancelledHandles;                                    // guarded by handleMutex
    std::map<std::thread::id, std::unique_ptr<ReaderSlot>> readerSlots;  // guarded by handleMutex
    // Number of slots whose pendingBlock is set; lets releases skip the scan.
    std::atomic<int> pendingReplies{0};
    // Set under handleMutex; read under a slot's mutex by a waiting reply.
    std::atomic<bool> closed{false};
};

#endif  // DVRCORE_EVENTS_HANDLE_GATE_H
