#include "recordings_store.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "recordings_layout.h"
#include "segment_probe.h"

namespace dvrexample {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// What a closed row checks its file against.
bool StatFile(const std::string& path, uint64_t& bytes, int64_t& mtimeNs)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return false;
    }
    bytes = static_cast<uint64_t>(status.st_size);
    mtimeNs = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return true;
}

}  // namespace

RecordingsStore::RecordingsStore(std::string root, RetentionLimits limits) : root_(std::move(root)), limits_(limits) {}

std::string RecordingsStore::indexPath() const
{
    return root_ + "/" + kIndexFileName;
}

std::string RecordingsStore::Open()
{
    ::mkdir(root_.c_str(), 0755);
    const std::string path = indexPath();
    std::string note;
    indexReady_ = index_.Open(path, false);
    if (!indexReady_ && index_.locked()) {
        // Another process holds it: nothing is deleted, and Flush tries again.
        return index_.error() + "; recording goes on, the index is tried again every " +
               std::to_string(kCommitInterval.count()) + " s";
    }
    if (!indexReady_ && ::access(root_.c_str(), W_OK) != 0) {
        // Not damage: nothing here can be written, the index included. It
        // is opened by Flush once the directory can be written again.
        note = "cannot write " + root_ + ": " + std::strerror(errno) + ", " + index_.error() + ". ";
    } else if (!indexReady_) {
        if (index_.newer()) {
            // Kept for the version that wrote it.
            const std::string kept = path + ".newer-" + std::to_string(std::time(nullptr));
            note = index_.error() + "; kept as " + kept + ", rebuilt from the files. ";
            for (const char* suffix : {"", "-wal", "-shm"}) {
                ::rename((path + suffix).c_str(), (kept + suffix).c_str());
            }
        } else {
            note = index_.error() + "; rebuilt from the files. ";
            for (const char* suffix : {"", "-wal", "-shm"}) {
                ::unlink((path + suffix).c_str());
            }
        }
        indexReady_ = index_.Open(path, false);
        if (!indexReady_) {
            note += index_.error() + ". ";
        }
    }
    unsigned cut = 0;
    unsigned deleted = 0;
    unsigned read = 0;
    for (SegmentRow& row : indexReady_ ? index_.OpenRows() : std::vector<SegmentRow>()) {
        EnsureBatch();
        const std::string file = root_ + "/" + row.name;
        struct stat before {};
        if (::stat(file.c_str(), &before) != 0) {
            index_.Remove(row.name);
            continue;
        }
        const std::optional<uint64_t> kept = CutTornTail(file);
        if (!kept) {
            continue;  // unreadable: left alone and open, for the archive check to report
        }
        if (*kept == 0) {
            ::unlink(file.c_str());
            index_.Remove(row.name);
            ++deleted;
            continue;
        }
        cut += *kept < static_cast<uint64_t>(before.st_size) ? 1 : 0;
        if (*kept != row.bytes) {
            std::optional<SegmentRow> probed = ProbeSegment(root_, row.camera, row.name);
            if (!probed) {
                continue;
            }
            row = std::move(*probed);
            ++read;
        }
        row.closed = StatFile(file, row.bytes, row.fileMtimeNs);
        index_.Put(row);
    }
    Flush(true);
    const RecordingsUsage usage = indexReady_ ? index_.Usage() : RecordingsUsage();
    return note + std::to_string(usage.segments) + " segments, " + std::to_string(cut) + " torn tails cut, " +
           std::to_string(deleted) + " unplayable files deleted, " + std::to_string(read) + " read into the index";
}

bool RecordingsStore::EnsureBatch()
{
    if (!indexReady_) {
        return false;
    }
    if (!index_.inTransaction() && !index_.Begin()) {
        return false;
    }
    return true;
}

void RecordingsStore::Claim(const std::string& name)
{
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (tracking_) {
        session_.insert(name);
    }
}

void RecordingsStore::Update(const SegmentRow& row, bool open)
{
    Claim(row.name);
    if (open) {
        Store(row);
        return;
    }
    SegmentRow closed = row;
    closed.closed = StatFile(root_ + "/" + row.name, closed.bytes, closed.fileMtimeNs);
    Store(closed);
}

void RecordingsStore::Store(const SegmentRow& row)
{
    if (!indexReady_) {
        waiting_[row.name] = row;
    } else if (EnsureBatch()) {
        index_.Put(row);
    }
}

void RecordingsStore::Forget(const std::string& name)
{
    waiting_.erase(name);
    if (EnsureBatch()) {
        index_.Remove(name);
    }
}

bool RecordingsStore::WrittenThisSession(const std::string& name)
{
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return session_.count(name) != 0;
}

void RecordingsStore::StopTracking()
{
    std::lock_guard<std::mutex> lock(sessionMutex_);
    tracking_ = false;
    session_.clear();
}

