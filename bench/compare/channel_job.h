// Runs one benchmark job through a comparison channel: one producer thread
// hands records to one consumer thread, the way dvrcore moves events, so that
// dvrcore's figures can be read beside them.
//
// A Channel makes exactly one copy of each payload (the record travels with
// it), frees it after delivery, and holds at most the job's window of
// records between Send and delivery (Send waits for room):
//
//   explicit Channel(const BenchJob& job, Consumer consumer);
//   static constexpr bool kConsumerThread;  // false: Send delivers itself
//   void Send(const _EventParmsIn& record);  // producer thread
//   void Receive();                         // consumer thread: one record
//   void Finish();                          // producer thread, after the last Send
//
// The consumer checks and measures every record (bench_sink.h); the program
// prints the sink's result line on standard output and exits with 0 only
// when every event arrived intact and in order.
#ifndef DVRCORE_BENCH_CHANNEL_JOB_H
#define DVRCORE_BENCH_CHANNEL_JOB_H

#include <cstdio>
#include <thread>

#include "bench_job.h"
#include "bench_sink.h"
#include "bench_source.h"
#include "plugin_api.h"

namespace bench {

using DeliverFn = void (*)(BenchSink* sink, const _EventParmsIn& record);

// Where a channel hands its records: a plain function pointer, as dvrcore
// calls a plugin's Write.
struct Consumer {
    BenchSink* sink;
    DeliverFn deliver;

    void Take(const _EventParmsIn& record) const { deliver(sink, record); }
    bool Done() const { return BenchSinkDone(sink) != 0; }
};

// The consumer every channel is given; a variable, so the call stays indirect.
extern DeliverFn deliverToSink;

// Ends the program at once with `what` on standard error: a channel that
// fails has no meaningful figure to give, and other threads may be blocked in it.
[[noreturn]] void Die(const char* what);

// The copy a channel hands over: the record with its own payload block from
// the C allocator (null without payload), as dvrcore queues it. Dies when
// the allocator fails.
_EventParmsIn CopyEvent(const _EventParmsIn& record);

// A window split between a sending and a receiving queue, as the peers with
// two queues hold it; neither half is 0, which would mean no bound.
struct WindowHalves {
    unsigned sender;
    unsigned receiver;
};
inline WindowHalves SplitWindow(uint32_t window)
{
    const unsigned receiver = window / 2 > 0 ? window / 2 : 1;
    return {window > receiver ? window - receiver : 1, receiver};
}

// Reads the job from argv[1] ("payload=... events=..."); complains on
// standard error and returns false when it is missing or malformed, or asks
// for anything but one producer of events through a window.
bool JobFromArgs(int argc, char** argv, BenchJob* job);

// Prints the result line; the exit status of the program.
int Report(BenchSink* sink);

template <class Channel>
int RunJob(const BenchJob& job)
{
    BenchSink sink;
    BenchSource source;
    if (BenchSinkInit(&sink, &job) != 0 || BenchSourceInit(&source, &job, 0) != 0) {
        std::fprintf(stderr, "no memory for the job\n");
        return 1;
    }
    int status;
    {
        Channel channel(job, Consumer{&sink, deliverToSink});
        std::thread consumer;
        if constexpr (Channel::kConsumerThread) {
            consumer = std::thread([&channel, &sink] {
                while (!BenchSinkDone(&sink)) {
                    channel.Receive();
                }
            });
        }
        _EventParmsIn record;
        while (!BenchSourceDone(&source)) {
            BenchSourceNext(&source, &record);
            channel.Send(record);
        }
        channel.Finish();
        if (consumer.joinable()) {
            consumer.join();
        }
        status = Report(&sink);
    }
    BenchSourceFree(&source);
    BenchSinkFree(&sink);
    return status;
}

}  // namespace bench

#endif  // DVRCORE_BENCH_CHANNEL_JOB_H
