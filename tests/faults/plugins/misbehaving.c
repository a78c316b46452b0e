/*
 * A plugin that misbehaves in one of the ways a plugin of another team might,
 * chosen when it is built (one switch per variant):
 *
 *   SLOW_WRITE_MS   Write takes this long for every event.
 *   KEEP_FOREVER    Write keeps the first KEPT_MOST blocks and never gives
 *                   them back; at Close it checks that they are still whole.
 *   RELEASE_TWICE   Write keeps every block and gives back the previous one
 *                   twice over; at Close, the last one too.
 *   WRONG_THREAD    its worker and its asynchronous reader raise replies with
 *                   a request handle, from threads that are no reader
 *                   delivery threads.
 *   ERRORS          every entry after Load fails: returns -5 and sets
 *                   error 6 where the record has one.
 *   LOAD_FAILS      Load fails the same way.
 *
 * It takes the traffic events of the soak producers (ACCEPTED: their types)
 * and reports at Unload: "misbehaving <id> kept <n> damaged <n> admitted <n>
 * refused <n>" (damaged: kept blocks found changed; admitted and refused:
 * its replies from the wrong thread).
 *
 * PLUGIN_ID is the provider id.
 */
#define SOAK_OWN_CLOSE /* Close misbehaves on purpose */
#include "soak_plugin.h"

#define KEPT_MOST 64

#ifdef ERRORS
#define FAILURE (-5)
#define FAILURE_ERROR 6
#else
#define FAILURE 0
#define FAILURE_ERROR 0
#endif

static EventFunction core;
/* Write runs on the dispatcher thread only; Close after it. */
static void* kept[KEPT_MOST];
static uint32_t keptSizes[KEPT_MOST];
static unsigned keptCount, damaged;
static void* previous;
static atomic_uint admitted, refused;

static void CheckKept(void)
{
    unsigned i;
    for (i = 0; i < keptCount; ++i) {
        TrafficHeader header;
        if (ReadTraffic(kept[i], keptSizes[i], &header) < 0) {
            ++damaged;
        }
    }
}

int32_t Load(void* in, void* out)
{
    static const uint32_t kAccepted[] = {EVT_VIDEO, EVT_AUDIO, SOAK_GENERAL_EVENT, 0};
    LoadResult* result = (LoadResult*)out;
    core = ((LoadParms*)in)->eventCallback;
#ifdef WRONG_THREAD
    Identify(result, PLUGIN_ID, 1, 1, 1, kAccepted);
#else
    Identify(result, PLUGIN_ID, 0, 0, 1, kAccepted);
#endif
#ifdef LOAD_FAILS
    result->error = 6;
    return -5;
#else
    return 0;
#endif
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return FAILURE;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    MarkClosed();
    CheckKept();
    if (previous != NULL) {
        ReleaseBlock(core, PLUGIN_ID, previous);
        ReleaseBlock(core, PLUGIN_ID, previous);
        previous = NULL;
    }
    ((CloseResult*)out)->error = FAILURE_ERROR;
    return FAILURE;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    Report("misbehaving", "%08x kept %u damaged %u admitted %u refused %u", PLUGIN_ID, keptCount, damaged,
           atomic_load(&admitted), atomic_load(&refused));
    ((UnloadResult*)out)->error = FAILURE_ERROR;
    return FAILURE;
}

int32_t Write(void* in, void* out)
{
    const WriteParms* parms = (const WriteParms*)in;
    WriteResult* result = (WriteResult*)out;
#ifdef SLOW_WRITE_MS
    SleepMs(SLOW_WRITE_MS);
#endif
#ifdef KEEP_FOREVER
    if (parms->data != NULL && keptCount < KEPT_MOST) {
        kept[keptCount] = parms->data;
        keptSizes[keptCount++] = parms->dataSize;
        result->keep = 1;
    }
#endif
#ifdef RELEASE_TWICE
    if (previous != NULL) {
        ReleaseBlock(core, PLUGIN_ID, previous);
        ReleaseBlock(core, PLUGIN_ID, previous);
    }
    previous = parms->data;
    result->keep = parms->data != NULL;
#endif
    (void)parms;
    result->error = FAILURE_ERROR;
    return FAILURE;
}

/* A reply with a handle from a thread that is no reader delivery thread. */
static void* WrongThreadReplies(void)
{
#ifdef WRONG_THREAD
    static char handle;
    uint8_t reply[64];
    do {
        FillTraffic(reply, sizeof reply, PLUGIN_ID, 0, 0);
        if (RaiseEvent(core, EventRecord(PLUGIN_ID, SOAK_REPLY_EVENT, 0, reply, sizeof reply, &handle)) == RESULT_OK) {
            ++admitted;
        } else {
            ++refused;
        }
    } while (!WaitClosed(20));
#endif
    return NULL;
}

int32_t Read(void* in, void* out)
{
    (void)out;
    if (((ReadParms*)in)->handle == NULL) {
        WrongThreadReplies();
    }
    return FAILURE;
}

int32_t IOCTL(void* in, void* out)
{
    const IoctlParms* parms = (const IoctlParms*)in;
    if (parms->command == IOCTL_WORKER_THREAD) {
        WrongThreadReplies();
        return 0;
    }
    ((IoctlResult*)out)->error = FAILURE_ERROR;
    return FAILURE;
}
