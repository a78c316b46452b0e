/*
 * The consuming end of a benchmark job: checks every event it is handed and
 * measures the job.
 *
 * Checks, per event: the producer's number is known, the sequence number is
 * the next one of that producer (order, loss, duplicates), the payload has
 * the job's size and its sampled bytes and sequence marks are right. Every
 * failed check counts as one error; the first is kept as text.
 *
 * Measures: events per second from the end of the warm-up to the last event
 * (receive times on the steady clock), and for paced jobs the one-way latency
 * of each measured event (receive time minus the stamped send time).
 *
 * Owned and used by one consumer thread (inside dvrcore: the dispatcher).
 */
#ifndef DVRCORE_BENCH_BENCH_SINK_H
#define DVRCORE_BENCH_BENCH_SINK_H

#include <stddef.h>
#include <stdint.h>

#include "bench_job.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BenchSink {
    BenchJob job;
    uint64_t expected[BENCH_MAX_PRODUCERS]; /* next sequence per producer */
    uint64_t total;                         /* events the job sends in all */
    uint64_t received;
    uint64_t errors;
    uint64_t markNs;     /* receive time of the last warm-up event */
    uint64_t lastNs;     /* receive time of the latest event */
    uint64_t* latencies; /* ns, measured events of paced jobs */
    uint64_t latencyCount;
    char firstError[160];
} BenchSink;

/* Returns 0, or -1 when the latency samples cannot be allocated. */
int BenchSinkInit(BenchSink* sink, const BenchJob* job);
void BenchSinkFree(BenchSink* sink);

/* One event, given by the fields of its record (plugins see them in
 * WriteParms, the comparison programs in _EventParmsIn). */
void BenchSinkTake(BenchSink* sink, uint32_t dataSize, const void* data, const uint8_t* opaque0, const uint8_t* opaque1,
                   const uint8_t* opaque2);

/* Non-zero once every event of the job has arrived. */
int BenchSinkDone(const BenchSink* sink);

/* Writes the result as one line of "key=value" words into `text`:
 *   received=<n> errors=<n> events_per_s=<x> p50_ns=<n> p99_ns=<n>
 * followed by first_error="..." when there was one. Sorts the samples. */
void BenchSinkReport(BenchSink* sink, char* text, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_BENCH_BENCH_SINK_H */
