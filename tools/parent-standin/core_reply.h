// Replies of the core itself to the stand-in's requests: target 0 and a type
// of the 0x43xx range (plugin_api.h).
#ifndef DVRCORE_PARENT_STANDIN_CORE_REPLY_H
#define DVRCORE_PARENT_STANDIN_CORE_REPLY_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "plugin_api.h"

// Whether `packet` (`length` bytes, header included) is the core's reply of `type`.
inline bool IsCoreReply(const uint8_t* packet, std::size_t length, uint32_t type)
{
    if (length < IPC_HEADER_SIZE) {
        return false;
    }
    IpcPacketHeader header;
    std::memcpy(&header, packet, sizeof header);
    return header.target == 0 && header.packetType == type;
}

#endif  // DVRCORE_PARENT_STANDIN_CORE_REPLY_H
