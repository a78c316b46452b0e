#include "ipc_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "ipc_test_packets.h"

namespace {

struct Cut {
    std::vector<std::vector<uint8_t>> packets;
    bool framed = true;
};

class Buffer {
public:
    void Append(const std::vector<uint8_t>& bytes)
    {
        std::copy(bytes.begin(), bytes.end(), bytes_.begin() + fill_);
        fill_ += bytes.size();
    }
    // Cuts what is held, checking that each packet is handed over at the
    // front of the buffer while it is still counted.
    Cut CutPackets()
    {
        Cut cut;
        cut.framed = CutIpcPackets(bytes_.data(), fill_, [&](uint8_t* packet, uint32_t length) {
            EXPECT_EQ(packet, bytes_.data());
            EXPECT_LE(length, fill_);
            cut.packets.emplace_back(packet, packet + length);
        });
        return cut;
    }
    std::vector<uint8_t> Held() const { return {bytes_.begin(), bytes_.begin() + fill_}; }

private:
    std::array<uint8_t, IPC_MAX_PACKET> bytes_{};
    std::size_t fill_ = 0;
};

TEST(IpcPacket, CutsWholePacketsInOrderAndKeepsTheRestAtTheFront)
{
    const auto first = IpcPacket(IpcTarget(5), 100, "first");
    const auto second = IpcPacket(IpcTarget(6), IPC_STOP);
    const auto third = IpcPacket(IpcTarget(7), 100, std::string(40, 'x'));
    Buffer buffer;

    buffer.Append(std::vector<uint8_t>(third.begin(), third.begin() + 10));
    EXPECT_TRUE(buffer.CutPackets().packets.empty()) << "fewer than 16 bytes wait";

    buffer = Buffer();
    buffer.Append(Join(Join(first, second), std::vector<uint8_t>(third.begin(), third.begin() + 30)));
    Cut cut = buffer.CutPackets();
    EXPECT_TRUE(cut.framed);
    EXPECT_EQ(cut.packets, (std::vector<std::vector<uint8_t>>{first, second}));
    EXPECT_EQ(buffer.Held(), std::vector<uint8_t>(third.begin(), third.begin() + 30));

    buffer.Append(std::vector<uint8_t>(third.begin() + 30, third.end()));
    cut = buffer.CutPackets();
    EXPECT_EQ(cut.packets, std::vector<std::vector<uint8_t>>{third});
    EXPECT_TRUE(buffer.Held().empty());
}

TEST(IpcPacket, LengthsOutsideTheFrameDropEveryBufferedByte)
{
    const auto good = IpcPacket(IpcTarget(5), 100, "ok");
    for (uint32_t length : {0u, 1u, 15u, 65537u, 0xffffffffu}) {
        SCOPED_TRACE(length);
        Buffer buffer;
        buffer.Append(Join(Join(good, IpcBytes(length, IpcTarget(5), 100, "trailing")), good));
        const Cut cut = buffer.CutPackets();
        EXPECT_FALSE(cut.framed);
        EXPECT_EQ(cut.packets, std::vector<std::vector<uint8_t>>{good});
        EXPECT_TRUE(buffer.Held().empty());
    }

    // The bounds themselves frame: a bare header, and a packet filling the buffer.
    Buffer buffer;
    buffer.Append(IpcBytes(16, IpcTarget(5), 100));
    EXPECT_EQ(buffer.CutPackets().packets.size(), 1u);
    buffer.Append(IpcPacket(IpcTarget(5), 100, std::string(IPC_MAX_PACKET - IPC_HEADER_SIZE, 'y')));
    const Cut full = buffer.CutPackets();
    EXPECT_TRUE(full.framed);
    ASSERT_EQ(full.packets.size(), 1u);
    EXPECT_EQ(full.packets[0].size(), static_cast<std::size_t>(IPC_MAX_PACKET));
}

}  // namespace
