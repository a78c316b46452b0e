// Packets between the parent service and the bridge plugin.
//
// The parent addresses the bridge by its provider index in the header's
// target; the bridge answers every status request with a status report whose
// header repeats the request's target and fourth word (a sequence number of
// the parent's choice). Host byte order, like every packet on the link.
#ifndef DVRCORE_PROTOCOL_BRIDGE_PACKETS_H
#define DVRCORE_PROTOCOL_BRIDGE_PACKETS_H

#include <cstdint>

#include "plugin_api.h"

namespace dvrexample {

constexpr uint32_t kBridgeId = 0x00440000;
constexpr uint32_t kBridgeIndex = PROVIDER_INDEX(kBridgeId);

constexpr uint32_t kStatusRequest = 0x5301;  // header only
constexpr uint32_t kStatusReport = 0x5302;   // header and StatusReport
// The recordings of a camera: the request carries a RecordingsQuery (its
// sequence is taken from the header), each answer a RecordingsList cut after
// its last used entry (below).
constexpr uint32_t kRecordingsRequest = 0x5303;
constexpr uint32_t kRecordingsAnswer = 0x5304;

struct StatusReport {
    uint64_t framesRecorded;
    uint64_t bytesWritten;
    uint64_t bytesOnDisk;
    uint32_t eventsPerSecond;  // events the bridge saw since the previous report, per second
    uint32_t throttling;       // 1 while the core drops frames for lack of memory
    uint32_t framesDropped;    // by the recorder
    uint32_t segmentsOnDisk;
};
static_assert(sizeof(StatusReport) == 40, "StatusReport layout");

struct StatusReportPacket {
    IpcPacketHeader header;
    StatusReport report;
};
static_assert(sizeof(StatusReportPacket) == IPC_HEADER_SIZE + sizeof(StatusReport), "no padding");

// A parent that also wants to hear of the plugins the bridge expects but does
// not hear from asks with kHealthStatusRequest (header only); the answer is a
// status report with a PluginHealth between the StatusReport and the camera
// reports. A plain kStatusRequest is answered as before.
constexpr uint32_t kHealthStatusRequest = 0x5307;
constexpr uint32_t kHealthStatusReport = 0x5308;

// The recorder raises its counters every second; a bridge that has had none
// for this long (since its own start, or since the last) reports it missing:
// not loaded (refused, say, because another plugin took its id), or stuck.
constexpr uint32_t kRecorderSilenceSeconds = 5;
constexpr uint32_t kMissingRecorder = 0x1;

struct PluginHealth {
    uint32_t missing;  // kMissing... bits
    uint32_t reserved;
};
static_assert(sizeof(PluginHealth) == 8, "PluginHealth layout");

struct HealthStatusReportPacket {
    IpcPacketHeader header;
    StatusReport report;
    PluginHealth health;
};
static_assert(sizeof(HealthStatusReportPacket) == IPC_HEADER_SIZE + sizeof(StatusReport) + sizeof(PluginHealth),
              "no padding");

// A status report is followed by one CameraReport for each camera the bridge
// has heard of (at most kMaxCameraReports), from the camera's CameraState
// and the recorder's counters of that camera.
constexpr uint32_t kMaxCameraReports = 64;

// A camera whose frames the recorder cannot write (a read-only or full
// disk, a directory it may not write) has kCameraNotWriting set in its
// status, beside the CameraStatus, and the errno of why in the status's
// upper 16 bits: a parent that knows only CameraStatus sees no "recording"
// then.
constexpr uint32_t kCameraStatusMask = 0xFF;
constexpr uint32_t kCameraNotWriting = 0x100;
constexpr uint32_t kCameraWriteErrnoShift = 16;

struct CameraReport {
    char name[48];      // zero-terminated
    uint32_t status;    // CameraStatus (camera_stream.h), 0 when unknown; kCameraNotWriting, above
    uint32_t segments;  // started by the recorder
    uint64_t frames;    // recorded
    uint64_t bytes;     // written
    uint64_t dropped;   // by the camera and by the recorder
};
static_assert(sizeof(CameraReport) == 80, "CameraReport layout");

// The recordings of one camera in a time range (type 0x10, as the disk
// events of recorder_events.h): the bridge broadcasts a RecordingsQuery under
// a handle of its own; the catalog answers on the delivery thread with
// RecordingsList events carrying that handle, kRecordingsPerList segments
// each, oldest first, the last one marked. The parent's recordings request
// and answers carry the same records.
constexpr uint32_t kRecordingsQueryFlag = 0x100000;
constexpr uint32_t kRecordingsListFlag = 0x200000;
constexpr uint32_t kRecordingsPerList = 16;

struct RecordingsQuery {
    int64_t fromNs;  // UTC nanoseconds; segments that overlap [fromNs, toNs)
    int64_t toNs;
    uint32_t sequence;  // the parent's, repeated in every answer
    uint32_t reserved;
    char camera[48];  // zero-terminated, as the camera names its files
};
static_assert(sizeof(RecordingsQuery) == 72, "RecordingsQuery layout");

struct RecordingEntry {
    int64_t startNs;  // UTC wall time of the first frame
    int64_t endNs;    // ... and of the last one
    uint64_t bytes;
    uint32_t syncFrames;
    uint32_t run;
    char name[96];  // file, relative to the recordings directory
};
static_assert(sizeof(RecordingEntry) == 128, "RecordingEntry layout");

struct RecordingsList {
    uint32_t sequence;
    uint16_t count;  // entries used
    uint16_t last;   // 1 on the query's last list
    RecordingEntry entries[kRecordingsPerList];
};
static_assert(sizeof(RecordingsList) == 8 + 128 * kRecordingsPerList, "RecordingsList layout");

// The same answer with whole file names, which a RecordingEntry may cut:
// the parent asks with kRecordingsWholeRequest and a RecordingsWholeQuery;
// the bridge broadcasts that query (the catalog tells it from a
// RecordingsQuery by its size) and forwards each RecordingsWholeList, cut
// after its last used entry, as a kRecordingsWholeAnswer. The name field
// holds the longest segment name that a camera name of the configuration's
// limit makes (the catalog checks it at compile time).
constexpr uint32_t kRecordingsWholeRequest = 0x5305;
constexpr uint32_t kRecordingsWholeAnswer = 0x5306;
constexpr uint32_t kRecordingsWholeListFlag = 0x800000;
constexpr uint32_t kRecordingsPerWholeList = 8;

struct RecordingsWholeQuery {
    RecordingsQuery query;
    uint32_t reserved[2];
};
static_assert(sizeof(RecordingsWholeQuery) == 80, "RecordingsWholeQuery layout");

struct RecordingWholeEntry {
    int64_t startNs;
    int64_t endNs;
    uint64_t bytes;
    uint32_t syncFrames;
    uint32_t run;
    char name[320];  // zero-terminated file, relative to the recordings directory
};
static_assert(sizeof(RecordingWholeEntry) == 352, "RecordingWholeEntry layout");

struct RecordingsWholeList {
    uint32_t sequence;
    uint16_t count;
    uint16_t last;
    RecordingWholeEntry entries[kRecordingsPerWholeList];
};
static_assert(sizeof(RecordingsWholeList) == 8 + 352 * kRecordingsPerWholeList, "RecordingsWholeList layout");

}  // namespace dvrexample

#endif  // DVRCORE_PROTOCOL_BRIDGE_PACKETS_H
