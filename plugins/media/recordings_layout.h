// Where the recordings live and how their files are named.
//
// The recordings directory (recording_settings.h) holds one directory per camera, named after the
// camera, and the index database. A segment file is
// "<camera>/<camera>_YYYYMMDDTHHMMSS.mmmZ.mp4", named after the UTC wall time
// of its first frame, so that a listing sorts by time and a file found
// without the index still says whose and when it is.
//
// A camera's directory is its name, with the bytes that are unsafe in a path
// percent-encoded ("%2F"): '/', '%' itself, control characters, DEL, a
// leading '.', and bytes that are not UTF-8. Everything else stays as it is,
// spaces and non-ASCII letters included, so the directory reads like the
// name, two names never share one, and the rule can be undone
// (CameraNameFromDirectory). Names of letters, digits, '-', '_' and '.' keep
// the directories they always had.
#ifndef DVRCORE_EXAMPLES_RECORDINGS_LAYOUT_H
#define DVRCORE_EXAMPLES_RECORDINGS_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dvrexample {

constexpr char kSegmentExtension[] = ".mp4";
// The longest camera name (camera_stream.h), and so the longest segment
// name: each byte of the name encoded, twice, an "_", the time, a "-N" for
// a taken name, the extension.
constexpr std::size_t kLongestCameraName = 47;
constexpr std::size_t kLongestSegmentName =
    2 * 3 * kLongestCameraName + 2 + sizeof "YYYYMMDDTHHMMSS.mmmZ" - 1 + 2 + sizeof kSegmentExtension - 1;
constexpr char kIndexFileName[] = "recordings.db";

// The directory of the camera named `name` ("camera" when empty).
std::string SafeCameraName(const std::string& name);
// The camera name that a directory stands for.
std::string CameraNameFromDirectory(const std::string& directory);
// What is wrong with a camera name as a name (control characters), or
// empty when it can be used.
std::string CameraNameProblem(const std::string& name);

// "<camera>/<camera>_<UTC start>.mp4", relative to the root; `attempt` > 0
// adds "-<attempt>" for a name that is taken.
std::string SegmentName(const std::string& safeCamera, int64_t startNs, int attempt = 0);

// The UTC start time in nanoseconds that a segment's file name carries.
std::optional<int64_t> SegmentStartFromName(const std::string& fileName);

struct SegmentFileEntry {
    std::string camera;  // its directory
    std::string name;    // relative to the root
};

// Whether a file name is one the recorder writes for a segment.
bool IsSegmentFileName(const std::string& fileName);

// The camera directories under `root`, sorted.
std::vector<std::string> CameraDirectories(const std::string& root);

// Every segment file under `root`, camera by camera, oldest first.
std::vector<SegmentFileEntry> ListSegmentFiles(const std::string& root);

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDINGS_LAYOUT_H
