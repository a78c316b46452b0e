#include "bench_sink.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_stamp.h"

/* Events before the measurement starts; the first event always is one, as
 * its receive time is where the measurement starts. */
static uint64_t WarmEvents(const BenchSink* sink)
{
    const uint64_t warm = sink->job.warmup * sink->job.producers;
    return warm > 0 ? warm : 1;
}

int BenchSinkInit(BenchSink* sink, const BenchJob* job)
{
    memset(sink, 0, sizeof *sink);
    sink->job = *job;
    sink->total = job->events * job->producers;
    if (job->rate != 0) {
        /* One spare sample keeps the allocation non-empty. */
        sink->latencies = (uint64_t*)malloc((size_t)(sink->total - WarmEvents(sink) + 1) * sizeof(uint64_t));
        if (sink->latencies == NULL) {
            return -1;
        }
    }
    return 0;
}

void BenchSinkFree(BenchSink* sink)
{
    free(sink->latencies);
    sink->latencies = NULL;
}

static void Fail(BenchSink* sink, const char* format, ...)
{
    va_list args;
    if (sink->errors++ != 0) {
        return;
    }
    va_start(args, format);
    vsnprintf(sink->firstError, sizeof sink->firstError, format, args);
    va_end(args);
}

static void CheckPayload(BenchSink* sink, uint64_t sequence, uint32_t dataSize, const uint8_t* data)
{
    const uint32_t size = sink->job.payload;
    uint64_t head = 0;
    uint64_t tail = 0;
    uint32_t offset;

    if (dataSize != size || (size != 0) != (data != NULL)) {
        Fail(sink, "event %" PRIu64 ": payload of %" PRIu32 " bytes at %p, expected %" PRIu32, sequence, dataSize,
             (const void*)data, size);
        return;
    }
    if (size == 0) {
        return;
    }
    offset = 0;
    if (size >= BENCH_MARKED_PAYLOAD) {
        memcpy(&head, data, sizeof head);
        memcpy(&tail, data + size - sizeof tail, sizeof tail);
        if (head != sequence || tail != sequence) {
            Fail(sink, "event %" PRIu64 ": payload marks %" PRIu64 "/%" PRIu64, sequence, head, tail);
            return;
        }
        offset = (uint32_t)sizeof head;
    }
    for (; offset < size - (size >= BENCH_MARKED_PAYLOAD ? sizeof tail : 0); offset += BENCH_PATTERN_STRIDE) {
        if (data[offset] != BenchPatternByte(offset)) {
            Fail(sink, "event %" PRIu64 ": payload byte %" PRIu32 " corrupted", sequence, offset);
            return;
        }
    }
}

void BenchSinkTake(BenchSink* sink, uint32_t dataSize, const void* data, const uint8_t* opaque0, const uint8_t* opaque1,
                   const uint8_t* opaque2)
{
    const uint64_t now = BenchNowNs();
    const uint64_t index = sink->received++;
    const uint64_t warm = WarmEvents(sink);
    BenchStamp stamp;

    BenchStampRead(&stamp, opaque0, opaque1, opaque2);
    sink->lastNs = now;
    if (index + 1 == warm) {
        sink->markNs = now;
    }
    if (stamp.producer >= sink->job.producers) {
        Fail(sink, "event %" PRIu64 " from unknown producer %u", stamp.sequence, (unsigned)stamp.producer);
        return;
    }
    if (stamp.sequence != sink->expected[stamp.producer]) {
        Fail(sink, "producer %u: event %" PRIu64 " where %" PRIu64 " was due", (unsigned)stamp.producer, stamp.sequence,
             sink->expected[stamp.producer]);
    }
    sink->expected[stamp.producer] = stamp.sequence + 1;
    CheckPayload(sink, stamp.sequence, dataSize, (const uint8_t*)data);
    if (sink->latencies != NULL && index >= warm && sink->latencyCount <= sink->total - warm) {
        sink->latencies[sink->latencyCount++] = now - stamp.sentNs;
    }
}

int BenchSinkDone(const BenchSink* sink)
{
    return sink->received >= sink->total;
}

static int CompareSamples(const void* left, const void* right)
{
    const uint64_t a = *(const uint64_t*)left;
    const uint64_t b = *(const uint64_t*)right;
    return (a > b) - (a < b);
}

static uint64_t Percentile(const BenchSink* sink, unsigned percent)
{
    if (sink->latencyCount == 0) {
        return 0;
    }
    return sink->latencies[(sink->latencyCount - 1) * percent / 100];
}

void BenchSinkReport(BenchSink* sink, char* text, size_t size)
{
    const uint64_t warm = WarmEvents(sink);
    const uint64_t measured = sink->received > warm ? sink->received - warm : 0;
    const uint64_t elapsed = sink->lastNs - sink->markNs;
    const double rate = elapsed > 0 ? (double)measured * 1e9 / (double)elapsed : 0.0;
    int length;

    if (sink->latencyCount > 0) {
        qsort(sink->latencies, (size_t)sink->latencyCount, sizeof(uint64_t), CompareSamples);
    }
    length = snprintf(text, size,
                      "received=%" PRIu64 " errors=%" PRIu64 " events_per_s=%.0f p50_ns=%" PRIu64 " p99_ns=%" PRIu64,
                      sink->received, sink->errors, rate, Percentile(sink, 50), Percentile(sink, 99));
    if (sink->errors != 0 && length > 0 && (size_t)length < size) {
        snprintf(text + length, size - (size_t)length, " first_error=\"%s\"", sink->firstError);
    }
}
