// Counts the live reader delivery threads.
//
// Delivery threads are detached; before plugins are unloaded (and before the
// core is destroyed) the core closes the tracker, so that no new delivery
// starts, and waits until every running one has returned from the plugin's
// Read and stopped touching core state. Begin runs under a shared
// `pluginListMutex`; no other lock is ever taken while this one is held.
#ifndef DVRCORE_EVENTS_DELIVERY_TRACKER_H
#define DVRCORE_EVENTS_DELIVERY_TRACKER_H

#include <condition_variable>
#include <mutex>

class DeliveryTracker {
public:
    DeliveryTracker() = default;
    DeliveryTracker(const DeliveryTracker&) = delete;
    DeliveryTracker& operator=(const DeliveryTracker&) = delete;

    // Registers one delivery about to start; false once closed.
    bool Begin()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return false;
        }
        ++live_;
        return true;
    }
    // The delivery's last touch of core state.
    void End()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--live_ == 0) {
            idle_.notify_all();
        }
    }
    // Refuses new deliveries and waits for the running ones to end.
    void CloseAndWait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        closed_ = true;
        idle_.wait(lock, [this] { return live_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    int live_ = 0;         // guarded by mutex_
    bool closed_ = false;  // guarded by mutex_
};

#endif  // DVRCORE_EVENTS_DELIVERY_TRACKER_H
