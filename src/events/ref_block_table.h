// Reference-counted payload blocks, keyed by address.
//
// The one payload copy of a queued event is shared by the core and by every
// plugin that takes it; each owner is a provider id. A block is entered with
// its size at its first AddRef and leaves the table when its last owner is
// released; the caller of that last ReleaseRef frees it. Any thread; one
// internal mutex, never held together with another lock.
//
// When the table is destroyed, every block still in it was never given back:
// the table logs one leak report (level 0, through `eventFn`) naming each
// block and its owners, and frees only its own bookkeeping.
#ifndef DVRCORE_EVENTS_REF_BLOCK_TABLE_H
#define DVRCORE_EVENTS_REF_BLOCK_TABLE_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "block_homes.h"
#include "plugin_api.h"

class RefBlockTable {
public:
    // `eventFn` receives the leak report at destruction (may be null).
    explicit RefBlockTable(EventFunction eventFn);
    ~RefBlockTable();
    RefBlockTable(const RefBlockTable&) = delete;
    RefBlockTable& operator=(const RefBlockTable&) = delete;

    // What the last owner needs to give a block back: its size and the home
    // of the thread that allocated it (block_homes.h).
    struct Origin {
        uint32_t size;
        block_homes::HomeId home;
    };

    // Adds `owner` to the block's owners, entering the block with `size` and
    // `home` if it is new. A null block is ignored. May throw std::bad_alloc.
    void AddRef(void* block, uint32_t size, uint32_t owner, block_homes::HomeId home = block_homes::kNoHome)
    {
        // Most events carry no payload: no call for them.
        if (block != nullptr) {
            AddBlockRef(block, size, owner, home);
        }
    }
    // Removes `owner`; true when the block has no owner left and the caller
    // must free it (also for a null block); `origin`, when given, then
    // receives the block's size and home. A block the table does not hold
    // (never handed out, or already freed) gives false: it is never freed
    // twice. An id that is not among the owners changes nothing.
    bool ReleaseRef(void* block, uint32_t owner, Origin* origin = nullptr);

    // AddRef and ReleaseRef for several owners under one lock: the
    // dispatcher enters a block with the core and every plugin it is about
    // to hand it to, and drops the references of those that did not keep it
    // together.
    void AddRefs(void* block, uint32_t size, const std::vector<uint32_t>& owners,
                 block_homes::HomeId home = block_homes::kNoHome);
    bool ReleaseRefs(void* block, const std::vector<uint32_t>& owners, Origin* origin = nullptr);

    uint32_t BlockCount() const;
    uint32_t ByteCount() const;
    // Owner id -> number of tracked blocks that list it.
    std::unordered_map<uint32_t, uint32_t> OwnerTally() const;
    // Owner id -> the blocks that list it and their bytes.
    struct Kept {
        uint64_t blocks;
        uint64_t bytes;
    };
    std::unordered_map<uint32_t, Kept> KeptByOwner() const;
    // The leak report text: one line per tracked block, "" when empty.
    std::string LeakReport() const;

private:
    // Calls visit(owner, size) for every owner of every block, under the lock.
    template <typename Visit>
    void ForEachOwner(Visit visit) const;
    void AddBlockRef(void* block, uint32_t size, uint32_t owner, block_homes::HomeId home);
    // With the lock held: adds one owner; drops several, true when none is
    // left (and the block has left the table).
    void Enter(void* block, uint32_t size, uint32_t owner, block_homes::HomeId home);
    bool Drop(void* block, const uint32_t* owners, std::size_t count, Origin* origin);

    struct Entry {
        Origin origin;
        // Owners are few (the core and the plugins that took the block), so a
        // small vector beats a hash set.
        std::vector<uint32_t> owners;
    };
    using Blocks = std::unordered_map<void*, Entry>;
    // Entries of released blocks are kept (owner vector capacity included) and
    // reused for the next blocks, so steady event traffic allocates nothing
    // here.
    static constexpr std::size_t kSpareEntries = 64;

    EventFunction eventFn_;
    mutable std::mutex mutex_;
    Blocks blocks_;                          // guarded by mutex_
    std::vector<Blocks::node_type> spares_;  // guarded by mutex_
    uint32_t byteCount_ = 0;                 // guarded by mutex_
};

#endif  // DVRCORE_EVENTS_REF_BLOCK_TABLE_H
