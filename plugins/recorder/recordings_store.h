// The recorder's view of everything recorded: the index, which is the only
// copy (recordings_index.h), written in batches, and retention by byte
// budget as a few queries per deletion.
//
// At start-up (Open) only what the index says was open at the last stop is
// read: a torn last fragment is cut off, a file without one whole fragment
// is deleted, a file whose size changed is read back in. Every closed
// segment is trusted; the archive check (archive_check.h) compares them
// with the files in the background, and rebuilds a lost, damaged or newer
// index there, while recording goes on. While recording, the camera
// recorders report each segment as it grows (Update); rows and deletions
// go into one transaction that is committed every kCommitInterval, or at
// Flush(true). A directory that cannot be written at start (a read-only
// file system) is said so, not taken for a damaged index: the index is
// opened by a later Flush, once it can be, and the rows that waited are
// stored then.
//
// Retention (Enforce) deletes whole segments, oldest first, never one that
// is being written: while a camera's bytes, those being written included,
// exceed its quota, while the file system's free space is below the
// reserve (the low-water mark, or the cameras' bitrate for the reserve
// time up to half the file system, whichever is larger), and when a write found the disk full. A file
// that cannot be deleted keeps its row, is reported once and retried every
// kUnlinkRetry; when deleting does not bring the free space back (something
// else fills the disk), the low-water deletions stop until it recovers.
//
// Owned and called by the recorder's worker thread only, but
// WrittenThisSession, which the archive check asks from its own thread.
#ifndef DVRCORE_EXAMPLES_RECORDER_RECORDINGS_STORE_H
#define DVRCORE_EXAMPLES_RECORDER_RECORDINGS_STORE_H

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "recordings_index.h"

namespace dvrexample {

struct RetentionLimits {
    uint64_t cameraQuotaBytes = 0;  // 0: no quota
    uint64_t lowWaterBytes = 0;     // free space to keep on the file system
};

class RecordingsStore {
public:
    static constexpr std::chrono::seconds kCommitInterval{5};
    static constexpr std::chrono::seconds kUnlinkRetry{60};
    // Deletions per Enforce, so that one call stays short; the next tick
    // goes on.
    static constexpr unsigned kDeletionsPerStep = 256;

    RecordingsStore(std::string root, RetentionLimits limits);

    // Opens the index and repairs the segments open at the last stop;
    // returns a line for the log.
    std::string Open();

    void Update(const SegmentRow& row, bool open);
    void Forget(const std::string& name);  // a segment whose file went away

    // Commits the batch, at most every kCommitInterval unless `now`. False,
    // with error() set, when the index refused it.
    bool Flush(bool now);
    // Deletes segments until the limits hold, and after a failed write
    // (`diskFull`) the oldest one in any case; the number deleted.
    unsigned Enforce(bool diskFull = false);
    // Free space to keep besides the low-water mark: the cameras' bitrate
    // for the reserve time (recording_settings.h).
    void SetReserve(uint64_t bytes) { reserveBytes_ = bytes; }
    // Lines for the log that retention had to say since the last call.
    std::vector<std::string> TakeNotices();

    // Before a segment file is created: the archive check must never take
    // a file being written for one left by an earlier session.
    void Claim(const std::string& name);
    // Any thread. Whether the recorder created `name` since Open; the
    // names are kept only until the archive check is done (StopTracking).
    bool WrittenThisSession(const std::string& name);
    void StopTracking();

    const std::string& root() const { return root_; }
    const std::string& error() const { return index_.error(); }
    std::string indexPath() const;

private:
    bool EnsureBatch();
    void Store(const SegmentRow& row);
    bool Delete(const SegmentRow& row);
    void RetryUnlinks();
    uint64_t FreeBytes(uint64_t* size = nullptr) const;
    unsigned EnforceLowWater(unsigned deleted);

    std::string root_;
    RetentionLimits limits_;
    RecordingsIndex index_;
    bool indexReady_ = false;
    // The last row of each segment reported while the index could not be
    // opened; stored once it can be.
    std::map<std::string, SegmentRow> waiting_;
    uint64_t reserveBytes_ = 0;
    bool lowWaterStuck_ = false;  // deleting did not free space; said once
    std::vector<std::string> notices_;
    std::chrono::steady_clock::time_point lastCommit_{};
    std::chrono::steady_clock::time_point lastUnlinkRetry_{};

    std::mutex sessionMutex_;
    std::set<std::string> session_;  // guarded by sessionMutex_
    bool tracking_ = true;           // guarded by sessionMutex_
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDER_RECORDINGS_STORE_H
