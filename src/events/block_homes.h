// Payload blocks go home to be freed on the thread that allocated them.
//
// A raiser allocates the payload copy of every event it raises, and the
// dispatcher (or a plugin thread) usually drops the last reference. Freed on
// that other thread, every block goes back into the raiser's malloc arena
// under the arena's lock while the raiser takes the next block from it: on a
// busy stream the two threads fight over that lock and most of an event's
// cost becomes futex calls. So the last owner of a block sends it home: it
// pushes the block onto a lock-free list of the raiser's thread, and the
// raiser frees it at its next payload copy, where the allocator's thread
// cache takes it back without a lock. Blocks still come from malloc and go
// back to free; only the freeing thread changes.
//
// A thread gets a home at its first payload copy (one of kHomeCount
// process-wide slots, never destroyed, so a plugin thread may outlive the
// core) and gives it up when it ends. A home holds at most kHomeBytes. A block
// is freed at once, by whoever sends it, when it has no home (more raising
// threads than homes), its home is full or given up, or it is too small to
// carry the list link. Every function may be called from any thread.
#ifndef DVRCORE_EVENTS_BLOCK_HOMES_H
#define DVRCORE_EVENTS_BLOCK_HOMES_H

#include <cstddef>
#include <cstdint>

namespace block_homes {

using HomeId = uint16_t;
constexpr HomeId kNoHome = 0xFFFF;
constexpr std::size_t kHomeCount = 64;
// A thread that stops raising keeps at most this much freed memory parked.
constexpr uint32_t kHomeBytes = 256 * 1024;

// The calling thread's home, taken at the first call; kNoHome when every home
// is taken. Frees the blocks that came home since the previous call.
HomeId CollectOwnHome();

// Frees `block` (`size` bytes, from malloc) now, or sends it home.
void SendHome(void* block, uint32_t size, HomeId home);

// Frees the blocks waiting in every home: when memory runs short, and when
// the core is destroyed.
void CollectAllHomes();

// Bytes waiting in every home, for tests.
std::size_t ParkedBytes();

}  // namespace block_homes

#endif  // DVRCORE_EVENTS_BLOCK_HOMES_H
