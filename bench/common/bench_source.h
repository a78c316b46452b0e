/*
 * The producing end of a benchmark job: builds the records that one producer
 * raises, in sequence, at the job's pace.
 *
 * Every record is a video frame (EVT_VIDEO with FLAG_FRAME), a sync frame
 * every BENCH_SYNC_EVERY frames, stamped as bench_stamp.h describes. The
 * payload is one buffer of the source, rewritten for each event: the receiver
 * must copy it before the next event is built, as the core does.
 *
 * Owned and used by one producer thread.
 */
#ifndef DVRCORE_BENCH_BENCH_SOURCE_H
#define DVRCORE_BENCH_BENCH_SOURCE_H

#include <stdint.h>

#include "bench_job.h"
#include "plugin_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BenchSource {
    BenchJob job;
    uint16_t producer; /* stamped into every record */
    uint64_t sequence; /* of the next record */
    uint64_t startNs;  /* pace origin: the first Next */
    uint8_t* payload;  /* job.payload bytes, or NULL */
} BenchSource;

/* Returns 0, or -1 when the payload buffer cannot be allocated. */
int BenchSourceInit(BenchSource* source, const BenchJob* job, uint16_t producer);
void BenchSourceFree(BenchSource* source);

/* Non-zero once all of the job's events have been built. */
int BenchSourceDone(const BenchSource* source);

/* Waits for the next event's turn (paced jobs), then fills every byte of
 * `record` for it (the caller sets providerID) and stamps the send time. */
void BenchSourceNext(BenchSource* source, _EventParmsIn* record);

/* The record was refused (a frame dropped while the core throttles): turns it
 * into a sync frame, so that the core admits it again, and stamps a new send
 * time. */
void BenchSourceRetry(BenchSource* source, _EventParmsIn* record);

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_BENCH_BENCH_SOURCE_H */
