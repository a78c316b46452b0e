/*
 * What the RTSP camera plugin raises and other plugins (the recorder, the
 * bridge, the catalog, a plugin of your own) read: encoded frames of each
 * camera and the state of each camera. Part of the plugin SDK; C and C++
 * (the C++ names live in namespace dvrexample).
 *
 * Frames. Each camera is one channel and raises under its own provider id,
 * the camera plugin's id plus the channel number in bits 0..15, so that the
 * core accounts the sync-frame runs of every camera on its own.
 *   - Video: EVT_VIDEO with FLAG_FRAME; the payload is one access unit in
 *     Annex B byte-stream form (start codes). syncFrame is 1 on IDR (H.264)
 *     and IRAP (H.265) access units, and those carry the parameter sets in
 *     front of the picture (VPS for H.265, SPS, PPS), so a file can start at
 *     any of them.
 *   - Audio: EVT_AUDIO with FLAG_FRAME; the payload is one raw AAC access
 *     unit (no ADTS header); the AudioSpecificConfig travels in the frame
 *     record.
 * The frame record's opaque2 bytes hold a DvrMediaFrame (DvrStoreMediaFrame /
 * DvrLoadMediaFrame).
 *
 * Camera state. Type 0x8 with DVR_CAMERA_STATE_FLAG, payload DvrCameraState:
 * raised by the camera plugin when a camera starts (before its first frame,
 * which the core's single queue keeps behind it), when its state changes, and
 * once a second for every camera, so a plugin that starts late learns every
 * name.
 *
 * All records are plain, in the host's byte order, copied by the core.
 */
#ifndef DVRCORE_SDK_CAMERA_STREAM_H
#define DVRCORE_SDK_CAMERA_STREAM_H

#include <stdint.h>
#include <string.h>

#include "plugin_api.h"

#define DVR_CAMERA_ID 0x00410000u
#define DVR_MAX_CAMERAS 64u /* channels 0..63 */
#define DVR_MEDIA_CLOCK_HZ 90000u

#define DVR_CODEC_NONE 0
#define DVR_CODEC_H264 1
#define DVR_CODEC_H265 2
#define DVR_CODEC_AAC 3

#define DVR_CAMERA_CONNECTING 1
#define DVR_CAMERA_RECORDING 2
#define DVR_CAMERA_RECONNECTING 3
#define DVR_CAMERA_STOPPED 4

#define DVR_CAMERA_STATE_TYPE 0x8u
#define DVR_CAMERA_STATE_FLAG 0x80000u

#ifdef __cplusplus
#include <cstdint>
#include <cstring>

namespace dvrexample {
enum class Codec : uint16_t {
    kNone = DVR_CODEC_NONE,
    kH264 = DVR_CODEC_H264,
    kH265 = DVR_CODEC_H265,
    kAac = DVR_CODEC_AAC
};
enum class CameraStatus : uint32_t {
    kConnecting = DVR_CAMERA_CONNECTING,
    kRecording = DVR_CAMERA_RECORDING,
    kReconnecting = DVR_CAMERA_RECONNECTING,
    kStopped = DVR_CAMERA_STOPPED
};
}  // namespace dvrexample

/* C++ sees the fields as the enums above; C as their fixed-width integers. */
typedef dvrexample::Codec DvrCodec;
typedef dvrexample::CameraStatus DvrCameraStatus;