bool RecordingsStore::Flush(bool now)
{
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - lastCommit_ < kCommitInterval) {
        return true;
    }
    lastCommit_ = time;
    if (!indexReady_) {
        // Locked by another process, or its directory not writable, at
        // Open: tried again, and the rows that waited go in once it opens.
        indexReady_ = index_.Open(indexPath(), false);
        for (const auto& [name, row] : std::exchange(waiting_, {})) {
            Store(row);
        }
        if (!indexReady_) {
            return true;
        }
    }
    // A refused batch is rolled back; the archive check of the next start
    // reads its files back in.
    return !index_.inTransaction() || index_.Commit();
}

uint64_t RecordingsStore::FreeBytes(uint64_t* size) const
{
    struct statvfs fs {};
    if (::statvfs(root_.c_str(), &fs) != 0) {
        return UINT64_MAX;
    }
    if (size != nullptr) {
        *size = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
    }
    return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

bool RecordingsStore::Delete(const SegmentRow& row)
{
    if (!EnsureBatch()) {
        return false;
    }
    if (::unlink((root_ + "/" + row.name).c_str()) != 0 && errno != ENOENT) {
        notices_.push_back("cannot delete " + row.name + ": " + std::strerror(errno) +
                           "; kept in the index and tried again every " + std::to_string(kUnlinkRetry.count()) +
                           " s");
        index_.MarkUnlinkFailed(row.name);
        return false;
    }
    return index_.Remove(row.name);
}

void RecordingsStore::RetryUnlinks()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - lastUnlinkRetry_ < kUnlinkRetry) {
        return;
    }
    lastUnlinkRetry_ = now;
    for (const std::string& name : index_.UnlinkFailed(16)) {
        const int removed = ::unlink((root_ + "/" + name).c_str());
        if ((removed == 0 || errno == ENOENT) && EnsureBatch()) {
            index_.Remove(name);
        }
    }
}

std::vector<std::string> RecordingsStore::TakeNotices()
{
    return std::exchange(notices_, {});
}

unsigned RecordingsStore::Enforce(bool diskFull)
{
    if (!indexReady_) {
        return 0;
    }
    RetryUnlinks();
    unsigned deleted = 0;
    if (diskFull) {
        if (const std::optional<SegmentRow> oldest = index_.Oldest(nullptr)) {
            deleted += Delete(*oldest) ? 1 : 0;
        }
    }
    if (limits_.cameraQuotaBytes > 0) {
        for (auto& [camera, bytes] : index_.CamerasOver(limits_.cameraQuotaBytes)) {
            while (bytes > limits_.cameraQuotaBytes && deleted < kDeletionsPerStep) {
                const std::optional<SegmentRow> oldest = index_.Oldest(&camera);
                if (!oldest || !Delete(*oldest)) {
                    break;
                }
                bytes -= std::min(bytes, oldest->bytes);
                ++deleted;
            }
        }
    }
    return EnforceLowWater(deleted);
}

unsigned RecordingsStore::EnforceLowWater(unsigned deleted)
{
    // The bitrate's reserve takes at most half of the file system: on a disk
    // smaller than a few minutes of the cameras it would leave no recordings.
    uint64_t size = 0;
    const uint64_t freeBefore = FreeBytes(&size);
    const uint64_t reserve = std::max(limits_.lowWaterBytes, std::min(reserveBytes_, size / 2));
    if (freeBefore >= reserve) {
        lowWaterStuck_ = false;
        return deleted;
    }
    if (lowWaterStuck_) {
        return deleted;
    }
    // Deletes what the index says makes up the shortfall, then looks
    // whether the file system agrees.
    uint64_t deletedBytes = 0;
    while (deletedBytes < reserve - freeBefore && deleted < kDeletionsPerStep) {
        const std::optional<SegmentRow> oldest = index_.Oldest(nullptr);
        if (!oldest || !Delete(*oldest)) {
            break;
        }
        deletedBytes += oldest->bytes;
        ++deleted;
    }
    const uint64_t freeAfter = FreeBytes();
    if (deletedBytes >= reserve - freeBefore && freeAfter < reserve &&
        freeAfter - std::min(freeAfter, freeBefore) < deletedBytes / 2) {
        lowWaterStuck_ = true;
        notices_.push_back("retention stopped: deleting " + std::to_string(deletedBytes / kMiB) +
                           " MiB of recordings freed " +
                           std::to_string((freeAfter - std::min(freeAfter, freeBefore)) / kMiB) + " MiB, " +
                           std::to_string(freeAfter / kMiB) + " MiB free of the " + std::to_string(reserve / kMiB) +
                           " MiB to keep; something else fills the file system. Deleting again once it recovers");
    }
    return deleted;
}

}  // namespace dvrexample
