// Allocation failures on demand: this test program replaces the global
// operator new, which throws std::bad_alloc on a thread while a
// FailingAllocations object of that thread lives. The C allocator is left
// alone (payload copies have their own tests).
#ifndef DVRCORE_TESTS_EVENTS_FAILING_ALLOCATIONS_H
#define DVRCORE_TESTS_EVENTS_FAILING_ALLOCATIONS_H

#include <cstddef>

namespace eventtest {

class FailingAllocations {
public:
    FailingAllocations();
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

// Bytes the C allocator holds for the program now (live blocks only).
std::size_t HeapBytesInUse();

}  // namespace eventtest

#endif  // DVRCORE_TESTS_EVENTS_FAILING_ALLOCATIONS_H
