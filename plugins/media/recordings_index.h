// The index of the recordings: one SQLite row per segment file.
//
// The recorder owns the writable index (its worker thread only) and writes
// in batches, one transaction at a time, to spare the flash; the catalog
// opens it read-only for each query. The files are the truth: the recorder
// reconciles the index with them at start-up and rebuilds it when it is
// lost or corrupt (segment_probe.h). An index made before a column was added
// gets it on opening (0 in the rows it held). Every call reports failure by its
// result and never throws across SQLite.
#ifndef DVRCORE_EXAMPLES_RECORDINGS_INDEX_H
#define DVRCORE_EXAMPLES_RECORDINGS_INDEX_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace dvrexample {

struct SegmentRow {
    std::string name;        // relative to the recordings root (recordings_layout.h)
    std::string camera;      // the camera's safe name
    int64_t startNs = 0;     // UTC wall time of the first frame
    int64_t endNs = 0;       // ... and of the last one
    uint32_t run = 0;        // the camera's run (camera_stream.h)
    int64_t mediaStart = 0;  // media time of the first frame, 90 kHz ticks
    int64_t mediaEnd = 0;
    uint64_t bytes = 0;
    std::string syncTimes;  // milliseconds from the start of each sync frame, comma separated
    int64_t decodeStart = 0;  // decode time of the first frame (the file's first tfdt), 90 kHz
                              // ticks of the run: a run's segments continue one another from it
};

class RecordingsIndex {
public:
    RecordingsIndex();
    ~RecordingsIndex();
    RecordingsIndex(const RecordingsIndex&) = delete;
    RecordingsIndex& operator=(const RecordingsIndex&) = delete;

    // Opens `path` (closing what was open); a writable index is created when missing. False, with
    // error() set, when the file cannot be opened or fails its integrity
    // check.
    bool Open(const std::string& path, bool readOnly);
    const std::string& error() const { return error_; }

    bool Begin();
    bool Commit();
    bool Put(const SegmentRow& row);
    bool Remove(const std::string& name);

    std::vector<SegmentRow> All();
    // Segments of `camera` that overlap [fromNs, toNs), oldest first.
    std::vector<SegmentRow> Find(const std::string& camera, int64_t fromNs, int64_t toNs);

private:
    bool Execute(const char* sql);
    std::vector<SegmentRow> Select(const char* sql, const std::string* camera, int64_t fromNs, int64_t toNs);
    bool Fail(const char* what);

    sqlite3* db_ = nullptr;
    std::string error_;
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDINGS_INDEX_H
