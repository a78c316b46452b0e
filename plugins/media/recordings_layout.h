// Where the recordings live and how their files are named.
//
// The recordings directory (recording_settings.h) holds one directory per camera, named after the
// camera, and the index database. A segment file is
// "<camera>/<camera>_YYYYMMDDTHHMMSS.mmmZ.mp4", named after the UTC wall time
// of its first frame, so that a listing sorts by time and a file found
// without the index still says whose and when it is. Camera names are made
// safe for a file name: anything but letters, digits, '-', '_' and '.'
// becomes '_', and a leading '.' too.
#ifndef DVRCORE_EXAMPLES_RECORDINGS_LAYOUT_H
#define DVRCORE_EXAMPLES_RECORDINGS_LAYOUT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dvrexample {

constexpr char kSegmentExtension[] = ".mp4";
constexpr char kIndexFileName[] = "recordings.db";

std::string SafeCameraName(const std::string& name);

// "<camera>/<camera>_<UTC start>.mp4", relative to the root; `attempt` > 0
// adds "-<attempt>" for a name that is taken.
std::string SegmentName(const std::string& safeCamera, int64_t startNs, int attempt = 0);

// The UTC start time in nanoseconds that a segment's file name carries.
std::optional<int64_t> SegmentStartFromName(const std::string& fileName);

struct SegmentFileEntry {
    std::string camera;  // its directory
    std::string name;    // relative to the root
};

// Every segment file under `root`, camera by camera, oldest first.
std::vector<SegmentFileEntry> ListSegmentFiles(const std::string& root);

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDINGS_LAYOUT_H
