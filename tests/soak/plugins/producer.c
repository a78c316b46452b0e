/*
 * Soak producer: raises three streams of events, each from a thread of its
 * own and as fast as the core takes them: video frames (stream 0), audio
 * frames (stream 1) and general events of varying size (stream 2).
 *
 * It subscribes to its own events, so it knows how many of each stream have
 * been delivered, and keeps at most PRODUCER_WINDOW of a stream in flight:
 * the queue stays bounded however fast the dispatcher is. A video frame that
 * the core refuses is followed by a sync frame, as an encoder restarts at a
 * key frame; so are every SYNC_EVERY admitted frames. Now and then it also
 * releases a block that the core never gave it, which must change nothing.
 *
 * PLUGIN_ID is the provider id; the worker thread runs stream 0 and starts
 * the other two, and all end at Close.
 */
#define SOAK_OWN_CLOSE /* Close does more than end the threads */
#include "soak_plugin.h"

#define STREAMS 3
#define PRODUCER_WINDOW 64
#define SYNC_EVERY 30
#define LARGEST_EVENT 16384
#define STRAY_EVERY 1000

static EventFunction core;
static pthread_mutex_t creditMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t creditCond = PTHREAD_COND_INITIALIZER;
static uint32_t admitted[STREAMS];  /* guarded by creditMutex */
static uint32_t delivered[STREAMS]; /* guarded by creditMutex */
static atomic_uint refusedThrottled, refusedNoSync, refusedLimit, refusedStopping, refusedNoMemory, strays;
static atomic_uint errors;  /* own events delivered out of order or damaged */
static atomic_ullong bytes; /* payload bytes admitted */

static const uint32_t kTypes[STREAMS] = {EVT_VIDEO, EVT_AUDIO, SOAK_GENERAL_EVENT};
static const uint32_t kFlags[STREAMS] = {FLAG_FRAME, FLAG_FRAME, 0};

static uint32_t EventSize(int stream, uint32_t attempt)
{
    static const uint32_t kSmallest[STREAMS] = {256, 64, 16};
    static const uint32_t kSpread[STREAMS] = {LARGEST_EVENT - 256, 960, 4080};
    return kSmallest[stream] + (attempt * 2654435761u) % kSpread[stream];
}

/* Waits until the stream may raise another event; 0 once closed. */
static int WaitForCredit(int stream)
{
    int open = 1;
    pthread_mutex_lock(&creditMutex);
    while (admitted[stream] - delivered[stream] >= PRODUCER_WINDOW) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 100 * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        pthread_cond_timedwait(&creditCond, &creditMutex, &deadline);
        if (IsClosed()) {
            open = 0;
            break;
        }
    }
    pthread_mutex_unlock(&creditMutex);
    return open && !IsClosed();
}

static void RunStream(int stream)
{
    uint8_t* block = (uint8_t*)malloc(LARGEST_EVENT);
    uint32_t attempt = 0;
    uint32_t sinceSync = 0;
    int needSync = 1;
    while (block != NULL && WaitForCredit(stream)) {
        const uint32_t size = EventSize(stream, attempt++);
        _EventParmsIn in;
        uint32_t sequence;
        int result;
        pthread_mutex_lock(&creditMutex);
        sequence = admitted[stream];
        pthread_mutex_unlock(&creditMutex);
        FillTraffic(block, size, PLUGIN_ID, (uint32_t)stream, sequence);
        in = EventRecord(PLUGIN_ID, kTypes[stream], kFlags[stream], block, size, NULL);
        in.syncFrame = (uint8_t)(needSync || sinceSync >= SYNC_EVERY);
        result = RaiseEvent(core, in);
        if (result == RESULT_OK) {
            pthread_mutex_lock(&creditMutex);
            ++admitted[stream];
            pthread_mutex_unlock(&creditMutex);
            bytes += size;
            sinceSync = in.syncFrame ? 1 : sinceSync + 1;
            needSync = 0;
        } else {
            needSync = 1;
            if (result == RESULT_THROTTLED) {
                ++refusedThrottled;
                SleepMs(1);
            } else if (result == RESULT_NO_SYNC_FRAME) {
                ++refusedNoSync;
            } else if (result == RESULT_FRAME_LIMIT) {
                ++refusedLimit;
            } else if (result == RESULT_REFUSED) {
                ++refusedStopping;
                SleepMs(5);
            } else {
                ++refusedNoMemory;
                SleepMs(1);
            }
        }
        if (attempt % STRAY_EVERY == 0) {
            /* A block the core never handed out: the release must be ignored. */
            ReleaseBlock(core, PLUGIN_ID, block);
            ++strays;
        }
    }
    free(block);
}

static void* StreamThread(void* stream)
{
    RunStream((int)(intptr_t)stream);
    return NULL;
}

int32_t Load(void* in, void* out)
{
    static const uint32_t kAccepted[] = {EVT_VIDEO, EVT_AUDIO, SOAK_GENERAL_EVENT, 0};
    core = ((LoadParms*)in)->eventCallback;
    Identify((LoadResult*)out, PLUGIN_ID, 1, 0, 1, kAccepted);
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    MarkClosed();
    pthread_mutex_lock(&creditMutex);
    pthread_cond_broadcast(&creditCond);
    pthread_mutex_unlock(&creditMutex);
    return 0;
}

int32_t Unload(void* in, void* out)
{
    int stream;
    (void)in;
    (void)out;
    for (stream = 0; stream < STREAMS; ++stream) {
        Report("producer", "%08x stream %d admitted %u", PLUGIN_ID, stream, admitted[stream]);
    }
    Report("producer", "%08x refused throttled %u nosync %u limit %u stopping %u nomemory %u strays %u errors %u",
           PLUGIN_ID, atomic_load(&refusedThrottled), atomic_load(&refusedNoSync), atomic_load(&refusedLimit),
           atomic_load(&refusedStopping), atomic_load(&refusedNoMemory), atomic_load(&strays), atomic_load(&errors));
    Report("producer", "%08x bytes %llu", PLUGIN_ID, atomic_load(&bytes));
    return 0;
}

/* Its own events come back here: they count as delivered. */
int32_t Write(void* in, void* out)
{
    const WriteParms* parms = (const WriteParms*)in;
    TrafficHeader header;
    (void)out;
    if (parms->providerID != PLUGIN_ID) {
        return 0;
    }
    if (ReadTraffic(parms->data, parms->dataSize, &header) != 1 || header.stream >= STREAMS) {
        ++errors;
        return 0;
    }
    pthread_mutex_lock(&creditMutex);
    if (header.sequence != delivered[header.stream]) {
        ++errors;
    }
    delivered[header.stream] = header.sequence + 1;
    pthread_cond_broadcast(&creditCond);
    pthread_mutex_unlock(&creditMutex);
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    pthread_t others[STREAMS - 1];
    int started[STREAMS - 1];
    int stream;
    (void)out;
    if (((IoctlParms*)in)->command != IOCTL_WORKER_THREAD) {
        return 0;
    }
    for (stream = 1; stream < STREAMS; ++stream) {
        started[stream - 1] = pthread_create(&others[stream - 1], NULL, StreamThread, (void*)(intptr_t)stream) == 0;
    }
    RunStream(0);
    for (stream = 1; stream < STREAMS; ++stream) {
        if (started[stream - 1]) {
            pthread_join(others[stream - 1], NULL);
        }
    }
    return 0;
}
