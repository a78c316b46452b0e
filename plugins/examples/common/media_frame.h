// The simulated camera's media frames.
//
// A frame travels as an EVT_VIDEO or EVT_AUDIO event with FLAG_FRAME; its
// payload is the frame's bytes, and the payload-specific bytes of the event
// record (carried unchanged to every Write) describe it with a FrameInfo. Each
// channel raises its frames under its own provider id, the camera's id plus
// the channel number in bits 0..15, so that the core accounts the sync-frame
// runs of every channel on its own.
//
// Sizes and bytes are a pure function of (channel, sequence, kind), so that a
// reader of the recordings can check every frame it finds.
#ifndef DVRCORE_EXAMPLES_MEDIA_FRAME_H
#define DVRCORE_EXAMPLES_MEDIA_FRAME_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "plugin_api.h"

namespace dvrexample {

constexpr uint32_t kCameraId = 0x00410000;
constexpr uint32_t kChannels = 3;
constexpr uint32_t kVideoFramesPerSecond = 25;
constexpr uint32_t kAudioFramesPerSecond = 50;  // 20 ms of 8 kHz 16-bit mono
constexpr uint32_t kSyncInterval = 25;          // a sync frame every second
constexpr uint32_t kAudioFrameBytes = 320;
constexpr uint32_t kMaxVideoFrameBytes = 200 * 1024;

struct FrameInfo {
    uint64_t captureTimeNs;  // steady clock of the camera
    uint32_t channel;
    uint32_t sequence;  // per channel and kind; refused frames leave gaps
};

inline void StoreFrameInfo(_EventParmsIn& in, const FrameInfo& info)
{
    static_assert(sizeof info <= sizeof in.opaque2, "FrameInfo fits the record");
    std::memcpy(in.opaque2, &info, sizeof info);
}

inline FrameInfo LoadFrameInfo(const WriteParms& parms)
{
    FrameInfo info;
    std::memcpy(&info, parms.opaque2, sizeof info);
    return info;
}

// A cheap, well-spread 32-bit hash of the frame's identity.
constexpr uint32_t FrameSeed(uint32_t channel, uint32_t sequence, bool audio)
{
    uint32_t x = channel * 0x9E3779B1u ^ sequence * 0x85EBCA77u ^ (audio ? 0xC2B2AE3Du : 0u);
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    return x;
}

// Sync frames 120..200 KiB, the others 20..60 KiB: the sizes of a typical
// encoded stream.
constexpr uint32_t VideoFrameBytes(uint32_t channel, uint32_t sequence, bool sync)
{
    const uint32_t seed = FrameSeed(channel, sequence, false);
    return sync ? 120 * 1024 + seed % (80 * 1024 + 1) : 20 * 1024 + seed % (40 * 1024);
}

// Byte `i` of a frame: diagonal stripes that move with the sequence number.
constexpr uint8_t PatternByte(uint32_t seed, std::size_t i)
{
    return static_cast<uint8_t>(seed + i * 7 + (i >> 10));
}

inline void FillFrame(uint8_t* bytes, std::size_t size, uint32_t channel, uint32_t sequence, bool audio)
{
    const uint32_t seed = FrameSeed(channel, sequence, audio);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = PatternByte(seed, i);
    }
}

inline bool FrameIntact(const uint8_t* bytes, std::size_t size, uint32_t channel, uint32_t sequence, bool audio)
{
    const uint32_t seed = FrameSeed(channel, sequence, audio);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != PatternByte(seed, i)) {
            return false;
        }
    }
    return true;
}

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_MEDIA_FRAME_H
