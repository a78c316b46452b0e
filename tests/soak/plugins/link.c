/*
 * Soak link plugin: the parent's counterpart on the core's side. Packets
 * from the parent (type SOAK_PACKET_FROM_PARENT) are checked and echoed back;
 * its worker also sends the parent a packet of varying size every
 * BEAT_INTERVAL_MS until the parent says it is about to stop
 * (SOAK_PACKET_QUIET), so that every packet it hands the core has been
 * written by the time the parent asks the core to stop.
 *
 * With LOG_PACKETS it logs "link got packet <type> of <length> bytes" for
 * every packet from the parent, as it arrives. With FLOOD_PACKETS its worker
 * first hands the core that many packets of FLOOD_BYTES for the parent at
 * once.
 *
 * PLUGIN_ID is the provider id (providerIndex SOAK_LINK_INDEX).
 */
#include "log_message.h"
#include "soak_plugin.h"

#define BEAT_INTERVAL_MS 50
#define LARGEST_BEAT 8192

static EventFunction core;
static atomic_int quiet;
static atomic_uint received, bad, sent, refused;

static void Send(const uint8_t* packet, uint32_t length)
{
    if (SendToParent(core, PLUGIN_ID, packet, length) == RESULT_OK) {
        ++sent;
    } else {
        ++refused;
    }
}

int32_t Load(void* in, void* out)
{
    return LoadWorkerOnly(in, out, &core);
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    Report("link", "%08x received %u bad %u sent %u refused %u", PLUGIN_ID, atomic_load(&received), atomic_load(&bad),
           atomic_load(&sent), atomic_load(&refused));
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    const IoctlParms* parms = (const IoctlParms*)in;
    (void)out;
    if (parms->command == IOCTL_IPC_PACKET) {
        IpcPacketHeader header;
        uint8_t echo[IPC_MAX_PACKET];
        if (parms->argData == NULL || parms->argLength < IPC_HEADER_SIZE) {
            ++bad;
            return 0;
        }
        memcpy(&header, parms->argData, sizeof header);
#ifdef LOG_PACKETS
        LogMessage(PLUGIN_ID, core, LOG_LEVEL_WARNING, "link got packet %u of %u bytes", header.packetType,
                   parms->argLength);
#endif
        if (header.packetLength != parms->argLength || header.target >> 20 != SOAK_LINK_INDEX) {
            ++bad;
        } else if (header.packetType == SOAK_PACKET_QUIET) {
            quiet = 1;
        } else if (header.packetType != SOAK_PACKET_FROM_PARENT) {
            ++bad;
        } else {
            ++received;
            memcpy(echo, parms->argData, header.packetLength);
            header.packetType = SOAK_PACKET_ECHO;
            memcpy(echo, &header, sizeof header);
            Send(echo, header.packetLength);
        }
        return 0;
    }
    if (parms->command != IOCTL_WORKER_THREAD) {
        return 0;
    }
    {
        static uint8_t beat[LARGEST_BEAT];
        uint32_t round = 0;
#ifdef FLOOD_PACKETS
        for (; round < FLOOD_PACKETS; ++round) {
            IpcPacketHeader header = {FLOOD_BYTES, (uint32_t)SOAK_LINK_INDEX << 20, SOAK_PACKET_BEAT, round};
            memcpy(beat, &header, sizeof header);
            memset(beat + IPC_HEADER_SIZE, (int)(round & 0xff), FLOOD_BYTES - IPC_HEADER_SIZE);
            Send(beat, FLOOD_BYTES);
        }
#endif
        while (!WaitClosed(BEAT_INTERVAL_MS)) {
            const uint32_t length = IPC_HEADER_SIZE + (round * 997u) % (LARGEST_BEAT - IPC_HEADER_SIZE);
            IpcPacketHeader header = {length, (uint32_t)SOAK_LINK_INDEX << 20, SOAK_PACKET_BEAT, round};
            if (quiet) {
                continue;
            }
            memcpy(beat, &header, sizeof header);
            memset(beat + IPC_HEADER_SIZE, (int)(round & 0xff), length - IPC_HEADER_SIZE);
            Send(beat, length);
            ++round;
        }
    }
    return 0;
}
