// The events that the recorder's plugins exchange among themselves (the
// recordings query and its answers, which the bridge also carries to the
// parent, are in bridge_packets.h).
//
// Types 0x8 and 0x10 are general routable bits that the core only routes; the
// flag bit of each kind is what subscribers select on (see event_match.h).
// Payloads are plain records in the host's byte order, copied by the core.
#ifndef DVRCORE_MEDIA_RECORDER_EVENTS_H
#define DVRCORE_MEDIA_RECORDER_EVENTS_H

#include <cstddef>
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
    // Appended: 0 while the camera's frames reach the disk; else the errno
    // of the failure that keeps them off it (EROFS, EACCES, ENOSPC, ...).
    uint32_t writeErrno;
    uint32_t reserved;
};
static_assert(offsetof(RecorderCameraCounters, writeErrors) == 28, "RecorderCameraCounters layout");
static_assert(sizeof(RecorderCameraCounters) == 40, "RecorderCameraCounters layout");

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

}  // namespace dvrexample

#endif  // DVRCORE_MEDIA_RECORDER_EVENTS_H
