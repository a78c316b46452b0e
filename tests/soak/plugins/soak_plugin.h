/*
 * What the soak plugins share: raising events, the report lines that every
 * plugin writes when it is unloaded, the closed flag that ends their threads,
 * and small helpers. Header-only C on the plugin interface alone, as a plugin
 * of another team would be written; each plugin library has its own copy of
 * the state below.
 *
 * Reports: lines "<role> <id> <figures...>" appended to SOAK_REPORT in the
 * working directory (the formats are in soak_traffic.h).
 */
#ifndef DVRCORE_TESTS_SOAK_PLUGINS_SOAK_PLUGIN_H
#define DVRCORE_TESTS_SOAK_PLUGINS_SOAK_PLUGIN_H

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "append_line.h"
#include "plugin_api.h"
#include "soak_traffic.h"

static inline _EventParmsIn EventRecord(uint32_t provider, uint32_t type, uint32_t flags, void* data, uint32_t size,
                                        void* handle)
{
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.size = (uint32_t)sizeof in;
    in.version = 1;
    in.dataSize = size;
    in.data = data;
    in.providerID = provider;
    in.handle = handle;
    in.eventType = type;
    in.flags = flags;
    return in;
}

/* Raises the event; the core's answer. */
static inline int RaiseEvent(EventFunction core, _EventParmsIn in)
{
    _EventParmsOut out;
    out.size = (uint32_t)sizeof out;
    out.version = 1;
    out.result = 0;
    core(&in, &out);
    return out.result;
}

static inline void ReleaseBlock(EventFunction core, uint32_t owner, void* block)
{
    RaiseEvent(core, EventRecord(owner, EVT_RELEASE_BLOCK, 0, block, 0, NULL));
}

/* Hands a copy of `bytes` to the core for the parent; the core's answer. */
static inline int SendToParent(EventFunction core, uint32_t provider, const void* bytes, uint32_t length)
{
    void* block = malloc(length);
    if (block == NULL) {
        return RESULT_NO_MEMORY;
    }
    memcpy(block, bytes, length);
    /* The core owns the block from here on, whatever it answers. */
    return RaiseEvent(core, EventRecord(provider, EVT_SEND_TO_PARENT, 0, block, length, NULL));
}

static inline void Report(const char* plugin, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    AppendLineV(SOAK_REPORT, plugin, format, args);
    va_end(args);
}

static inline long EnvNumber(const char* name, long fallback)
{
    const char* text = getenv(name);
    return text != NULL && *text != '\0' ? strtol(text, NULL, 0) : fallback;
}

static inline void SleepMs(long ms)
{
    struct timespec delay;
    delay.tv_sec = ms / 1000;
    delay.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

static inline int64_t NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* The LoadResult of a soak plugin: its id, the three flags, and masks that
 * accept every event of the listed type bits (a zero-terminated list). */
static inline void Identify(LoadResult* result, uint32_t id, uint8_t worker, uint8_t reader, uint8_t writer,
                            const uint32_t* acceptedTypes)
{
    static const uint32_t kTypeBits[EVT_ROUTABLE_COUNT] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400};
    int i;
    result->id = id;
    for (; *acceptedTypes != 0; ++acceptedTypes) {
        for (i = 0; i < EVT_ROUTABLE_COUNT; ++i) {
            if ((*acceptedTypes & kTypeBits[i]) != 0) {
                result->typeMasks[i] = 0xFFFFFFFFu;
            }
        }
    }
    result->workerFlag = worker;
    result->readerFlag = reader;
    result->writerFlag = writer;
}

/* Load of a plugin that only runs a worker thread and takes no events: keeps
 * the core's event function in `core`. */
static inline int32_t LoadWorkerOnly(void* in, void* out, EventFunction* core)
{
    static const uint32_t kNone[] = {0};
    *core = ((LoadParms*)in)->eventCallback;
    Identify((LoadResult*)out, PLUGIN_ID, 1, 0, 0, kNone);
    return 0;
}

/* ---- The closed flag: threads of a plugin run until its Close. --------- */

static pthread_mutex_t soakMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t soakCond = PTHREAD_COND_INITIALIZER;
static int soakClosed; /* guarded by soakMutex */

static inline void MarkClosed(void)
{
    pthread_mutex_lock(&soakMutex);
    soakClosed = 1;
    pthread_cond_broadcast(&soakCond);
    pthread_mutex_unlock(&soakMutex);
}

static inline int IsClosed(void)
{
    int closed;
    pthread_mutex_lock(&soakMutex);
    closed = soakClosed;
    pthread_mutex_unlock(&soakMutex);
    return closed;
}

/* Waits up to `ms` for Close; non-zero once closed. */
static inline int WaitClosed(long ms)
{
    struct timespec deadline;
    int closed;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&soakMutex);
    while (!soakClosed && pthread_cond_timedwait(&soakCond, &soakMutex, &deadline) != ETIMEDOUT) {
    }
    closed = soakClosed;
    pthread_mutex_unlock(&soakMutex);
    return closed;
}

#ifndef SOAK_OWN_CLOSE
/* Most soak plugins only end their threads' loops at Close. */
int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    MarkClosed();
    return 0;
}
#endif

#endif /* DVRCORE_TESTS_SOAK_PLUGINS_SOAK_PLUGIN_H */
