// Catalog of the recordings: answers disk usage queries and recordings
// queries (example_events.h) from the recordings index.
//
// A query is a broadcast request; the core hands it to Read on a delivery
// thread of its own, and the answer must be raised right there, inside Read,
// with the request's handle: the core admits replies to a handle only from
// the delivery thread that carries its request. Each query opens the index
// read-only, so the catalog shares nothing with the recorder, which writes
// it. The core also gives every reader plugin one long Read without a
// request (its asynchronous reader thread); the catalog has no use for it
// and returns at once. Every answer is SQL on the index's indexed columns
// and kept totals; nothing of the index stays in memory between queries.
// Its own lists come back to it on Write (list_window.h), which bounds the
// lists of its answers in flight.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "bridge_packets.h"
#include "camera_stream.h"
#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "list_window.h"
#include "log_message.h"
#include "recorder_events.h"
#include "recording_settings.h"
#include "recordings_index.h"
#include "recordings_layout.h"

namespace {

constexpr uint32_t kCatalogId = 0x00450000;
constexpr uint32_t kListFlags = dvrexample::kRecordingsListFlag | dvrexample::kRecordingsWholeListFlag;

dvrexample::CoreLink link;
dvrexample::ListWindow window;

// Set while the index cannot be read: a status request asks every second,
// and the log says so once, and once when it can be read again.
std::atomic<bool> indexUnreadable{false};

// The index, opened read-only, or false: logged (once, until it can be read
// again) when it exists but cannot be read; quietly when the recorder has
// not made it yet.
bool OpenIndex(dvrexample::RecordingsIndex& index)
{
    // Read at the first query; the recorder logs what is wrong with the
    // settings, the catalog only needs the index's place.
    static const std::string indexPath = dvrexample::ReadRecordingSettings().root + "/" + dvrexample::kIndexFileName;
    if (index.Open(indexPath, true)) {
        if (indexUnreadable.exchange(false)) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO, "the index can be read again");
        }
        return true;
    }
    struct stat status {};
    if (::stat(indexPath.c_str(), &status) == 0 && !indexUnreadable.exchange(true)) {
        LogMessage(link.id(), link.fn(), LOG_LEVEL_WARNING, "%s", index.error().c_str());
    }
    return false;
}

// From the per-camera totals that the index keeps: one row per camera.
void AnswerDiskUsage(void* handle)
{
    dvrexample::DiskUsage usage{};
    dvrexample::RecordingsIndex index;
    if (OpenIndex(index)) {
        const dvrexample::RecordingsUsage totals = index.Usage();
        usage.bytes = totals.bytes;
        usage.segments = static_cast<uint32_t>(totals.segments);
        usage.channels = totals.cameras;
    }
    _EventParmsIn reply = link.Event(dvrexample::kDiskType, dvrexample::kDiskUsageFlag, &usage, sizeof usage);
    reply.handle = handle;
    // Refused when the query was cancelled meanwhile: nobody wants it then.
    link.Raise(reply);
}

// Whole names fit: the longest camera name makes the longest file name.
static_assert(dvrexample::kLongestSegmentName < sizeof(dvrexample::RecordingWholeEntry::name), "whole names fit");
static_assert(dvrexample::kLongestCameraName < sizeof(dvrexample::RecordingsQuery::camera), "camera names fit");
static_assert(dvrexample::kLongestCameraName + 1 == sizeof(dvrexample::CameraState::name), "camera name limit");

// Streams the rows into lists (RecordingsList, or RecordingsWholeList for
// whole names) as the index yields them, so that a month costs no more
// memory than a list.
template <typename List>
void AnswerRecordings(const dvrexample::RecordingsQuery& query, void* handle, uint32_t flag)
{
    dvrexample::RecordingsIndex index;
    const std::string camera(query.camera, strnlen(query.camera, sizeof query.camera));
    List list{};
    list.sequence = query.sequence;
    bool cancelled = false;
    const auto send = [&](bool last) {
        list.last = last ? 1 : 0;
        _EventParmsIn reply = link.Event(dvrexample::kDiskType, flag, &list, sizeof list);
        reply.handle = handle;
        window.Take();
        cancelled = link.Raise(reply) != RESULT_OK;  // nobody wants the rest
        if (cancelled) {
            window.Give();
        }
        list = {};
        list.sequence = query.sequence;
    };
    if (OpenIndex(index)) {
        index.ForEach(dvrexample::SafeCameraName(camera), query.fromNs, query.toNs,
                      [&](const dvrexample::SegmentRow& row) {
                          if (list.count == std::size(list.entries)) {
                              send(false);
                              if (cancelled) {
                                  return false;
                              }
                          }
                          auto& entry = list.entries[list.count++];
                          entry.startNs = row.startNs;
                          entry.endNs = row.endNs;
                          entry.bytes = row.bytes;
                          entry.run = row.run;
                          entry.syncFrames = row.syncTimes.empty()
                                                 ? 0
                                                 : 1 + static_cast<uint32_t>(std::count(
                                                           row.syncTimes.begin(), row.syncTimes.end(), ','));
                          std::strncpy(entry.name, row.name.c_str(), sizeof entry.name - 1);
                          return true;
                      });
    }
    if (!cancelled) {
        send(true);
    }
}

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    link.Attach(parms->eventCallback, kCatalogId);
    result->id = kCatalogId;
    result->readerFlag = 1;
    result->writerFlag = 1;
    dvrexample::Subscribe(*result, dvrexample::kDiskType,
                          dvrexample::BroadcastMatch(dvrexample::kDiskQueryFlag | dvrexample::kRecordingsQueryFlag) |
                              dvrexample::DispatchMatch(kListFlags));
    dvrexample::SetCloseRank(*result, 0xC0000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

// Dispatcher thread: the catalog's own lists, back from the queue.
int32_t Write(void* in, void*)
{
    const auto* parms = static_cast<const WriteParms*>(in);
    if (parms->providerID == kCatalogId && (parms->flags & kListFlags) != 0) {
        window.Give();
    }
    return 0;
}

int32_t Read(void* in, void*)
{
    return dvrexample::Guarded([in] {
        const auto* request = static_cast<const ReadParms*>(in);
        if (request->handle == nullptr) {
            return 0;
        }
        dvrexample::RecordingsWholeQuery whole;
        if (request->data != nullptr && request->dataSize == sizeof whole) {
            std::memcpy(&whole, request->data, sizeof whole);
            AnswerRecordings<dvrexample::RecordingsWholeList>(whole.query, request->handle,
                                                              dvrexample::kRecordingsWholeListFlag);
        } else if (request->data != nullptr && request->dataSize == sizeof whole.query) {
            std::memcpy(&whole.query, request->data, sizeof whole.query);
            AnswerRecordings<dvrexample::RecordingsList>(whole.query, request->handle,
                                                         dvrexample::kRecordingsListFlag);
        } else {
            AnswerDiskUsage(request->handle);
        }
        return 0;
    });
}

}  // extern "C"
