// The index of the recordings: one SQLite row per segment file, and the
// database is the only copy: queries, retention and disk usage are SQL on
// indexed columns, and nobody keeps the rows in memory.
//
// Schema (PRAGMA user_version 3; docs/recording.md):
//   segments(name PRIMARY KEY, camera, start_ns, end_ns, run, media_start,
//            media_end, bytes, sync_times, closed, file_mtime, unlink_failed,
//            decode_start)
//     indexed by (camera, start_ns) and (start_ns); rows still open and rows
//     whose file could not be deleted have partial indexes of their own;
//   cameras(camera PRIMARY KEY, bytes, segments), kept by triggers on
//     segments, so that quotas and disk usage cost one row per camera;
//   unreadable(name PRIMARY KEY, bytes, check_mark): segment files without a
//     row that the archive check could not read, so that disk usage counts
//     the space they take; created by any writable open, whatever the
//     version (an older recorder leaves it alone).
// An index of an earlier version is migrated in place: one without a
// user_version (with or without decode_start) or of version 2 (without it);
// one of a newer version is refused (newer()).
//
// The recorder owns the writable index (its worker thread; its archive
// check opens a second connection of its own) and writes in batches, one
// transaction at a time, to spare the flash; the catalog opens it read-only
// for each query. Every call reports failure by its result and never throws
// across SQLite.
#ifndef DVRCORE_EXAMPLES_RECORDINGS_INDEX_H
#define DVRCORE_EXAMPLES_RECORDINGS_INDEX_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace dvrexample {

struct SegmentRow {
    std::string name;        // relative to the recordings root (recordings_layout.h)
    std::string camera;      // the camera's directory name (recordings_layout.h)
    int64_t startNs = 0;     // UTC wall time of the first frame
    int64_t endNs = 0;       // ... and of the last one
    uint32_t run = 0;        // the camera's run (camera_stream.h)
    int64_t mediaStart = 0;  // media time of the first frame, 90 kHz ticks
    int64_t mediaEnd = 0;
    uint64_t bytes = 0;
    std::string syncTimes;    // milliseconds from the start of each sync frame, comma separated
    bool closed = false;      // ended cleanly: `bytes` is the file's final size
    int64_t fileMtimeNs = 0;  // of the closed file, checked with its size
    int64_t decodeStart = 0;  // decode time of the first frame (the file's first tfdt), 90 kHz
                              // ticks of the run: a run's segments continue one another from it
};

struct RecordingsUsage {
    uint64_t bytes = 0;  // of the segments and of the unreadable files
    uint64_t segments = 0;
    uint32_t cameras = 0;
    uint64_t unreadableBytes = 0;
};

class RecordingsIndex {
public:
    static constexpr int kSchemaVersion = 3;

    RecordingsIndex();
    ~RecordingsIndex();
    RecordingsIndex(const RecordingsIndex&) = delete;
    RecordingsIndex& operator=(const RecordingsIndex&) = delete;

    // Opens `path` (closing what was open); a writable index is created
    // when missing and migrated when of an earlier version. False, with
    // error() set, when the file cannot be opened, is locked by another
    // process (locked()), is of a newer version (newer()) or fails its
    // integrity check.
    bool Open(const std::string& path, bool readOnly);
    const std::string& error() const { return error_; }
    bool newer() const { return newer_; }
    bool locked() const { return locked_; }

    // A write transaction; it waits for another connection's to end.
    bool Begin();
    bool Commit();
    bool inTransaction() const;
    bool Put(const SegmentRow& row);
    bool Remove(const std::string& name);
    bool MarkUnlinkFailed(const std::string& name);

    std::optional<SegmentRow> Get(const std::string& name);
    // The oldest closed segment (of `camera`, or of all), leaving out
    // those whose file could not be deleted.
    std::optional<SegmentRow> Oldest(const std::string* camera);
    // Cameras whose segments take more than `bytes`, with what they take.
    std::map<std::string, uint64_t> CamerasOver(uint64_t bytes);
    RecordingsUsage Usage();
    // The archive check's note of an unreadable file, made by the check
    // marked `checkMark` (its start's wall time); at the end of a whole check
    // the notes of every other check are forgotten: what this one did not
    // find unreadable is gone, or readable now.
    bool PutUnreadable(const std::string& name, uint64_t bytes, int64_t checkMark);
    bool ForgetOtherChecksUnreadable(int64_t checkMark);
    // Segments still open (at the last stop, when read at start-up).
    std::vector<SegmentRow> OpenRows();
    // Up to `limit` names of segments whose file could not be deleted.
    std::vector<std::string> UnlinkFailed(unsigned limit);
    // Up to `limit` rows of `camera` with names after `after`, by name: the
    // archive check walks the index with these.
    std::vector<SegmentRow> Page(const std::string& camera, const std::string& after, unsigned limit);
    // Segments of `camera` that overlap [fromNs, toNs), oldest first, one
    // at a time, while `visit` returns true.
    bool ForEach(const std::string& camera, int64_t fromNs, int64_t toNs,
                 const std::function<bool(const SegmentRow&)>& visit);

private:
    bool Execute(const char* sql);
    // From version `from` to kSchemaVersion, in one transaction.
    bool Migrate(int from);
    bool HasDecodeStart();
    // Runs `sql`, a change of the segment `name` (its one parameter).
    bool ChangeNamed(const char* sql, const std::string& name, const char* what);
    // A statement prepared once per connection, reset and unbound.
    sqlite3_stmt* Prepare(const char* sql);
    std::vector<SegmentRow> Rows(sqlite3_stmt* statement, unsigned limit);
    bool Fail(const char* what);

    sqlite3* db_ = nullptr;
    std::map<const char*, sqlite3_stmt*> statements_;  // by their SQL's address
    std::string error_;
    bool newer_ = false;
    bool locked_ = false;
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDINGS_INDEX_H
