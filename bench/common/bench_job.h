/*
 * One benchmark job: how many events of which payload size travel from how
 * many producers to the consumers, at what pace.
 *
 * Every program of the benchmark (the plugins inside dvrcore and the
 * comparison programs) reads the same job text, "key=value" words separated
 * by blanks, so that one runner can hand the same job to all of them:
 *
 *   payload=<bytes> events=<per producer> warmup=<per producer>
 *   rate=<events/s per producer, 0 = as fast as possible> producers=<n>
 *   window=<events in flight, 0 = unbounded> mode=events|log
 *
 * The window bounds how far the producer may run ahead of the consumer, as a
 * bounded queue does: every system compared side by side gets the same one,
 * so that none measures a backlog growing through the whole run.
 *
 * Plain C, shared by the plugins (built against the plugin interface alone)
 * and the C++ programs. No state: callable from any thread.
 */
#ifndef DVRCORE_BENCH_BENCH_JOB_H
#define DVRCORE_BENCH_BENCH_JOB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Most producers a consumer tells apart (order is checked per producer). */
#define BENCH_MAX_PRODUCERS 8

typedef enum BenchMode {
    BENCH_MODE_EVENTS, /* raise events and check them at the consumers */
    BENCH_MODE_LOG     /* time log calls below the caller's threshold */
} BenchMode;

typedef struct BenchJob {
    uint32_t payload;   /* payload bytes per event */
    uint64_t events;    /* events per producer, warm-up included */
    uint64_t warmup;    /* first events of each producer left out of the figures */
    uint32_t rate;      /* events per second per producer; 0: unpaced */
    uint32_t producers; /* 1..BENCH_MAX_PRODUCERS */
    uint32_t window;    /* most events sent and not yet consumed; 0: no bound */
    BenchMode mode;
} BenchJob;

/* Fills `job` from `text` (NULL or "" gives the defaults). Returns 0, or -1
 * for an unknown key or a value out of range (the job is then unusable). */
int BenchJobParse(const char* text, BenchJob* job);

/* The steady clock (CLOCK_MONOTONIC, as std::chrono::steady_clock) in ns. */
uint64_t BenchNowNs(void);

/* Sleeps until `deadlineNs` on the steady clock (returns at once when it has
 * passed). */
void BenchSleepUntil(uint64_t deadlineNs);

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_BENCH_BENCH_JOB_H */
