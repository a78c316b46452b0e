// Reading segment files back without the index: at start-up after a crash,
// and to rebuild a lost or damaged index.
//
// Called by the recorder's worker thread before it writes, so no file it
// looks at is being written.
#ifndef DVRCORE_EXAMPLES_SEGMENT_PROBE_H
#define DVRCORE_EXAMPLES_SEGMENT_PROBE_H

#include <cstdint>
#include <optional>
#include <string>

#include "recordings_index.h"

namespace dvrexample {

// Cuts a torn tail off a fragmented MP4 file: keeps the header and every
// whole fragment (moof and its mdat), drops whatever follows. Returns the
// bytes kept, 0 when not even one whole fragment is there (the file is then
// unplayable and the caller deletes it), nothing when the file cannot be
// read or cut.
std::optional<uint64_t> CutTornTail(const std::string& path);

// The index row of a segment, read from the file itself (through
// libavformat); nothing when it holds no video frame.
std::optional<SegmentRow> ProbeSegment(const std::string& root, const std::string& camera, const std::string& name);

// The file's comment tag that carries what its name cannot: the run and the
// media time of its first frame.
std::string SegmentComment(uint32_t run, int64_t mediaStart);

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_SEGMENT_PROBE_H
