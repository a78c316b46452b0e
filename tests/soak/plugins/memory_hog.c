/*
 * Soak memory hog: injects low-memory episodes. Every EPISODE_INTERVAL_S
 * seconds (environment DVR_SOAK_EPISODE_S; none when DVR_SOAK_EPISODES is 0)
 * its worker takes HOG_BYTES of memory into the core's resident set, holds
 * it for HOLD_MS (long enough for the core's once-a-second sample) and gives
 * it back: the core throttles frames meanwhile. It counts the memory status
 * documents that announce throttling.
 *
 * PLUGIN_ID is the provider id.
 */
#include "soak_plugin.h"

#define HOG_BYTES (200u * 1024u * 1024u)
#define HOLD_MS 2500
#define FIRST_EPISODE_MS 4000

static unsigned episodes;    /* worker thread, then Unload */
static unsigned lowStatuses; /* dispatcher thread, then Unload */

int32_t Load(void* in, void* out)
{
    static const uint32_t kAccepted[] = {EVT_STATUS, 0};
    (void)in;
    Identify((LoadResult*)out, PLUGIN_ID, 1, 0, 1, kAccepted);
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    Report("memory", "%08x episodes %u lowstatuses %u", PLUGIN_ID, episodes, lowStatuses);
    return 0;
}

int32_t Write(void* in, void* out)
{
    static const char kLow[] = "Throttling=\"1\"";
    const WriteParms* parms = (const WriteParms*)in;
    const char* text = (const char*)parms->data;
    uint32_t i;
    (void)out;
    for (i = 0; text != NULL && i + sizeof kLow - 1 <= parms->dataSize; ++i) {
        if (memcmp(text + i, kLow, sizeof kLow - 1) == 0) {
            ++lowStatuses;
            break;
        }
    }
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    const long interval = EnvNumber("DVR_SOAK_EPISODE_S", 40) * 1000;
    (void)out;
    if (((IoctlParms*)in)->command != IOCTL_WORKER_THREAD || EnvNumber("DVR_SOAK_EPISODES", 1) == 0) {
        return 0;
    }
    if (WaitClosed(FIRST_EPISODE_MS)) {
        return 0;
    }
    do {
        /* Volatile stores: the compiler may not drop memory that is only
         * written. One per page makes the page resident. */
        volatile unsigned char* hog = (volatile unsigned char*)malloc(HOG_BYTES);
        if (hog != NULL) {
            uint32_t offset;
            for (offset = 0; offset < HOG_BYTES; offset += 1024) {
                hog[offset] = (unsigned char)offset;
            }
            ++episodes;
            WaitClosed(HOLD_MS);
            free((void*)hog);
        }
    } while (!WaitClosed(interval));
    return 0;
}
