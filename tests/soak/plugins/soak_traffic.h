/*
 * The traffic of the soak run: what the plugins raise and check, and what
 * the driver reads back. Plain C, shared by the soak plugins and the driver.
 *
 * Traffic payload: a header (magic, producer id, stream, sequence) and then
 * bytes that follow from the header, so any change to the block shows. A
 * producer numbers the events of a stream in the order the core admitted
 * them: a refused event does not use up its number. A receiver that sees
 * sequence numbers 0, 1, 2, ... per stream, and as many as the producer had
 * admitted, got every admitted event exactly once and in order.
 */
#ifndef DVRCORE_TESTS_SOAK_PLUGINS_SOAK_TRAFFIC_H
#define DVRCORE_TESTS_SOAK_PLUGINS_SOAK_TRAFFIC_H

#include <stdint.h>
#include <string.h>

#include "plugin_api.h"

#define TRAFFIC_MAGIC 0x4B414F53u /* "SOAK" */
#define REQUEST_MAGIC 0x21514552u /* "REQ!" */

/* Event types of the run (besides frames and documents). */
#define SOAK_GENERAL_EVENT 0x8u
#define SOAK_REPLY_EVENT 0x10u
#define SOAK_REQUEST_EVENT 0x80u

/* Packets between the parent and the link plugin. */
#define SOAK_LINK_INDEX 138 /* providerIndex of the link plugin */
#define SOAK_PACKET_FROM_PARENT 100
#define SOAK_PACKET_ECHO 101
#define SOAK_PACKET_BEAT 102
#define SOAK_PACKET_QUIET 103 /* the parent is about to stop: no more beats */

/* Figures, one line each, in this file of the core's working directory:
 *   producer <id> stream <s> admitted <n>
 *   producer <id> refused throttled <n> nosync <n> limit <n> stopping <n> nomemory <n> strays <n> errors <n>
 *   producer <id> bytes <n>
 *   consumer <id> from <producer> stream <s> received <n> lost <n> disorder <n>
 *   consumer <id> replies <n> lost <n> disorder <n> corrupted <n> kept <n> twice <n>
 *   responder <id> requests <n> replies <n> refused <n>
 *   broadcaster <id> requests <n> cancelled <n> strays <n> strayrefused <n>
 *   config <id> deltas <n> refused <n> publications <n>
 *   memory <id> episodes <n> lowstatuses <n>
 *   link <id> received <n> bad <n> sent <n> refused <n>
 * Ids in hexadecimal, counts in decimal. */
#define SOAK_REPORT "soak-report.txt"

typedef struct TrafficHeader {
    uint32_t magic;
    uint32_t producer;
    uint32_t stream;
    uint32_t sequence;
} TrafficHeader;

/* The request of a broadcast: which one, and how many replies it wants. */
typedef struct RequestPayload {
    uint32_t magic;
    uint32_t request;
    uint32_t replies;
} RequestPayload;

static inline uint8_t TrafficByte(const TrafficHeader* header, uint32_t offset)
{
    return (uint8_t)(header->producer * 7u + header->stream * 13u + header->sequence + offset);
}

/* Fills a block of at least sizeof(TrafficHeader) bytes. */
static inline void FillTraffic(uint8_t* block, uint32_t size, uint32_t producer, uint32_t stream, uint32_t sequence)
{
    TrafficHeader header = {TRAFFIC_MAGIC, producer, stream, sequence};
    uint32_t i;
    memcpy(block, &header, sizeof header);
    for (i = (uint32_t)sizeof header; i < size; ++i) {
        block[i] = TrafficByte(&header, i);
    }
}

/* 1: traffic, whole; 0: not traffic; -1: traffic with damaged bytes. */
static inline int ReadTraffic(const void* data, uint32_t size, TrafficHeader* header)
{
    const uint8_t* block = (const uint8_t*)data;
    uint32_t i;
    if (data == NULL || size < sizeof *header) {
        return 0;
    }
    memcpy(header, block, sizeof *header);
    if (header->magic != TRAFFIC_MAGIC) {
        return 0;
    }
    for (i = (uint32_t)sizeof *header; i < size; ++i) {
        if (block[i] != TrafficByte(header, i)) {
            return -1;
        }
    }
    return 1;
}

#endif /* DVRCORE_TESTS_SOAK_PLUGINS_SOAK_TRAFFIC_H */
