/*
 * What the benchmark plugins share: who they are and where they report.
 *
 * One library of each kind is copied into the core's plugin directory as many
 * times as a job needs (bench_consumer_1.so, bench_consumer_2.so, ...). Every
 * copy is mapped on its own, so it takes its number from its own file name and
 * builds a provider id that no other copy has.
 *
 * The job comes from the environment variable DVRBENCH_JOB (bench_job.h);
 * results go into the directory named by DVRBENCH_RESULTS, one file per
 * plugin named after the library ("bench_consumer_1.txt"), written whole
 * under a temporary name and then renamed, so the runner never reads half a
 * result.
 */
#ifndef DVRCORE_BENCH_BENCH_PLUGIN_H
#define DVRCORE_BENCH_BENCH_PLUGIN_H

#include <stdint.h>

#include "bench_job.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The number at the end of this library's file name ("..._3.so" gives 3),
 * 0 without one. `anchor` is any function of the calling library. */
uint32_t BenchPluginNumber(void (*anchor)(void));

/* The job of this run; -1 when DVRBENCH_JOB does not parse. */
int BenchPluginJob(BenchJob* job);

/* Writes `text` and a newline as this library's result; -1 on failure. */
int BenchPluginReport(void (*anchor)(void), const char* text);

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_BENCH_BENCH_PLUGIN_H */
