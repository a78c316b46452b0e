/*
 * The benchmark consumer plugin: takes every video frame on Write (on the
 * core's dispatcher thread), checks and measures it (bench_sink.h), counts
 * it in the job's window (bench_window.h), and reports once the job's last
 * frame has arrived.
 */
#include <stdio.h>
#include <stdlib.h>

#include "bench_plugin.h"
#include "bench_sink.h"
#include "bench_window.h"
#include "plugin_api.h"

#define CONSUMER_ID_BASE 0x00640000u

static BenchSink sink; /* dispatcher thread only, after Load */
static BenchWindow window;
static int reported;

static void Anchor(void) {}

int32_t Load(void* in, void* out)
{
    LoadResult* result = (LoadResult*)out;
    BenchJob job;
    (void)in;
    result->id = CONSUMER_ID_BASE | BenchPluginNumber(Anchor);
    result->typeMasks[0] = 0xFFFFFFFFu; /* video, every flag */
    result->writerFlag = 1;
    result->error = BenchPluginJob(&job) != 0 || BenchSinkInit(&sink, &job) != 0 ||
                    BenchWindowOpen(&window, getenv("DVRBENCH_RESULTS"), job.window) != 0;
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    BenchSinkFree(&sink);
    BenchWindowClose(&window);
    return 0;
}

int32_t Write(void* in, void* out)
{
    const WriteParms* parms = (const WriteParms*)in;
    char text[512];
    (void)out;
    BenchSinkTake(&sink, parms->dataSize, parms->data, parms->opaque0, parms->opaque1, parms->opaque2);
    BenchWindowConsumed(&window);
    if (!reported && BenchSinkDone(&sink)) {
        reported = 1;
        BenchSinkReport(&sink, text, sizeof text);
        BenchPluginReport(Anchor, text);
    }
    return 0;
}
