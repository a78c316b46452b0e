// Cutting the byte stream from the parent service into packets.
//
// The parent's bytes arrive in a receive buffer of IPC_MAX_PACKET bytes that
// holds `fill` bytes, the first of them being the first byte of a packet. A
// packet is complete once its whole `packetLength` is buffered; a message from
// the parent may carry part of a packet or several packets, so packets are
// cut by their length field alone.
//
// Pure functions of the buffer: no socket, no lock, no logging. The IPC reader
// calls them on `ioThread`.
#ifndef DVRCORE_IPC_IPC_PACKET_H
#define DVRCORE_IPC_IPC_PACKET_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "plugin_api.h"

// The header at the front of `packet`, which must hold IPC_HEADER_SIZE bytes
// (the buffer gives no alignment guarantee, hence the copy).
inline IpcPacketHeader ReadIpcHeader(const uint8_t* packet)
{
    IpcPacketHeader header;
    std::memcpy(&header, packet, sizeof header);
    return header;
}

// Whether a packet for `target` goes to the plugin with provider id `id`:
// bits 20..31 of the target hold the plugin's providerIndex.
inline bool IpcTargetMatches(uint32_t target, uint32_t id)
{
    return (target >> 20) == PROVIDER_INDEX(id);
}

// Hands each complete packet at the front of `buffer`, in order, to
// `onPacket(uint8_t* packet, uint32_t length)` while it sits at the first
// byte of the buffer and `fill` still counts it, then removes it and moves the
// remaining bytes to the front. Returns when fewer than IPC_HEADER_SIZE bytes
// or an incomplete packet remain.
//
// A `packetLength` outside IPC_HEADER_SIZE..IPC_MAX_PACKET cannot be framed:
// every buffered byte is dropped (`fill` becomes 0) and the result is false,
// for the caller to report. Dropping everything is what lets a length of 0
// neither stall nor spin the reader.
template <typename OnPacket>
bool CutIpcPackets(uint8_t* buffer, std::size_t& fill, OnPacket&& onPacket)
{
    while (fill >= IPC_HEADER_SIZE) {
        const uint32_t length = ReadIpcHeader(buffer).packetLength;
        if (length < IPC_HEADER_SIZE || length > IPC_MAX_PACKET) {
            fill = 0;
            return false;
        }
        if (length > fill) {
            break;
        }
        onPacket(buffer, length);
        fill -= length;
        std::memmove(buffer, buffer + length, fill);
    }
    return true;
}

#endif  // DVRCORE_IPC_IPC_PACKET_H
