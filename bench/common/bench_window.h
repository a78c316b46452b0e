/*
 * The in-flight window of a job inside dvrcore: the producer plugin raises
 * an event only while fewer than the job's window of its events are waiting
 * for the consumer plugin, as the comparison programs' bounded queues make
 * their producers wait.
 *
 * The two plugins share one counter of consumed events in a small file of
 * the results directory, mapped by both: nothing is added to the core's
 * event path. The consumer counts with one atomic add per event; the
 * producer reads the counter only when its own count says the window may be
 * full, and then sleeps until half the window is free again (as the
 * comparison programs' queues resume a blocked producer), so that a full
 * window costs one wake-up per half window, not one per event.
 * For jobs of one producer and one consumer.
 */
#ifndef DVRCORE_BENCH_BENCH_WINDOW_H
#define DVRCORE_BENCH_BENCH_WINDOW_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct BenchWindowShared;

typedef struct BenchWindow {
    struct BenchWindowShared* shared; /* NULL: no window */
    uint32_t size;                    /* the job's window */
    uint32_t sent;                    /* producer: events raised */
    uint32_t consumed;                /* producer: the counter last read */
} BenchWindow;

/* Maps the window file in `dir` (DVRBENCH_RESULTS) for a job whose window is
 * `size`; with `size` 0 there is nothing to map. Returns 0, or -1. */
int BenchWindowOpen(BenchWindow* window, const char* dir, uint32_t size);
void BenchWindowClose(BenchWindow* window);

/* Producer, before each event: returns once the event fits the window. */
void BenchWindowAwaitRoom(BenchWindow* window);

/* Consumer, after each event. */
void BenchWindowConsumed(BenchWindow* window);

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_BENCH_BENCH_WINDOW_H */
