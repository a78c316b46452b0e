#include "recorded_spans.h"

#include <algorithm>

namespace dvrweb {

std::vector<RecordedSpan> MergeSpans(std::vector<dvrexample::RecordingEntry> entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const dvrexample::RecordingEntry& a, const dvrexample::RecordingEntry& b) {
                  return a.startNs < b.startNs;
              });
    std::vector<RecordedSpan> spans;
    uint32_t lastRun = 0;
    for (const dvrexample::RecordingEntry& entry : entries) {
        if (entry.endNs <= entry.startNs) {
            continue;
        }
        if (!spans.empty() && (entry.run == lastRun || entry.startNs - spans.back().endNs <= kJoinNs) &&
            entry.startNs >= spans.back().startNs) {
            RecordedSpan& span = spans.back();
            span.endNs = std::max(span.endNs, entry.endNs);
            span.bytes += entry.bytes;
            ++span.segments;
        } else {
            spans.push_back({entry.startNs, entry.endNs, entry.bytes, 1});
        }
        lastRun = entry.run;
    }
    return spans;
}

std::vector<TimeGap> GapsBetween(const std::vector<RecordedSpan>& spans, int64_t fromNs, int64_t toNs)
{
    std::vector<TimeGap> gaps;
    if (spans.empty()) {
        return gaps;
    }
    int64_t cursor = fromNs;
    for (const RecordedSpan& span : spans) {
        if (span.startNs > cursor && cursor < toNs) {
            gaps.push_back({cursor, std::min(span.startNs, toNs)});
        }
        cursor = std::max(cursor, span.endNs);
    }
    if (cursor < toNs) {
        gaps.push_back({cursor, toNs});
    }
    return gaps;
}

}  // namespace dvrweb
