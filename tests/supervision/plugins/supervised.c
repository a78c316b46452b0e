/*
 * A plugin that hangs or crashes on request, for the supervision tests. At
 * Load it reads "supervised.txt" from the working directory:
 *
 *   hang <ms>        every watched entry (Load, Open, the first configuration
 *                    IOCTL, the first Write, the first broadcast Read, Close,
 *                    Unload) sleeps <ms> once
 *   crash <where>    a null-pointer write in Open, Write or the worker thread;
 *                    "callback": its Write hands the core's event entry a
 *                    payload pointer that points nowhere; "thread": a thread
 *                    the worker starts hands the C library a string that
 *                    points nowhere
 *   (anything else)  behaves
 *
 * Its worker raises SUPERVISED_EVENTS events of type 0x80 with 0 B, KEPT
 * events of KEPT_BYTES that its Write keeps (taking 150 ms each) until Close,
 * FRAMES video frames that the frame gate refuses (no sync frame yet), and one
 * broadcast request that its own Read takes. Once it has seen all its events
 * on Write it asks for the accounting document and writes the copy it
 * receives to "accounting.xml".
 */
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "plugin_api.h"

#define PLUGIN_ID 0x00A50000u
#define OWN_EVENT 0x80u
#define SUPERVISED_EVENTS 20
#define KEPT 3
#define KEPT_BYTES 100
#define FRAMES 5

static EventFunction core;
/* Where the crashes write: hidden from the compiler's bounds checks. */
static int* volatile nowhere = (int*)16;
static char mode[16], where[16];
static long hangMs;
static atomic_int closed;
static atomic_int hungWrite, hungIoctl, hungRead;
static atomic_int written;
static void* kept[KEPT];
static int keptCount;

static void SleepMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

/* Sleeps once per entry (the flag says whether it already did). */
static void HangOnce(atomic_int* done)
{
    if (strcmp(mode, "hang") == 0 && (done == NULL || atomic_exchange(done, 1) == 0)) {
        SleepMs(hangMs);
    }
}

static void CrashIn(const char* entry)
{
    if (strcmp(mode, "crash") == 0 && strcmp(where, entry) == 0) {
        *nowhere = 1;
    }
}

/* Faults inside the C library, on a thread the core knows nothing of. */
static void* CrashInLibrary(void* unused)
{
    size_t (*volatile length)(const char*) = strlen;
    (void)unused;
    return (void*)length((const char*)nowhere);
}

static void Raise(uint32_t provider, uint32_t type, void* data, uint32_t size, uint32_t flags)
{
    _EventParmsIn in;
    _EventParmsOut out;
    memset(&in, 0, sizeof in);
    memset(&out, 0, sizeof out);
    in.size = sizeof in;
    in.version = 1;
    in.providerID = provider;
    in.eventType = type;
    in.data = data;
    in.dataSize = size;
    in.handle = provider == 0 ? (void*)&core : NULL;
    in.flags = flags;
    out.size = sizeof out;
    out.version = 1;
    core(&in, &out);
}

int32_t Load(void* in, void* out)
{
    LoadResult* result = (LoadResult*)out;
    FILE* file = fopen("supervised.txt", "r");
    core = ((LoadParms*)in)->eventCallback;
    if (file != NULL) {
        if (fscanf(file, "%15s", mode) == 1) {
            if (strcmp(mode, "hang") == 0 && fscanf(file, "%ld", &hangMs) != 1) {
                hangMs = 0;
            } else if (strcmp(mode, "crash") == 0 && fscanf(file, "%15s", where) != 1) {
                where[0] = '\0';
            }
        }
        fclose(file);
    }
    result->id = PLUGIN_ID;
    result->workerFlag = 1;
    result->readerFlag = 1;
    result->writerFlag = 1;
    result->typeMasks[2] = 0xFFFFFFFFu; /* the core's status documents */
    HangOnce(NULL);
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    CrashIn("Open");
    HangOnce(NULL);
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    atomic_store(&closed, 1);
    while (keptCount > 0) {
        Raise(PLUGIN_ID, EVT_RELEASE_BLOCK, kept[--keptCount], 0, 0);
    }
    HangOnce(NULL);
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    HangOnce(NULL);
    return 0;
}

int32_t Write(void* in, void* out)
{
    const WriteParms* parms = (const WriteParms*)in;
    if (parms->eventType == EVT_STATUS && parms->dataSize > 17 && memcmp(parms->data, "<?xml ?><PluginAc", 17) == 0) {
        FILE* file = fopen("accounting.xml", "w");
        if (file != NULL) {
            fwrite(parms->data, 1, parms->dataSize, file);
            fclose(file);
        }
    }
    if (parms->providerID != PLUGIN_ID) {
        return 0;
    }
    if (parms->dataSize == KEPT_BYTES && keptCount < KEPT) {
        SleepMs(150);
        kept[keptCount++] = parms->data;
        ((WriteResult*)out)->keep = 1;
    }
    atomic_fetch_add(&written, 1);
    CrashIn("Write");
    if (strcmp(mode, "crash") == 0 && strcmp(where, "callback") == 0) {
        Raise(PLUGIN_ID, OWN_EVENT, (void*)16, 64, 0);
    }
    HangOnce(&hungWrite);
    return 0;
}

int32_t Read(void* in, void* out)
{
    (void)out;
    if (((const ReadParms*)in)->handle != NULL) {
        HangOnce(&hungRead);
    }
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    const IoctlParms* parms = (const IoctlParms*)in;
    int i;
    (void)out;
    if (parms->command == IOCTL_UPDATE_CONFIG) {
        HangOnce(&hungIoctl);
        return 0;
    }
    if (parms->command != IOCTL_WORKER_THREAD) {
        return 0;
    }
    CrashIn("worker");
    if (strcmp(mode, "crash") == 0 && strcmp(where, "thread") == 0) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, CrashInLibrary, NULL) == 0) {
            pthread_join(thread, NULL);
        }
    }
    static char payload[KEPT_BYTES];
    static char request[] = "<PluginAccounting/>";
    for (i = 0; i < SUPERVISED_EVENTS && !atomic_load(&closed); ++i) {
        SleepMs(i == 0 ? 300 : 50);
        Raise(PLUGIN_ID, OWN_EVENT, NULL, 0, 0);
    }
    for (i = 0; i < KEPT; ++i) {
        Raise(PLUGIN_ID, OWN_EVENT, payload, sizeof payload, 0);
    }
    for (i = 0; i < FRAMES; ++i) {
        Raise(PLUGIN_ID, EVT_VIDEO, payload, sizeof payload, FLAG_FRAME);
    }
    Raise(0, OWN_EVENT, NULL, 0, 0);
    /* Every Write counted by the core before the question. */
    for (i = 0; i < 500 && atomic_load(&written) < SUPERVISED_EVENTS + KEPT; ++i) {
        SleepMs(10);
    }
    SleepMs(100);
    Raise(0, EVT_STATUS, request, sizeof request - 1, 0);
    return 0;
}
