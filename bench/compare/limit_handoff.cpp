// limit-handoff: the bare form of dvrcore's event path. The producer copies
// the payload and puts the record into a ring of the job's window under a
// std::mutex; one consumer thread takes each record, calls the consumer
// through a function pointer and frees the payload. The consumer sleeps on
// a condition variable while the ring is empty, and is signalled only then,
// as dvrcore wakes its dispatcher only when it waits. A producer that finds
// the ring full sleeps until it is half empty (as ZeroMQ's pipes resume a
// writer at their low-water mark), so that a full ring does not cost two
// wake-ups per record.
//
// With --no-trim the C allocator neither maps large blocks one by one nor
// gives the top of its heap back, which decides the figures for large payloads.
#include <malloc.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

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

    HandoffChannel(const BenchJob& job, bench::Consumer consumer) : consumer_(consumer), ring_(job.window) {}

    void Send(const _EventParmsIn& record)
    {
        const _EventParmsIn copy = bench::CopyEvent(record);
        bool wasEmpty;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (count_ == ring_.size()) {
                producerWaiting_ = true;
                room_.wait(lock, [this] { return count_ <= ring_.size() / 2; });
                producerWaiting_ = false;
            }
            ring_[(head_ + count_) % ring_.size()] = copy;
            wasEmpty = count_++ == 0;
        }
        if (wasEmpty) {
            ready_.notify_one();
        }
    }

    void Receive()
    {
        _EventParmsIn record;
        bool wakeProducer;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return count_ != 0; });
            record = ring_[head_];
            head_ = (head_ + 1) % ring_.size();
            --count_;
            wakeProducer = producerWaiting_ && count_ <= ring_.size() / 2;
        }
        if (wakeProducer) {
            room_.notify_one();
        }
        consumer_.Take(record);
        std::free(record.data);
    }

    void Finish() {}

private:
    bench::Consumer consumer_;
    std::mutex mutex_;
    std::condition_variable ready_;    // a record came into an empty ring
    std::condition_variable room_;     // a full ring is half empty again
    std::vector<_EventParmsIn> ring_;  // guarded by mutex_
    std::size_t head_ = 0;             // guarded by mutex_
    std::size_t count_ = 0;            // guarded by mutex_
    bool producerWaiting_ = false;     // guarded by mutex_
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
