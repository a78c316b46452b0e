// What the RTSP camera plugin raises and the recorder, the bridge and the
// catalog read: encoded frames of each camera and the state of each camera.
//
// Frames. Each camera is one channel and raises under its own provider id,
// the camera plugin's id plus the channel number in bits 0..15, so that the
// core accounts the sync-frame runs of every camera on its own.
//   - Video: EVT_VIDEO with FLAG_FRAME; the payload is one access unit in
//     Annex B byte-stream form (start codes). syncFrame is 1 on IDR (H.264)
//     and IRAP (H.265) access units, and those carry the parameter sets in
//     front of the picture (VPS for H.265, SPS, PPS), so a file can start at
//     any of them.
//   - Audio: EVT_AUDIO with FLAG_FRAME; the payload is one raw AAC access
//     unit (no ADTS header); the AudioSpecificConfig travels in the frame
//     record.
// The frame record's opaque2 bytes hold a MediaFrame (StoreMediaFrame /
// LoadMediaFrame).
//
// Camera state. Type 0x8 with kCameraStateFlag, payload CameraState: raised
// by the camera plugin when a camera starts (before its first frame), when
// its state changes, and once a second for every camera, so a plugin that
// starts late learns every name.
//
// All records are plain, in the host's byte order, copied by the core.
#ifndef DVRCORE_EXAMPLES_CAMERA_STREAM_H
#define DVRCORE_EXAMPLES_CAMERA_STREAM_H

#include <cstdint>
#include <cstring>

#include "plugin_api.h"

namespace dvrexample {

constexpr uint32_t kCameraId = 0x00410000;
constexpr uint32_t kMaxCameras = 64;  // channels 0..63
constexpr uint32_t kMediaClockHz = 90000;

constexpr uint32_t CameraProvider(uint32_t channel) { return kCameraId + channel; }
constexpr uint32_t CameraChannel(uint32_t providerId) { return providerId & 0xFFFFu; }

enum class Codec : uint16_t { kNone = 0, kH264 = 1, kH265 = 2, kAac = 3 };

// The time model of one frame. A run is a stretch of frames whose media time
// is continuous: it begins at (re)connection, after a gap in the stream, or
// when the system clock steps; a recorder starts a new segment with each run.
struct MediaFrame {
    uint64_t mediaTime;    // kMediaClockHz ticks since the run's first frame,
                           // from the RTP timestamps (extended, never wraps)
    int64_t wallTimeNs;    // UTC nanoseconds: the run's anchor plus media
                           // time, steered towards the system clock
    uint32_t channel;      // the camera
    uint32_t run;          // counts up per channel, from 1
    uint32_t sequence;     // per channel and kind, counts frames the camera
                           // tried to raise (refused ones leave gaps)
    uint32_t duration;     // kMediaClockHz ticks to the next frame (estimate
                           // for the newest frame)
    Codec codec;
    uint16_t width;        // video, from the SPS; 0 for audio
    uint16_t height;
    uint8_t audioConfigSize;  // AAC: bytes of audioConfig used
    uint8_t reserved;
    uint32_t sampleRate;   // audio
    uint8_t audioConfig[16];  // AAC AudioSpecificConfig
};
static_assert(sizeof(MediaFrame) == 64, "MediaFrame layout");

inline void StoreMediaFrame(_EventParmsIn& in, const MediaFrame& frame)
{
    static_assert(sizeof frame <= sizeof in.opaque2, "MediaFrame fits the record");
    std::memcpy(in.opaque2, &frame, sizeof frame);
}

inline MediaFrame LoadMediaFrame(const WriteParms& parms)
{
    MediaFrame frame;
    std::memcpy(&frame, parms.opaque2, sizeof frame);
    return frame;
}

constexpr uint32_t kCameraStateType = 0x8;
constexpr uint32_t kCameraStateFlag = 0x80000;

enum class CameraStatus : uint32_t { kConnecting = 1, kRecording = 2, kReconnecting = 3, kStopped = 4 };

struct CameraState {
    uint32_t channel;
    CameraStatus status;
    char name[48];         // zero-terminated; never holds credentials
    Codec videoCodec;
    uint16_t reserved;
    uint16_t width;
    uint16_t height;
    uint64_t framesRaised;   // video and audio frames the core accepted
    uint64_t bytesRaised;
    uint64_t framesDropped;  // refused by the core, or dropped to the next sync frame
    uint32_t reconnects;
    uint32_t audioFramesSkipped;  // audio in a codec other than AAC
};
static_assert(sizeof(CameraState) == 96, "CameraState layout");

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_CAMERA_STREAM_H
