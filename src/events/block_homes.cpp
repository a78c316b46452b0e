#include "block_homes.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace block_homes {

namespace {

// Written into a block once it has come home: the block is free memory then.
struct Link {
    Link* next;
    uint32_t size;
};

// One cache line each: a home is written by its owner and by the senders,
// and should not share a line with the next one's traffic.
struct alignas(64) Home {
    std::atomic<Link*> head{nullptr};
    std::atomic<uint32_t> bytes{0};
    std::atomic<bool> taken{false};  // a live thread owns it
    std::atomic<bool> open{false};   // its owner takes blocks back
};

// Constant-initialised and never destroyed: threads of plugins may end after
// the core, and their leases still give their homes back.
Home homes[kHomeCount];

void FreeWaiting(Home& home)
{
    Link* link = home.head.exchange(nullptr, std::memory_order_acquire);
    uint32_t freed = 0;
    while (link != nullptr) {
        Link* next = link->next;
        freed += link->size;
        std::free(link);
        link = next;
    }
    if (freed != 0) {
        home.bytes.fetch_sub(freed, std::memory_order_relaxed);
    }
}

// A thread's claim on its home, given up (and emptied) when the thread ends.
// A block sent just as the home closes may still land in it; the home's next
// owner, or CollectAllHomes, frees it.
struct Lease {
    HomeId id = kNoHome;
    bool tried = false;

    ~Lease()
    {
        if (id == kNoHome) {
            return;
        }
        Home& home = homes[id];
        home.open.store(false, std::memory_order_release);
        FreeWaiting(home);
        home.taken.store(false, std::memory_order_release);
    }

    void Take()
    {
        tried = true;
        for (std::size_t i = 0; i < kHomeCount; ++i) {
            bool expected = false;
            if (homes[i].taken.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
                FreeWaiting(homes[i]);
                homes[i].open.store(true, std::memory_order_release);
                id = static_cast<HomeId>(i);
                return;
            }
        }
    }
};

thread_local Lease lease;

}  // namespace

HomeId CollectOwnHome()
{
    if (!lease.tried) {
        lease.Take();
    }
    if (lease.id != kNoHome && homes[lease.id].head.load(std::memory_order_relaxed) != nullptr) {
        FreeWaiting(homes[lease.id]);
    }
    return lease.id;
}

void SendHome(void* block, uint32_t size, HomeId id)
{
    if (id >= kHomeCount || size < sizeof(Link) || size > kHomeBytes) {
        std::free(block);
        return;
    }
    Home& home = homes[id];
    if (!home.open.load(std::memory_order_acquire)) {
        std::free(block);
        return;
    }
    if (home.bytes.fetch_add(size, std::memory_order_relaxed) + size > kHomeBytes) {
        home.bytes.fetch_sub(size, std::memory_order_relaxed);
        std::free(block);
        return;
    }
    Link* link = new (block) Link{home.head.load(std::memory_order_relaxed), size};
    while (!home.head.compare_exchange_weak(link->next, link, std::memory_order_release,
                                            std::memory_order_relaxed)) {
    }
}

void CollectAllHomes()
{
    for (Home& home : homes) {
        FreeWaiting(home);
    }
}

std::size_t ParkedBytes()
{
    std::size_t total = 0;
    for (const Home& home : homes) {
        total += home.bytes.load(std::memory_order_relaxed);
    }
    return total;
}

}  // namespace block_homes
