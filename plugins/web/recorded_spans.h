// What a camera recorded in a time range, as the page draws it: spans of
// continuous recording and the gaps between them, from the catalog's
// segments (bridge_packets.h RecordingEntry). Segments of one run, and
// segments that follow each other within kJoinNs, are one span.
#ifndef DVRCORE_WEB_RECORDED_SPANS_H
#define DVRCORE_WEB_RECORDED_SPANS_H

#include <cstdint>
#include <vector>

#include "bridge_packets.h"

namespace dvrweb {

constexpr int64_t kJoinNs = 1000000000;  // a second: the camera's own limit for one run is 2 s

struct RecordedSpan {
    int64_t startNs = 0;
    int64_t endNs = 0;
    uint64_t bytes = 0;
    uint32_t segments = 0;
};

struct TimeGap {
    int64_t startNs = 0;
    int64_t endNs = 0;
};

// Spans of `entries` (any order), oldest first.
std::vector<RecordedSpan> MergeSpans(std::vector<dvrexample::RecordingEntry> entries);

// The gaps between `spans` (oldest first) inside [fromNs, toNs), before the
// first and after the last span included; none where nothing was recorded.
std::vector<TimeGap> GapsBetween(const std::vector<RecordedSpan>& spans, int64_t fromNs, int64_t toNs);

}  // namespace dvrweb

#endif  // DVRCORE_WEB_RECORDED_SPANS_H
