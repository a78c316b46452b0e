// The events that the example plugins exchange among themselves.
//
// Types 0x8 and 0x10 are general routable bits that the core only routes; the
// flag bit of each kind is what subscribers select on (see event_match.h).
// Payloads are plain records in the host's byte order, copied by the core.
#ifndef DVRCORE_EXAMPLES_EXAMPLE_EVENTS_H
#define DVRCORE_EXAMPLES_EXAMPLE_EVENTS_H

#include <cstdint>

namespace dvrexample {

// The recorder's running totals, raised once a second (type 0x8).
constexpr uint32_t kCountersType = 0x8;
constexpr uint32_t kRecorderCountersFlag = 0x10000;

struct RecorderCounters {
    uint64_t framesRecorded;
    uint64_t bytesWritten;
    uint32_t framesDropped;  // not kept: queue full, or waiting for a sync frame
    uint32_t writeErrors;
    uint32_t segmentsStarted;
    uint32_t reserved;
};
static_assert(sizeof(RecorderCounters) == 32, "RecorderCounters layout");

// The recorder's totals of one camera, raised once a second per camera that
// sent frames (type 0x8).
constexpr uint32_t kRecorderCameraFlag = 0x400000;

struct RecorderCameraCounters {
    uint32_t channel;
    uint32_t segmentsStarted;
    uint64_t framesRecorded;
    uint64_t bytesWritten;
    uint32_t framesDropped;  // by the recorder
    uint32_t writeErrors;
};
static_assert(sizeof(RecorderCameraCounters) == 32, "RecorderCameraCounters layout");

// Disk usage of the recordings (type 0x10): the bridge broadcasts a query
// (provider id 0, a handle of its own, no payload); the catalog answers on the
// delivery thread with one DiskUsage event carrying the same handle.
constexpr uint32_t kDiskType = 0x10;
constexpr uint32_t kDiskQueryFlag = 0x20000;
constexpr uint32_t kDiskUsageFlag = 0x40000;

struct DiskUsage {
    uint64_t bytes;
    uint32_t segments;
    uint32_t channels;
};
static_assert(sizeof(DiskUsage) == 16, "DiskUsage layout");

// The recordings of one camera in a time range (type 0x10): the bridge
// broadcasts a RecordingsQuery under a handle of its own; the catalog answers
// on the delivery thread with RecordingsList events carrying that handle,
// kRecordingsPerList segments each, oldest first, the last one marked.
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
    int64_t endNs;    // ... and of the end of the last one
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

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_EXAMPLE_EVENTS_H
