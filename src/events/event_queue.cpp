#include "event_queue.h"

#include <utility>

namespace {

template <typename Chunk>
void FreeChain(Chunk* chunk)
{
    while (chunk != nullptr) {
        Chunk* next = chunk->next;
        delete chunk;
        chunk = next;
    }
}

}  // namespace

EventQueue::~EventQueue()
{
    FreeChain(head_);
    FreeChain(spare_);
}

void EventQueue::AddChunk()
{
    Chunk* chunk = spare_;
    if (chunk != nullptr) {
        spare_ = chunk->next;
        --spareCount_;
        chunk->next = nullptr;
    } else {
        chunk = new Chunk;
    }
    if (head_ == nullptr) {
        head_ = chunk;
    } else {
        tail_->next = chunk;
    }
    tail_ = chunk;
    tailFill_ = 0;
}

void EventQueue::clear() noexcept
{
    // Chunks beyond the retained few go back to the allocator: a burst must
    // not keep its memory resident.
    while (head_ != nullptr) {
        Chunk* chunk = head_;
        head_ = chunk->next;
        if (spareCount_ < kRetainedChunks) {
            chunk->next = spare_;
            spare_ = chunk;
            ++spareCount_;
        } else {
            delete chunk;
        }
    }
    tail_ = nullptr;
    tailFill_ = kChunkRecords;
    size_ = 0;
}

void EventQueue::swap(EventQueue& other) noexcept
{
    std::swap(head_, other.head_);
    std::swap(tail_, other.tail_);
    std::swap(tailFill_, other.tailFill_);
    std::swap(size_, other.size_);
    std::swap(spare_, other.spare_);
    std::swap(spareCount_, other.spareCount_);
}

const QueuedEvent& EventQueue::back() const
{
    return tail_->records[tailFill_ - 1];
}
