// The core event queue: queued events in arrival order.
//
// Records live in fixed chunks linked in order, so a push copies one record
// and never moves the ones already queued, however long the backlog: a raiser
// holding `queueMutex` never waits for a backlog to be copied. The dispatcher
// swaps the whole queue for its empty batch, so one lock takes every waiting
// record; clear() keeps a few chunks for the next pushes, and a swap hands
// them to the other queue with the records, so steady traffic allocates
// nothing here. Not synchronised: the owner's mutex guards it.
#ifndef DVRCORE_EVENTS_EVENT_QUEUE_H
#define DVRCORE_EVENTS_EVENT_QUEUE_H

#include <cstddef>
#include <iterator>

#include "block_homes.h"
#include "plugin_api.h"

// A queued event: the record as the plugins will see it, and the home of the
// thread that allocated its payload copy (block_homes.h).
struct QueuedEvent {
    _EventParmsIn event;
    block_homes::HomeId home;
};

class EventQueue {
public:
    // About 12 KiB per chunk on the device.
    static constexpr std::size_t kChunkRecords = 64;
    // Chunks kept by clear() for the next pushes (1024 records).
    static constexpr std::size_t kRetainedChunks = 16;

private:
    struct Chunk {
        Chunk* next = nullptr;
        QueuedEvent records[kChunkRecords];
    };

public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = QueuedEvent;
        using difference_type = std::ptrdiff_t;
        using pointer = const QueuedEvent*;
        using reference = const QueuedEvent&;

        const_iterator(const Chunk* chunk, std::size_t index) : chunk_(chunk), index_(index) {}
        reference operator*() const { return chunk_->records[index_]; }
        pointer operator->() const { return &**this; }
        const_iterator& operator++()
        {
            if (++index_ == kChunkRecords) {
                chunk_ = chunk_->next;
                index_ = 0;
            }
            return *this;
        }
        bool operator==(const const_iterator& other) const { return chunk_ == other.chunk_ && index_ == other.index_; }
        bool operator!=(const const_iterator& other) const { return !(*this == other); }

    private:
        const Chunk* chunk_;
        std::size_t index_;
    };

    EventQueue() = default;
    // Frees the chunks; the payloads of records still queued are the owner's.
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Appends a copy of `record`. May throw std::bad_alloc; nothing is
    // appended then.
    void push_back(const QueuedEvent& record)
    {
        if (tailFill_ == kChunkRecords) {
            AddChunk();
        }
        tail_->records[tailFill_++] = record;
        ++size_;
    }
    // Forgets every record (not their payloads).
    void clear() noexcept;
    void swap(EventQueue& other) noexcept;

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    const QueuedEvent& front() const { return *begin(); }
    const QueuedEvent& back() const;
    const_iterator begin() const { return {size_ != 0 ? head_ : nullptr, 0}; }
    // One past the last record; {nullptr, 0} once the records fill the tail.
    const_iterator end() const
    {
        return tailFill_ == kChunkRecords ? const_iterator(nullptr, 0) : const_iterator(tail_, tailFill_);
    }

private:
    // Links a spare chunk, or a new one, behind the tail.
    void AddChunk();

    Chunk* head_ = nullptr;
    Chunk* tail_ = nullptr;
    // Records in the tail chunk; full when there is none, so that one test
    // tells a push that it needs a chunk.
    std::size_t tailFill_ = kChunkRecords;
    std::size_t size_ = 0;
    Chunk* spare_ = nullptr;  // chunks ready for the next pushes
    std::size_t spareCount_ = 0;
};

#endif  // DVRCORE_EVENTS_EVENT_QUEUE_H
