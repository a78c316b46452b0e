// The recorder's view of everything recorded: the index, kept in step with
// the files in batches, and retention by byte budget.
//
// At start-up (Open) the files are the truth: a torn last fragment is cut
// off, a file without one whole fragment is deleted, rows without a file go
// and files without a row (or with a stale one) are read back in; a lost or
// damaged index is rebuilt that way from nothing. While recording, the
// camera recorders report each segment as it grows (Update); rows reach the
// database in one transaction every kCommitInterval, or at Flush(true). A
// directory that cannot be written at start (a read-only file system) is
// said so, not taken for a damaged index: the index is opened by a later
// Flush, once it can be, and the rows that waited are stored then.
//
// Retention (Enforce) deletes whole segments, oldest first, never one that
// is being written: while a camera's bytes, those being written included,
// exceed its quota, while the file system's free space is below the
// low-water mark, and when a write found the disk full.
//
// Owned and called by the recorder's worker thread only.
#ifndef DVRCORE_EXAMPLES_RECORDER_RECORDINGS_STORE_H
#define DVRCORE_EXAMPLES_RECORDER_RECORDINGS_STORE_H

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "recordings_index.h"

namespace dvrexample {

struct RetentionLimits {
    uint64_t cameraQuotaBytes = 0;  // 0: no quota
    uint64_t lowWaterBytes = 0;     // free space to keep on the file system
};

class RecordingsStore {
public:
    static constexpr std::chrono::seconds kCommitInterval{5};

    RecordingsStore(std::string root, RetentionLimits limits);

    // Reconciles the index with the files; returns a line for the log.
    std::string Open();

    void Update(const SegmentRow& row, bool open);
    void Forget(const std::string& name);  // a segment whose file went away

    // Writes what changed, at most every kCommitInterval unless `now`. False,
    // with error() set, when the index refused the batch.
    bool Flush(bool now);
    // Deletes segments until the limits hold, and after a failed write
    // (`diskFull`) the oldest one in any case; the number deleted.
    unsigned Enforce(bool diskFull = false);

    const std::string& root() const { return root_; }
    const std::string& error() const { return index_.error(); }
    uint64_t bytesOnDisk() const;
    std::size_t segmentCount() const { return segments_.size(); }

private:
    struct Segment {
        SegmentRow row;
        bool open;
    };
    bool DeleteOldest(const std::string* camera);
    uint64_t FreeBytes() const;

    std::string root_;
    RetentionLimits limits_;
    RecordingsIndex index_;
    bool indexReady_ = false;
    std::map<std::string, Segment> segments_;  // by name: camera, then time
    std::set<std::string> changed_;            // names to store or remove
    std::chrono::steady_clock::time_point lastCommit_{};
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDER_RECORDINGS_STORE_H
