#include "bench_source.h"

#include <stdlib.h>
#include <string.h>

#include "bench_stamp.h"

int BenchSourceInit(BenchSource* source, const BenchJob* job, uint16_t producer)
{
    uint32_t offset;
    memset(source, 0, sizeof *source);
    source->job = *job;
    source->producer = producer;
    if (job->payload == 0) {
        return 0;
    }
    source->payload = (uint8_t*)malloc(job->payload);
    if (source->payload == NULL) {
        return -1;
    }
    for (offset = 0; offset < job->payload; ++offset) {
        source->payload[offset] = BenchPatternByte(offset);
    }
    return 0;
}

void BenchSourceFree(BenchSource* source)
{
    free(source->payload);
    source->payload = NULL;
}

int BenchSourceDone(const BenchSource* source)
{
    return source->sequence >= source->job.events;
}

static void Stamp(const BenchSource* source, _EventParmsIn* record, uint64_t sequence)
{
    BenchStamp stamp;
    stamp.sentNs = BenchNowNs();
    stamp.sequence = sequence;
    stamp.producer = source->producer;
    BenchStampWrite(&stamp, record->opaque0, record->opaque1, record->opaque2);
}

void BenchSourceNext(BenchSource* source, _EventParmsIn* record)
{
    const uint64_t sequence = source->sequence++;
    const uint32_t size = source->job.payload;

    if (source->job.rate != 0) {
        if (sequence == 0) {
            source->startNs = BenchNowNs();
        }
        BenchSleepUntil(source->startNs + sequence * 1000000000u / source->job.rate);
    }
    memset(record, 0, sizeof *record);
    record->size = (uint32_t)sizeof *record;
    record->version = 1;
    record->eventType = EVT_VIDEO;
    record->flags = FLAG_FRAME;
    record->syncFrame = (uint8_t)(sequence % BENCH_SYNC_EVERY == 0);
    if (size != 0) {
        if (size >= BENCH_MARKED_PAYLOAD) {
            memcpy(source->payload, &sequence, sizeof sequence);
            memcpy(source->payload + size - sizeof sequence, &sequence, sizeof sequence);
        }
        record->dataSize = size;
        record->data = source->payload;
    }
    Stamp(source, record, sequence);
}

void BenchSourceRetry(BenchSource* source, _EventParmsIn* record)
{
    BenchStamp stamp;
    BenchStampRead(&stamp, record->opaque0, record->opaque1, record->opaque2);
    record->syncFrame = 1;
    Stamp(source, record, stamp.sequence);
}
