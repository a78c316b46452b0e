/*
 * Soak consumer: takes every traffic event (the producers' streams and the
 * responders' replies) and checks that each stream arrives whole, once and in
 * order: sequence numbers 0, 1, 2, ... A gap counts as lost events, a number
 * seen again or too early as disorder.
 *
 * With KEEP_EVERY, it keeps every KEEP_EVERY-th block past its Write and
 * gives it back KEPT_BLOCKS deliveries later (the rest at Close); every
 * fifth such release is made twice, which must change nothing.
 *
 * PLUGIN_ID is the provider id. Write runs on the dispatcher thread only.
 */
#define SOAK_OWN_CLOSE /* Close does more than end the threads */
#include "soak_plugin.h"

#define KEPT_BLOCKS 16
#define TWICE_EVERY 5

typedef struct Stream {
    int reply; /* replies to one broadcast request */
    uint32_t producer;
    uint32_t stream;
    uint32_t next;
    uint32_t received;
    uint32_t lost;
    uint32_t disorder;
} Stream;

/* Dispatcher thread only, then Unload. */
static EventFunction core;
static Stream* streams;
static size_t streamCount, streamCapacity;
static uint32_t replies, corrupted;
static void* kept[KEPT_BLOCKS];
static unsigned keptNext, keptCount, keepTurn, releases, releasedTwice, keptLeft;

/* Producers run a handful of streams; every broadcast request is one more. */
static Stream* FindStream(int reply, uint32_t producer, uint32_t stream)
{
    size_t i;
    for (i = streamCount; i > 0; --i) {
        if (streams[i - 1].reply == reply && streams[i - 1].producer == producer && streams[i - 1].stream == stream) {
            return &streams[i - 1];
        }
    }
    if (streamCount == streamCapacity) {
        size_t capacity = streamCapacity == 0 ? 64 : streamCapacity * 2;
        Stream* grown = (Stream*)realloc(streams, capacity * sizeof *grown);
        if (grown == NULL) {
            return NULL;
        }
        streams = grown;
        streamCapacity = capacity;
    }
    memset(&streams[streamCount], 0, sizeof streams[streamCount]);
    streams[streamCount].reply = reply;
    streams[streamCount].producer = producer;
    streams[streamCount].stream = stream;
    return &streams[streamCount++];
}

static void Count(const TrafficHeader* header, int reply)
{
    Stream* stream = FindStream(reply, header->producer, header->stream);
    if (stream == NULL) {
        ++corrupted;
        return;
    }
    if (header->sequence == stream->next) {
        ++stream->next;
    } else if (header->sequence > stream->next) {
        stream->lost += header->sequence - stream->next;
        stream->next = header->sequence + 1;
    } else {
        ++stream->disorder;
    }
    ++stream->received;
    replies += (uint32_t)reply;
}

static void GiveBack(void* block)
{
    ReleaseBlock(core, PLUGIN_ID, block);
    if (++releases % TWICE_EVERY == 0) {
        ReleaseBlock(core, PLUGIN_ID, block);
        ++releasedTwice;
    }
}

/* True when the block is kept; the oldest kept block goes back when the ring
 * is full. */
static int Keep(void* block)
{
#ifdef KEEP_EVERY
    if (++keepTurn % KEEP_EVERY != 0) {
        return 0;
    }
    if (keptCount == KEPT_BLOCKS) {
        GiveBack(kept[keptNext]);
        keptNext = (keptNext + 1) % KEPT_BLOCKS;
        --keptCount;
    }
    kept[(keptNext + keptCount) % KEPT_BLOCKS] = block;
    ++keptCount;
    return 1;
#else
    (void)block;
    (void)keepTurn;
    return 0;
#endif
}

int32_t Load(void* in, void* out)
{
    static const uint32_t kAccepted[] = {EVT_VIDEO, EVT_AUDIO, SOAK_GENERAL_EVENT, SOAK_REPLY_EVENT, 0};
    core = ((LoadParms*)in)->eventCallback;
    Identify((LoadResult*)out, PLUGIN_ID, 0, 0, 1, kAccepted);
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    keptLeft = keptCount;
    while (keptCount > 0) {
        GiveBack(kept[keptNext]);
        keptNext = (keptNext + 1) % KEPT_BLOCKS;
        --keptCount;
    }
    return 0;
}

int32_t Unload(void* in, void* out)
{
    size_t i;
    uint32_t lost = 0;
    uint32_t disorder = 0;
    (void)in;
    (void)out;
    for (i = 0; i < streamCount; ++i) {
        const Stream* stream = &streams[i];
        if (!stream->reply) {
            Report("consumer", "%08x from %08x stream %u received %u lost %u disorder %u", PLUGIN_ID, stream->producer,
                   stream->stream, stream->received, stream->lost, stream->disorder);
        } else {
            lost += stream->lost;
            disorder += stream->disorder;
        }
    }
    Report("consumer", "%08x replies %u lost %u disorder %u corrupted %u kept %u twice %u", PLUGIN_ID, replies, lost,
           disorder, corrupted, keptLeft, releasedTwice);
    free(streams);
    return 0;
}

int32_t Write(void* in, void* out)
{
    const WriteParms* parms = (const WriteParms*)in;
    TrafficHeader header;
    const int traffic = ReadTraffic(parms->data, parms->dataSize, &header);
    if (traffic < 0) {
        ++corrupted;
    } else if (traffic > 0) {
        Count(&header, parms->eventType == SOAK_REPLY_EVENT);
        ((WriteResult*)out)->keep = (uint32_t)Keep(parms->data);
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
