// limit-handoff: the bare form of dvrcore's event path. The producer copies
// the payload, pushes the record onto a std::deque under a std::mutex and
// signals a condition variable; one consumer thread pops each record, calls
// the consumer through a function pointer and frees the payload.
//
// With --no-trim the C allocator neither maps large blocks one by one nor
// gives the top of its heap back, which decides the figures for large payloads.
#include <malloc.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "channel_job.h"

namespace {

// Above every payload of the benchmark, and far above what it keeps in flight.
constexpr int kMmapThreshold = 4 << 20;
constexpr int kTrimThreshold = 64 << 20;
// The sanitizers' allocators take no thresholds (mallopt refuses them): in
// those builds the job runs with the allocator's own, its figures meaning
// nothing anyway.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAllocatorTakesThresholds = false;
#else
constexpr bool kAllocatorTakesThresholds = true;
#endif

class HandoffChannel {
public:
    static constexpr bool kConsumerThread = true;

    HandoffChannel(const BenchJob&, bench::Consumer consumer) : consumer_(consumer) {}

    void Send(const _EventParmsIn& record)
    {
        const _EventParmsIn copy = bench::CopyEvent(record);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(copy);
        }
        cond_.notify_one();
    }

    void Receive()
    {
        _EventParmsIn record;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cond_.wait(lock, [this] { return !queue_.empty(); });
            record = queue_.front();
            queue_.pop_front();
        }
        consumer_.Take(record);
        std::free(record.data);
    }

    void Finish() {}

private:
    bench::Consumer consumer_;
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<_EventParmsIn> queue_;  // guarded by mutex_
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[2], "--no-trim") == 0) {
        if (kAllocatorTakesThresholds &&
            (mallopt(M_MMAP_THRESHOLD, kMmapThreshold) != 1 || mallopt(M_TRIM_THRESHOLD, kTrimThreshold) != 1)) {
            bench::Die("mallopt refused the thresholds");
        }
        --argc;
    }
    BenchJob job;
    if (!bench::JobFromArgs(argc, argv, &job)) {
        return 2;
    }
    return bench::RunJob<HandoffChannel>(job);
}
