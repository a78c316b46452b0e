// The lists of recordings answers that are in flight: raised by the catalog
// and not yet delivered back to it.
//
// A 30-day answer is thousands of lists; raised as fast as the index yields
// them, they would all wait in the core's queue at once, megabytes of them.
// The catalog takes its own lists on Write, after the plugins loaded before
// it (the bridge) have had them, and raises a list only while fewer than
// kLists are in flight. Delivery threads take a place before they raise;
// the dispatcher thread gives it back. A list that never comes back (the core
// dropped it) must not stall answers for good: a wait ends after
// kLongestWait, and what was counted in flight is forgotten.
#ifndef DVRCORE_EXAMPLES_CATALOG_LIST_WINDOW_H
#define DVRCORE_EXAMPLES_CATALOG_LIST_WINDOW_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace dvrexample {

class ListWindow {
public:
    static constexpr unsigned kLists = 4;
    static constexpr std::chrono::seconds kLongestWait{2};

    // Delivery thread: before raising a list.
    void Take()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!returned_.wait_for(lock, kLongestWait, [this] { return inFlight_ < kLists; })) {
            inFlight_ = 0;
        }
        ++inFlight_;
    }

    // Dispatcher thread, when a list comes back; delivery thread, when the
    // core refused to raise it.
    void Give()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inFlight_ -= inFlight_ > 0 ? 1 : 0;
        }
        returned_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable returned_;
    unsigned inFlight_ = 0;  // guarded by mutex_
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_CATALOG_LIST_WINDOW_H
