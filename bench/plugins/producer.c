/*
 * The benchmark producer plugin.
 *
 * Its worker thread waits until the core dispatches (the core's own start
 * line reaches this plugin's Write as a log event), then runs the job:
 * raises the job's video frames as fast as it may or at the job's pace, or,
 * in log mode, times log calls below its own threshold. It reports what it
 * did, and ends; the core joins it at unload.
 *
 * With a window in the job, a frame is raised only while it fits the window
 * (bench_window.h), as a bounded queue makes its producer wait.
 *
 * A refused frame (the core throttles) is counted and raised again as a sync
 * frame, so that every sequence number reaches the consumers exactly once; a
 * refusal because the core stops ends the job early.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "bench_plugin.h"
#include "bench_source.h"
#include "bench_window.h"
#include "log_message.h"
#include "plugin_api.h"

#define PRODUCER_ID_BASE 0x00630000u
/* The core's start line, as the core raises it. */
#define START_LINE "successfully started core version "
#define START_TIMEOUT_S 60
/* Pause before a refused frame is raised again. */
#define RETRY_PAUSE_NS 1000000L

static EventFunction raiseEvent;
static uint32_t providerId;
static uint32_t producerNumber;
static BenchJob job;

static pthread_mutex_t stateMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stateCond = PTHREAD_COND_INITIALIZER;
static int started; /* guarded by stateMutex */

static void Anchor(void) {}

/* Waits (bounded) for the core's start line; non-zero when it came. */
static int WaitForStart(void)
{
    struct timespec deadline;
    int result;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += START_TIMEOUT_S;
    pthread_mutex_lock(&stateMutex);
    while (!started && pthread_cond_timedwait(&stateCond, &stateMutex, &deadline) != ETIMEDOUT) {
    }
    result = started;
    pthread_mutex_unlock(&stateMutex);
    return result;
}

static void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Report(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    BenchPluginReport(Anchor, text);
}

static void RaiseFrames(void)
{
    const struct timespec pause = {0, RETRY_PAUSE_NS};
    BenchSource source;
    BenchWindow window;
    _EventParmsIn record;
    _EventParmsOut out;
    uint64_t refused = 0;
    int stopped = 0;

    if (BenchWindowOpen(&window, getenv("DVRBENCH_RESULTS"), job.window) != 0) {
        Report("error=\"cannot map the window\"");
        return;
    }
    if (BenchSourceInit(&source, &job, (uint16_t)producerNumber) != 0) {
        Report("error=\"no memory for the payload\"");
        BenchWindowClose(&window);
        return;
    }
    while (!stopped && !BenchSourceDone(&source)) {
        BenchSourceNext(&source, &record);
        record.providerID = providerId;
        BenchWindowAwaitRoom(&window);
        for (;;) {
            out.size = (uint32_t)sizeof out;
            out.version = 1;
            out.result = RESULT_OK;
            raiseEvent(&record, &out);
            if (out.result == RESULT_OK) {
                break;
            }
            ++refused;
            if (out.result == RESULT_REFUSED) {
                stopped = 1;
                break;
            }
            nanosleep(&pause, NULL);
            BenchSourceRetry(&source, &record);
        }
    }
    Report("raised=%" PRIu64 " refused=%" PRIu64 " stopped=%d", source.sequence, refused, stopped);
    BenchSourceFree(&source);
    BenchWindowClose(&window);
}

static void TimeLogCalls(void)
{
    const uint64_t start = BenchNowNs();
    uint64_t elapsed;
    uint64_t i;
    for (i = 0; i < job.events; ++i) {
        LogMessage(providerId, raiseEvent, LOG_LEVEL_DETAIL, "log call %" PRIu64 " below the threshold", i);
    }
    elapsed = BenchNowNs() - start;
    Report("calls=%" PRIu64 " ns_per_call=%.2f", job.events, (double)elapsed / (double)job.events);
}

int32_t Load(void* in, void* out)
{
    LoadParms* parms = (LoadParms*)in;
    LoadResult* result = (LoadResult*)out;
    raiseEvent = parms->eventCallback;
    producerNumber = BenchPluginNumber(Anchor);
    providerId = PRODUCER_ID_BASE | producerNumber;
    result->id = providerId;
    /* Log events only: the core's start line is the signal to begin. */
    result->typeMasks[6] = 0xFFFFFFFFu;
    result->workerFlag = 1;
    result->writerFlag = 1;
    /* Level-0 calls are then below the threshold: what log mode times. */
    result->defaultLogLevel = LOG_LEVEL_WARNING;
    result->error = BenchPluginJob(&job) != 0 || producerNumber >= job.producers;
    return 0;
}

int32_t Write(void* in, void* out)
{
    const WriteParms* parms = (const WriteParms*)in;
    (void)out;
    if (parms->eventType == EVT_LOG && parms->data != NULL && parms->dataSize > sizeof START_LINE &&
        strncmp((const char*)parms->data, START_LINE, sizeof START_LINE - 1) == 0) {
        pthread_mutex_lock(&stateMutex);
        started = 1;
        pthread_cond_broadcast(&stateCond);
        pthread_mutex_unlock(&stateMutex);
    }
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    const IoctlParms* parms = (const IoctlParms*)in;
    (void)out;
    if (parms->command != IOCTL_WORKER_THREAD) {
        return 0;
    }
    if (!WaitForStart()) {
        Report("error=\"the core's start line never came\"");
    } else if (job.mode == BENCH_MODE_LOG) {
        TimeLogCalls();
    } else {
        RaiseFrames();
    }
    return 0;
}
