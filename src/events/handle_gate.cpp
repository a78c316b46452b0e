#include "handle_gate.h"

void HandleGate::Cancel(void* handle)
{
    std::lock_guard<std::mutex> lock(handleMutex);
    cancelledHandles.insert(handle);
}

void HandleGate::Revive(void* handle)
{
    std::lock_guard<std::mutex> lock(handleMutex);
    cancelledHandles.erase(handle);
}

void HandleGate::EnterReader()
{
    std::lock_guard<std::mutex> lock(handleMutex);
    auto& slot = readerSlots[std::this_thread::get_id()];
    if (!slot) {
        slot = std::make_unique<ReaderSlot>();
    }
}

void HandleGate::LeaveReader()
{
    std::lock_guard<std::mutex> lock(handleMutex);
    auto found = readerSlots.find(std::this_thread::get_id());
    if (found == readerSlots.end()) {
        return;
    }
    // A reply payload still in flight no longer has a reader to wake.
    if (found->second->pendingBlock != nullptr) {
        pendingReplies.fetch_sub(1);
    }
    readerSlots.erase(found);
}

bool HandleGate::Admit(void* handle, void* block)
{
    ReaderSlot* slot = nullptr;
    {
        std::lock_guard<std::mutex> lock(handleMutex);
        if (closed || cancelledHandles.count(handle) != 0) {
            return false;
        }
        auto found = readerSlots.find(std::this_thread::get_id());
        if (found == readerSlots.end()) {
            return false;
        }
        // Only this thread removes its own slot, so it outlives the wait.
        slot = found->second.get();
    }
    if (block == nullptr) {
        return true;
    }
    std::unique_lock<std::mutex> lock(slot->mutex);
    slot->cond.wait(lock, [this, slot] { return slot->pendingBlock == nullptr || closed; });
    if (closed) {
        return false;
    }
    slot->pendingBlock = block;
    // Counted before the reply is queued, so the release of this block
    // (after its delivery) always sees it.
    pendingReplies.fetch_add(1);
    return true;
}

void HandleGate::BlockReleased(void* block)
{
    if (block == nullptr || pendingReplies.load() == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(handleMutex);
    for (auto& entry : readerSlots) {
        ReaderSlot& slot = *entry.second;
        std::lock_guard<std::mutex> slotLock(slot.mutex);
        if (slot.pendingBlock == block) {
            slot.pendingBlock = nullptr;
            pendingReplies.fetch_sub(1);
            slot.cond.notify_one();
        }
    }
}

void HandleGate::Close()
{
    std::lock_guard<std::mutex> lock(handleMutex);
    closed = true;
    for (auto& entry : readerSlots) {
        // Taking the slot's mutex orders the flag with a reply about to wait.
        std::lock_guard<std::mutex> slotLock(entry.second->mutex);
        entry.second->cond.notify_all();
    }
}
