// Packets as the parent service builds them, for the IPC tests.
#ifndef DVRCORE_TESTS_IPC_IPC_TEST_PACKETS_H
#define DVRCORE_TESTS_IPC_IPC_TEST_PACKETS_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_api.h"

// A target word for the plugin with providerIndex `index`; the low 20 bits
// are the parent's own business.
inline uint32_t IpcTarget(uint32_t index, uint32_t low = 0)
{
    return index << 20 | low;
}

// A header with any length field, followed by `payload`.
inline std::vector<uint8_t> IpcBytes(uint32_t lengthField, uint32_t target, uint32_t type,
                                     const std::string& payload = "")
{
    const IpcPacketHeader header{lengthField, target, type, 0x5a5a5a5a};
    std::vector<uint8_t> bytes(sizeof header + payload.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, payload.data(), payload.size());
    return bytes;
}

// A well-formed packet.
inline std::vector<uint8_t> IpcPacket(uint32_t target, uint32_t type, const std::string& payload = "")
{
    return IpcBytes(static_cast<uint32_t>(IPC_HEADER_SIZE + payload.size()), target, type, payload);
}

inline std::vector<uint8_t> Join(std::vector<uint8_t> first, const std::vector<uint8_t>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

#endif  // DVRCORE_TESTS_IPC_IPC_TEST_PACKETS_H
