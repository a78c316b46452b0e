#include "failing_allocations.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator interface (their header is not always installed).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

thread_local bool failing = false;

}  // namespace

namespace eventtest {

FailingAllocations::FailingAllocations()
{
    failing = true;
}

FailingAllocations::~FailingAllocations()
{
    failing = false;
}

std::size_t HeapBytesInUse()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

}  // namespace eventtest

// The replacements. The default array, nothrow and sized forms call these.
void* operator new(std::size_t size)
{
    if (!failing) {
        if (void* block = std::malloc(size != 0 ? size : 1)) {
            return block;
        }
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
