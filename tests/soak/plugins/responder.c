/*
 * Soak responder: a reader plugin. Each broadcast request reaches it on a
 * delivery thread of its own, and it answers with as many replies as the
 * request asks for, each a traffic event of stream = request number that
 * carries the request's handle. The core holds every reply until the one
 * before it has been consumed (reader back-pressure), so the replies come as
 * fast as the consumers take them. A refused reply (the request was
 * cancelled, or the core stops) ends the answer. Its asynchronous reader
 * thread just waits for Close.
 *
 * PLUGIN_ID is the provider id. Read runs on many threads at once.
 */
#include "soak_plugin.h"

#define REPLY_BYTES 512

static EventFunction core;
static atomic_uint requests, replies, refused;

int32_t Load(void* in, void* out)
{
    static const uint32_t kAccepted[] = {SOAK_REQUEST_EVENT, 0};
    core = ((LoadParms*)in)->eventCallback;
    Identify((LoadResult*)out, PLUGIN_ID, 0, 1, 0, kAccepted);
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    Report("responder", "%08x requests %u replies %u refused %u", PLUGIN_ID, atomic_load(&requests),
           atomic_load(&replies), atomic_load(&refused));
    return 0;
}

int32_t Read(void* in, void* out)
{
    const ReadParms* parms = (const ReadParms*)in;
    RequestPayload request;
    uint8_t reply[REPLY_BYTES];
    uint32_t i;
    (void)out;
    if (parms->handle == NULL) {
        while (!WaitClosed(1000)) {
        }
        return 0;
    }
    if (parms->data == NULL || parms->dataSize != sizeof request) {
        return 0;
    }
    memcpy(&request, parms->data, sizeof request);
    if (request.magic != REQUEST_MAGIC) {
        return 0;
    }
    ++requests;
    for (i = 0; i < request.replies; ++i) {
        const uint32_t size = (uint32_t)sizeof(TrafficHeader) + (request.request + i * 37u) % (REPLY_BYTES - 16);
        FillTraffic(reply, size, PLUGIN_ID, request.request, i);
        if (RaiseEvent(core, EventRecord(PLUGIN_ID, SOAK_REPLY_EVENT, 0, reply, size, parms->handle)) != RESULT_OK) {
            ++refused;
            break;
        }
        ++replies;
    }
    return 0;
}

/* Configuration documents reach every plugin; this one has no use for them. */
int32_t IOCTL(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
