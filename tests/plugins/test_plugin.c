/*
 * The configurable test plugin: one source, built once per behaviour that the
 * tests need (see CMakeLists.txt beside it for the variants and README for the
 * switches). It uses nothing but the plugin interface header and the logging
 * call, like a real plugin.
 *
 * Every entry point appends one line "<name> <what>" to the file named by the
 * environment variable DVR_TEST_TRACE (when it is set), so tests can read the
 * order of calls across plugins and threads. Threads never wait unbounded: the
 * worker and the reader end at Close, or after THREAD_TIMEOUT_MS at the latest.
 */
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "append_line.h"
#include "log_message.h"
#include "plugin_api.h"

#define STRINGIFY2(x) #x
#define STRINGIFY(x) STRINGIFY2(x)

#ifndef PLUGIN_NAME
#define PLUGIN_NAME plugin
#endif
#ifndef PLUGIN_ID
#define PLUGIN_ID 0x00100000u
#endif
#ifndef TYPE_MASK
#define TYPE_MASK 0u
#endif
#ifndef CLOSE_MASK
#define CLOSE_MASK TYPE_MASK
#endif
#ifndef DEFAULT_LEVEL
#define DEFAULT_LEVEL 0
#endif
#ifndef WORKER
#define WORKER 0
#endif
#ifndef READER
#define READER 0
#endif
#ifndef WRITER
#define WRITER 0
#endif
#ifndef LOAD_RETURN
#define LOAD_RETURN 0
#endif
#ifndef LOAD_ERROR
#define LOAD_ERROR 0
#endif
#ifndef OPEN_RETURN
#define OPEN_RETURN 0
#endif
#ifndef CLOSE_ERROR
#define CLOSE_ERROR 0
#endif
#ifndef PRODUCE_FRAMES
#define PRODUCE_FRAMES 0
#endif
#ifndef THREAD_LINGER_MS
#define THREAD_LINGER_MS 0
#endif
#define THREAD_TIMEOUT_MS 30000
/* Every SYNC_EVERY-th produced frame is a sync frame, starting with the first. */
#define SYNC_EVERY 5
#define FRAME_BYTES 64

static EventFunction raiseEvent;

static void Trace(const char* format, ...)
{
    const char* path = getenv("DVR_TEST_TRACE");
    va_list args;
    if (path == NULL) {
        return;
    }
    va_start(args, format);
    AppendLineV(path, STRINGIFY(PLUGIN_NAME), format, args);
    va_end(args);
}

#ifdef KEEP_BLOCKS
/* The payload block kept from the latest Write (main thread only). */
static void* keptBlock;

static void ReleaseKeptBlock(void)
{
    _EventParmsIn in;
    _EventParmsOut out;
    if (keptBlock == NULL) {
        return;
    }
    memset(&in, 0, sizeof in);
    in.size = (uint32_t)sizeof in;
    in.version = 1;
    in.data = keptBlock;
    in.providerID = PLUGIN_ID;
    in.eventType = EVT_RELEASE_BLOCK;
    out.size = (uint32_t)sizeof out;
    out.version = 1;
    out.result = 0;
    raiseEvent(&in, &out);
    Trace("released block");
    keptBlock = NULL;
}
#endif

#if PRODUCE_FRAMES > 0
/* Raises the frames, each followed by a log message about it. */
static void ProduceFrames(void)
{
    unsigned char frame[FRAME_BYTES];
    int i;
    for (i = 0; i < PRODUCE_FRAMES; ++i) {
        _EventParmsIn in;
        _EventParmsOut out;
        memset(frame, i, sizeof frame);
        memset(&in, 0, sizeof in);
        in.size = (uint32_t)sizeof in;
        in.version = 1;
        in.dataSize = sizeof frame;
        in.data = frame;
        in.providerID = PLUGIN_ID;
        in.eventType = EVT_VIDEO;
        in.flags = FLAG_FRAME;
        in.syncFrame = (uint8_t)(i % SYNC_EVERY == 0);
        out.size = (uint32_t)sizeof out;
        out.version = 1;
        out.result = 0;
        raiseEvent(&in, &out);
        Trace("raised frame %d result %d", i, out.result);
        LogMessage(PLUGIN_ID, raiseEvent, LOG_LEVEL_WARNING, "frame %d raised", i);
    }
}
#endif

