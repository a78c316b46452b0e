/*
 * Keeps C++ exceptions inside the plugin. Part of the plugin SDK; C++ only (a
 * C plugin has nothing to guard, and including this header from C is harmless).
 *
 * The core calls entry points as plain C functions; an exception that left
 * one would end the process. Run every entry point's body through Guarded(),
 * which turns an escaping exception into the error result.
 */
#ifndef DVRCORE_SDK_ENTRY_GUARD_H
#define DVRCORE_SDK_ENTRY_GUARD_H

#ifdef __cplusplus
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
#endif

#endif /* DVRCORE_SDK_ENTRY_GUARD_H */
