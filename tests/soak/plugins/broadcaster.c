/*
 * Soak broadcaster: its worker sends a broadcast request every
 * REQUEST_INTERVAL_MS, each asking the responders for 1..MOST_REPLIES
 * replies, and cancels every fourth request shortly after sending it. Request
 * handles come from a pool and are used again, which makes a cancelled
 * handle live again. Every tenth round it also raises a reply itself, from
 * its worker thread, which is no reader: the core must refuse it.
 *
 * PLUGIN_ID is the provider id.
 */
#include "soak_plugin.h"

#define REQUEST_INTERVAL_MS 40
#define MOST_REPLIES 24
#define HANDLES 64

static EventFunction core;
static char handles[HANDLES];
static unsigned requests, cancelled, strays, strayRefused; /* worker thread, then Unload */

int32_t Load(void* in, void* out)
{
    return LoadWorkerOnly(in, out, &core);
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    Report("broadcaster", "%08x requests %u cancelled %u strays %u strayrefused %u", PLUGIN_ID, requests, cancelled,
           strays, strayRefused);
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    uint32_t round = 0;
    (void)out;
    if (((IoctlParms*)in)->command != IOCTL_WORKER_THREAD) {
        return 0;
    }
    while (!WaitClosed(REQUEST_INTERVAL_MS)) {
        RequestPayload request = {REQUEST_MAGIC, round, 1 + round % MOST_REPLIES};
        void* handle = &handles[round % HANDLES];
        if (RaiseEvent(core, EventRecord(0, SOAK_REQUEST_EVENT, 0, &request, sizeof request, handle)) == RESULT_OK) {
            ++requests;
        }
        if (round % 4 == 1) {
            SleepMs(round % 7);
            RaiseEvent(core, EventRecord(0, EVT_CANCEL_HANDLE, 0, NULL, 0, handle));
            ++cancelled;
        }
        if (round % 10 == 5) {
            uint8_t reply[64];
            FillTraffic(reply, sizeof reply, PLUGIN_ID, round, 0);
            ++strays;
            if (RaiseEvent(core, EventRecord(PLUGIN_ID, SOAK_REPLY_EVENT, 0, reply, sizeof reply, handle)) ==
                RESULT_REFUSED) {
                ++strayRefused;
            }
        }
        ++round;
    }
    return 0;
}