extern "C" {
#else
typedef uint16_t DvrCodec;        /* DVR_CODEC_ */
typedef uint32_t DvrCameraStatus; /* DVR_CAMERA_ */
#endif

/* The time model of one frame. A run is a stretch of frames whose media time
 * is continuous: it begins at (re)connection, after a gap in the stream, or
 * when the system clock steps; a recorder starts a new segment with each run.
 *
 * Decode and presentation time. A camera that sends B-frames (H.264 main or
 * high profile, H.265 with reordering) sends pictures in decode order, and a
 * picture is shown later than it is decoded. mediaTime and wallTimeNs are the
 * presentation time; decodeTime is the decode time on the same clock, and
 * compositionOffset = mediaTime - decodeTime. Frames of a run come in decode
 * order: decodeTime rises with every video frame, mediaTime need not. A
 * camera sets DVR_FRAME_DECODE_TIME in timeFlags when it fills both fields;
 * without it (a camera built before them) the decode time is mediaTime.
 *
 * Run numbers rise per channel and never repeat for a camera: across
 * reconnection, reconfiguration and a restart of the camera plugin. */
#define DVR_FRAME_DECODE_TIME 0x1u

typedef struct DvrMediaFrame {
    uint64_t mediaTime;   /* DVR_MEDIA_CLOCK_HZ ticks since the run's first
                             frame, from the RTP timestamps (extended, never
                             wraps) */
    int64_t wallTimeNs;   /* UTC nanoseconds: the run's anchor plus media
                             time, steered towards the system clock */
    uint32_t channel;     /* the camera */
    uint32_t run;         /* rises per channel (see above) */
    uint32_t sequence;    /* per channel and kind, counts frames the camera
                             tried to raise (refused ones leave gaps) */
    uint32_t duration;    /* DVR_MEDIA_CLOCK_HZ ticks to the next frame
                             (estimate for the newest frame) */
    DvrCodec codec;
    uint16_t width;       /* video, from the SPS; 0 for audio */
    uint16_t height;
    uint8_t audioConfigSize; /* AAC: bytes of audioConfig used */
    uint8_t timeFlags;    /* DVR_FRAME_DECODE_TIME; was reserved (0) */
    uint32_t sampleRate;  /* audio */
    uint8_t audioConfig[16]; /* AAC AudioSpecificConfig */
    int32_t compositionOffset; /* DVR_MEDIA_CLOCK_HZ ticks, mediaTime minus
                                  decodeTime; 0 for audio and streams that
                                  do not reorder */
    uint64_t decodeTime;  /* DVR_MEDIA_CLOCK_HZ ticks since the run's first
                             frame, in decode order */
} DvrMediaFrame;

/* The decode time of a frame, from a camera of any age. */
static inline uint64_t DvrFrameDecodeTime(const DvrMediaFrame* frame)
{
    return (frame->timeFlags & DVR_FRAME_DECODE_TIME) != 0 ? frame->decodeTime : frame->mediaTime;
}

typedef struct DvrCameraState {
    uint32_t channel;
    DvrCameraStatus status;
    char name[48];          /* zero-terminated; never holds credentials */
    DvrCodec videoCodec;
    uint16_t reserved;
    uint16_t width;
    uint16_t height;
    uint64_t framesRaised;  /* video and audio frames the core accepted */
    uint64_t bytesRaised;
    uint64_t framesDropped; /* refused by the core, or dropped to the next sync frame */
    uint32_t reconnects;
    uint32_t audioFramesSkipped; /* audio in a codec other than AAC */
} DvrCameraState;

/* The provider id of a camera's channel, and the channel of a provider id. */
static inline uint32_t DvrCameraProvider(uint32_t channel)
{
    return DVR_CAMERA_ID + channel;
}

static inline uint32_t DvrCameraChannel(uint32_t providerId)
{
    return providerId & 0xFFFFu;
}

static inline void DvrStoreMediaFrame(struct _EventParmsIn* in, const DvrMediaFrame* frame)
{
    memcpy(in->opaque2, frame, sizeof *frame);
}

static inline DvrMediaFrame DvrLoadMediaFrame(const WriteParms* parms)
{
    DvrMediaFrame frame;
    memcpy(&frame, parms->opaque2, sizeof frame);
    return frame;
}

/* The core copies the whole of opaque2 from the raiser to every reader
 * (_EventParmsIn and WriteParms carry it unchanged), so the record grew past
 * its first 64 bytes by appending; the fields before stay where they were. */
DVR_STATIC_ASSERT(offsetof(DvrMediaFrame, audioConfig) == 44, "DvrMediaFrame layout");
DVR_STATIC_ASSERT(offsetof(DvrMediaFrame, compositionOffset) == 60, "DvrMediaFrame layout");
DVR_STATIC_ASSERT(offsetof(DvrMediaFrame, decodeTime) == 64, "DvrMediaFrame layout");
DVR_STATIC_ASSERT(sizeof(DvrMediaFrame) == 72, "DvrMediaFrame layout");
DVR_STATIC_ASSERT(sizeof(DvrMediaFrame) <= sizeof(((_EventParmsIn*)0)->opaque2), "DvrMediaFrame fits the record");
DVR_STATIC_ASSERT(sizeof(DvrCameraState) == 96, "DvrCameraState layout");

#ifdef __cplusplus
}

namespace dvrexample {

using MediaFrame = DvrMediaFrame;
using CameraState = DvrCameraState;

constexpr uint32_t kCameraId = DVR_CAMERA_ID;
constexpr uint32_t kMaxCameras = DVR_MAX_CAMERAS;
constexpr uint32_t kMediaClockHz = DVR_MEDIA_CLOCK_HZ;
constexpr uint32_t kCameraStateType = DVR_CAMERA_STATE_TYPE;
constexpr uint32_t kCameraStateFlag = DVR_CAMERA_STATE_FLAG;

constexpr uint32_t CameraProvider(uint32_t channel) { return DVR_CAMERA_ID + channel; }
constexpr uint32_t CameraChannel(uint32_t providerId) { return providerId & 0xFFFFu; }

inline void StoreMediaFrame(_EventParmsIn& in, const MediaFrame& frame) { DvrStoreMediaFrame(&in, &frame); }
inline MediaFrame LoadMediaFrame(const WriteParms& parms) { return DvrLoadMediaFrame(&parms); }
inline uint64_t FrameDecodeTime(const MediaFrame& frame) { return DvrFrameDecodeTime(&frame); }
constexpr uint8_t kFrameDecodeTime = DVR_FRAME_DECODE_TIME;

}  // namespace dvrexample
#endif

#endif /* DVRCORE_SDK_CAMERA_STREAM_H */
