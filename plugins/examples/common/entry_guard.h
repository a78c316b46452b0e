// Keeps C++ exceptions inside the plugin.
//
// The core calls entry points as plain C functions; an exception that left
// one would end the process. Every example entry point runs its body through
// Guarded(), which turns an escaping exception into the error result.
#ifndef DVRCORE_EXAMPLES_ENTRY_GUARD_H
#define DVRCORE_EXAMPLES_ENTRY_GUARD_H

#include <cstdint>

namespace dvrexample {

// The result of an entry point whose body threw.
constexpr int32_t kEntryFailed = -1;

template <typename Body>
int32_t Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return kEntryFailed;
    }
}

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_ENTRY_GUARD_H