#ifdef UNRESOLVED
/* Defined nowhere: immediate binding fails when the library is mapped. */
extern int dvrTestSymbolDefinedNowhere(void);
#endif

#ifdef NO_LOAD
/* Exported under a name that the core does not look for. */
#define Load LoadUnderAnotherName
#endif

int32_t Load(void* in, void* out)
{
    LoadParms* parms = (LoadParms*)in;
    LoadResult* result = (LoadResult*)out;
    int i;
#ifdef UNRESOLVED
    if (parms == NULL) {
        return dvrTestSymbolDefinedNowhere();
    }
#endif
    raiseEvent = parms->eventCallback;
    result->id = PLUGIN_ID;
    for (i = 0; i < EVT_ROUTABLE_COUNT; ++i) {
        result->typeMasks[i] = TYPE_MASK;
    }
    result->typeMasks[5] = CLOSE_MASK;
    result->workerFlag = WORKER;
    result->readerFlag = READER;
    result->writerFlag = WRITER;
    result->error = LOAD_ERROR;
    result->defaultLogLevel = DEFAULT_LEVEL;
    Trace("load");
    return LOAD_RETURN;
}

#ifndef ONLY_LOAD
static pthread_mutex_t stateMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stateCond = PTHREAD_COND_INITIALIZER;
static int closed; /* guarded by stateMutex */

static void SleepMs(long ms)
{
    struct timespec delay;
    delay.tv_sec = ms / 1000;
    delay.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

/* Blocks until Close (or the time-out), then lingers THREAD_LINGER_MS. */
static void WaitForClose(void)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += THREAD_TIMEOUT_MS / 1000;
    pthread_mutex_lock(&stateMutex);
    while (!closed && pthread_cond_timedwait(&stateCond, &stateMutex, &deadline) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&stateMutex);
    SleepMs(THREAD_LINGER_MS);
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    Trace("open");
    return OPEN_RETURN;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    pthread_mutex_lock(&stateMutex);
    closed = 1;
    pthread_cond_broadcast(&stateCond);
    pthread_mutex_unlock(&stateMutex);
#ifdef KEEP_BLOCKS
    ReleaseKeptBlock();
#endif
    ((CloseResult*)out)->error = CLOSE_ERROR;
    Trace("close");
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    Trace("unload");
    return 0;
}

int32_t Read(void* in, void* out)
{
    ReadParms* parms = (ReadParms*)in;
    (void)out;
    if (parms->handle != NULL) {
        /* A broadcast request: answered by returning. */
        Trace("read size %u", parms->dataSize);
        return 0;
    }
    Trace("reader start size %u", parms->dataSize);
    WaitForClose();
    Trace("reader end");
    return 0;
}

int32_t Write(void* in, void* out)
{
    WriteParms* parms = (WriteParms*)in;
#ifdef KEEP_BLOCKS
    /* Keeps each block until the next Write (or Close) gives it back. */
    ReleaseKeptBlock();
    if (parms->data != NULL) {
        keptBlock = parms->data;
        ((WriteResult*)out)->keep = 1;
    }
#else
    (void)out;
#endif
    if (parms->eventType == EVT_LOG) {
        Trace("write log provider %08x level %d text %s", parms->providerID, parms->level,
              parms->data != NULL ? (const char*)parms->data : "");
    } else {
        Trace("write type %x provider %08x sync %u size %u first %u", parms->eventType, parms->providerID,
              parms->syncFrame, parms->dataSize,
              parms->data != NULL && parms->dataSize > 0 ? *(const unsigned char*)parms->data : 0u);
    }
    return 0;
}

int32_t Seek(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    IoctlParms* parms = (IoctlParms*)in;
    (void)out;
    if (parms->command != IOCTL_WORKER_THREAD) {
        Trace("ioctl %u", parms->command);
        return 0;
    }
    Trace("worker start");
#if PRODUCE_FRAMES > 0
    ProduceFrames();
#endif
    WaitForClose();
    Trace("worker end");
    return 0;
}
#endif
