/*
 * A test plugin for the link with the parent service.
 *
 * Id PROBE_INDEX << 16. At Open it sends the parent a hello packet (type
 * PROBE_HELLO) and logs "ipc probe <index> opened"; at Close it logs
 * "ipc probe <index> closed". Every packet from the parent is appended as one
 * line to "ipc-probe-<index>.txt" in the working directory; a packet of type
 * PROBE_ECHO is also sent back to the parent unchanged.
 *
 * Built with PROBE_LOG_DURING_START, it asks for a worker thread that sends
 * the parent one packet of type PROBE_WAITING and then logs
 * "ipc probe <index> waiting" every 20 ms until Open runs, so that events are
 * queued while the core waits for the parent's announcement.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "log_message.h"
#include "plugin_api.h"

#define PROBE_ID ((uint32_t)(PROBE_INDEX) << 16)
#define PROBE_ECHO 100
#define PROBE_HELLO 200
#define PROBE_WAITING 201

static EventFunction core;
static atomic_int opened;

static void SendToParent(const void* bytes, uint32_t length)
{
    _EventParmsIn in;
    _EventParmsOut out = {sizeof out, 1, 0};
    memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.providerID = PROBE_ID;
    in.eventType = EVT_SEND_TO_PARENT;
    in.dataSize = length;
    in.data = malloc(length); /* the core owns and frees it */
    if (in.data == NULL) {
        return;
    }
    memcpy(in.data, bytes, length);
    core(&in, &out);
}

/* Sends the parent a packet addressed from this plugin with a text payload. */
static void SendText(uint32_t type, const char* text)
{
    uint8_t packet[64];
    const uint32_t length = (uint32_t)(IPC_HEADER_SIZE + strlen(text));
    IpcPacketHeader header = {length, PROBE_ID << 4, type, 0};
    memcpy(packet, &header, sizeof header);
    memcpy(packet + IPC_HEADER_SIZE, text, length - IPC_HEADER_SIZE);
    SendToParent(packet, length);
}

static void Record(const uint8_t* packet, uint32_t length)
{
    char name[64];
    IpcPacketHeader header;
    FILE* file;
    uint32_t i;
    snprintf(name, sizeof name, "ipc-probe-%d.txt", PROBE_INDEX);
    file = fopen(name, "a");
    if (file == NULL) {
        return;
    }
    memcpy(&header, packet, sizeof header);
    fprintf(file, "length %u target 0x%08x type %u data ", (unsigned)length, (unsigned)header.target,
            (unsigned)header.packetType);
    for (i = IPC_HEADER_SIZE; i < length; ++i) {
        fprintf(file, "%02x", packet[i]);
    }
    fputs("\n", file);
    fclose(file);
}

int32_t Load(void* in, void* out)
{
    LoadResult* result = (LoadResult*)out;
    core = ((LoadParms*)in)->eventCallback;
    result->id = PROBE_ID;
#ifdef PROBE_LOG_DURING_START
    result->workerFlag = 1;
#endif
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    atomic_store(&opened, 1);
    LogMessage(PROBE_ID, core, LOG_LEVEL_INFO, "ipc probe %d opened", PROBE_INDEX);
    SendText(PROBE_HELLO, "hello");
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    LogMessage(PROBE_ID, core, LOG_LEVEL_INFO, "ipc probe %d closed", PROBE_INDEX);
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    const IoctlParms* parms = (const IoctlParms*)in;
    (void)out;
    if (parms->command == IOCTL_WORKER_THREAD) {
        /* At most 30 s, so that a core that never opens cannot keep it. */
        const struct timespec pause = {0, 20 * 1000 * 1000};
        int rounds;
        SendText(PROBE_WAITING, "waiting");
        for (rounds = 0; rounds < 1500 && !atomic_load(&opened); ++rounds) {
            LogMessage(PROBE_ID, core, LOG_LEVEL_INFO, "ipc probe %d waiting", PROBE_INDEX);
            nanosleep(&pause, NULL);
        }
    } else if (parms->command == IOCTL_IPC_PACKET && parms->argLength >= IPC_HEADER_SIZE) {
        const uint8_t* packet = (const uint8_t*)parms->argData;
        IpcPacketHeader header;
        memcpy(&header, packet, sizeof header);
        Record(packet, parms->argLength);
        if (header.packetType == PROBE_ECHO) {
            SendToParent(packet, parms->argLength);
        }
    }
    return 0;
}
