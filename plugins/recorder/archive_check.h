// The archive check: compares the files under the recordings directory with
// the index, in the background, while the recorder records.
//
// A closed row whose file has its size and modification time is trusted
// without reading the file; a file the index does not know (or whose size
// or time changed) has its torn tail cut and is read back in; a row whose
// file is gone is dropped; files of other programs (names the recorder
// does not write) are counted and left alone, and so are files that cannot
// be read; those without a row are noted with their sizes in the index
// (RecordingsIndex::PutUnreadable), so that disk usage counts them. A lost
// or damaged index is rebuilt this way. Files the recorder writes in this
// session are not touched (RecordingsStore::WrittenThisSession). Progress is
// logged every kProgressInterval, and a summary at the end.
//
// Runs on a thread of its own, with an index connection of its own, at a
// lower priority than recording; Stop (any thread) ends it early and joins.
#ifndef DVRCORE_EXAMPLES_RECORDER_ARCHIVE_CHECK_H
#define DVRCORE_EXAMPLES_RECORDER_ARCHIVE_CHECK_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "recordings_index.h"
#include "recordings_store.h"

namespace dvrexample {

class ArchiveCheck {
public:
    static constexpr std::chrono::seconds kProgressInterval{10};
    using Log = std::function<void(const std::string&)>;

    ArchiveCheck(RecordingsStore& store, Log log);
    ~ArchiveCheck();
    ArchiveCheck(const ArchiveCheck&) = delete;
    ArchiveCheck& operator=(const ArchiveCheck&) = delete;

    void Start();
    void Stop();

private:
    struct Counts {
        unsigned long files = 0;    // segment files seen
        unsigned long trusted = 0;  // closed rows that match their files
        unsigned long read = 0;     // read into the index
        unsigned long cut = 0;      // torn tails cut
        unsigned long deleted = 0;  // without one whole fragment
        unsigned long dropped = 0;  // rows without a file
        unsigned long unreadable = 0;
        unsigned long others = 0;  // files of other programs
    };

    void Run();
    void CheckFiles(const std::string& camera);
    void CheckRows(const std::string& camera);
    // A write to the index, in batches of a few rows per transaction.
    bool Write(const std::function<bool()>& change);
    void EndBatch();
    void Progress(const std::string& camera);

    RecordingsStore& store_;
    Log log_;
    RecordingsIndex index_;
    Counts counts_;
    unsigned batched_ = 0;
    std::chrono::steady_clock::time_point batchStarted_{};
    std::chrono::steady_clock::time_point nextProgress_{};
    int64_t checkMark_ = 0;  // wall time of this check's start: marks its notes of unreadable files
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDER_ARCHIVE_CHECK_H
