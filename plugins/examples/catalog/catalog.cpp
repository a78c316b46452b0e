// Catalog of the recordings: answers disk usage queries (example_events.h).
//
// A query is a broadcast request; the core hands it to Read on a delivery
// thread of its own, and the answer must be raised right there, inside Read,
// with the request's handle: the core admits replies to a handle only from
// the delivery thread that carries its request. The core also gives every
// reader plugin one long Read without a request (its asynchronous reader
// thread); the catalog has no use for it and returns at once.
#include <cstdint>

#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "example_events.h"
#include "log_message.h"
#include "segment_store.h"

namespace {

constexpr uint32_t kCatalogId = 0x00450000;

dvrexample::DiskUsage MeasureRecordings()
{
    dvrexample::DiskUsage usage{};
    for (uint32_t channel : dvrexample::ListChannels(dvrexample::kRecordingsDir)) {
        ++usage.channels;
        for (const dvrexample::SegmentFile& segment : dvrexample::ListSegments(dvrexample::kRecordingsDir, channel)) {
            ++usage.segments;
            usage.bytes += segment.bytes;
        }
    }
    return usage;
}

dvrexample::CoreLink link;

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    link.Attach(parms->eventCallback, kCatalogId);
    result->id = kCatalogId;
    result->readerFlag = 1;
    dvrexample::Subscribe(*result, dvrexample::kDiskType, dvrexample::BroadcastMatch(dvrexample::kDiskQueryFlag));
    dvrexample::SetCloseRank(*result, 0xC0000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

int32_t Read(void* in, void*)
{
    return dvrexample::Guarded([in] {
        const auto* request = static_cast<const ReadParms*>(in);
        if (request->handle == nullptr) {
            return 0;
        }
        const dvrexample::DiskUsage usage = MeasureRecordings();
        _EventParmsIn reply = link.Event(dvrexample::kDiskType, dvrexample::kDiskUsageFlag, &usage, sizeof usage);
        reply.handle = request->handle;
        // Refused when the query was cancelled meanwhile: nobody wants it then.
        link.Raise(reply);
        return 0;
    });
}

}  // extern "C"
