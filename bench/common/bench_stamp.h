/*
 * Where a benchmark event carries its checkable facts.
 *
 * A producer stamps every record in bytes that the core never reads and
 * carries through unchanged: the send time (steady clock, ns) in the first
 * payload-specific bytes, the producer's number after the log level, and the
 * sequence number at the start of the large payload-specific area. A payload
 * of 16 bytes or more starts and ends with the sequence number; every other
 * byte holds a fixed pattern of its offset. A consumer thus sees a lost,
 * reordered, duplicated, truncated or corrupted event, and its latency.
 *
 * Header-only plain C; no state.
 */
#ifndef DVRCORE_BENCH_BENCH_STAMP_H
#define DVRCORE_BENCH_BENCH_STAMP_H

#include <stdint.h>
#include <string.h>

#include "plugin_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Every BENCH_SYNC_EVERY-th frame of a producer is a sync frame, as a camera
 * sends a key frame once a second; runs stay far below the core's limit. */
#define BENCH_SYNC_EVERY 25
/* Payloads are sampled, not read whole: one byte per page, as a consumer
 * that hands a frame on touches it. */
#define BENCH_PATTERN_STRIDE 4096
/* Smallest payload that carries the sequence number at both ends. */
#define BENCH_MARKED_PAYLOAD 16

typedef struct BenchStamp {
    uint64_t sentNs;
    uint64_t sequence;
    uint16_t producer;
} BenchStamp;

static inline uint8_t BenchPatternByte(uint32_t offset)
{
    return (uint8_t)(offset ^ (offset >> 8) ^ 0x5a);
}

static inline void BenchStampWrite(const BenchStamp* stamp, uint8_t* opaque0, uint8_t* opaque1, uint8_t* opaque2)
{
    memcpy(opaque0, &stamp->sentNs, sizeof stamp->sentNs);
    memcpy(opaque1, &stamp->producer, sizeof stamp->producer);
    memcpy(opaque2, &stamp->sequence, sizeof stamp->sequence);
}

static inline void BenchStampRead(BenchStamp* stamp, const uint8_t* opaque0, const uint8_t* opaque1,
                                  const uint8_t* opaque2)
{
    memcpy(&stamp->sentNs, opaque0, sizeof stamp->sentNs);
    memcpy(&stamp->producer, opaque1, sizeof stamp->producer);
    memcpy(&stamp->sequence, opaque2, sizeof stamp->sequence);
}

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_BENCH_BENCH_STAMP_H */
