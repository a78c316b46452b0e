#include "recordings_store.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "recordings_layout.h"
#include "segment_probe.h"

namespace dvrexample {

RecordingsStore::RecordingsStore(std::string root, RetentionLimits limits) : root_(std::move(root)), limits_(limits) {}

std::string RecordingsStore::Open()
{
    ::mkdir(root_.c_str(), 0755);
    const std::string indexPath = root_ + "/" + kIndexFileName;
    std::string note;
    indexReady_ = index_.Open(indexPath, false);
    if (!indexReady_ && ::access(root_.c_str(), W_OK) != 0) {
        // Not damage: nothing here can be written, the index included. It
        // is opened once the directory can be written again.
        note = "cannot write " + root_ + ": " + std::strerror(errno) + ", " + index_.error() + ". ";
    } else if (!indexReady_) {
        note = index_.error() + "; rebuilt from the files. ";
        for (const char* suffix : {"", "-wal", "-shm"}) {
            ::unlink((indexPath + suffix).c_str());
        }
        indexReady_ = index_.Open(indexPath, false);
        if (!indexReady_) {
            note += index_.error() + ". ";
        }
    }
    std::map<std::string, SegmentRow> rows;
    if (indexReady_) {
        for (SegmentRow& row : index_.All()) {
            std::string name = row.name;
            rows.emplace(std::move(name), std::move(row));
        }
    }
    unsigned cut = 0;
    unsigned deleted = 0;
    unsigned read = 0;
    for (const SegmentFileEntry& file : ListSegmentFiles(root_)) {
        const std::string path = root_ + "/" + file.name;
        struct stat before {};
        ::stat(path.c_str(), &before);
        const std::optional<uint64_t> kept = CutTornTail(path);
        if (!kept) {
            continue;  // unreadable: left alone, and out of the index
        }
        if (*kept == 0) {
            ::unlink(path.c_str());
            ++deleted;
            continue;
        }
        cut += *kept < static_cast<uint64_t>(before.st_size) ? 1 : 0;
        auto known = rows.find(file.name);
        if (known != rows.end() && known->second.bytes == *kept) {
            segments_[file.name] = {known->second, false};
            rows.erase(known);
            continue;
        }
        if (std::optional<SegmentRow> row = ProbeSegment(root_, file.camera, file.name)) {
            ++read;
            segments_[file.name] = {*row, false};
            changed_.insert(file.name);
        }
        if (known != rows.end()) {
            rows.erase(known);
        }
    }
    for (const auto& [name, row] : rows) {
        changed_.insert(name);  // no file: the row goes
    }
    Flush(true);
    return note + std::to_string(segments_.size()) + " segments, " + std::to_string(cut) + " torn tails cut, " +
           std::to_string(deleted) + " unplayable files deleted, " + std::to_string(read) + " read into the index";
}

void RecordingsStore::Update(const SegmentRow& row, bool open)
{
    segments_[row.name] = {row, open};
    changed_.insert(row.name);
}

void RecordingsStore::Forget(const std::string& name)
{
    segments_.erase(name);
    changed_.insert(name);
}

bool RecordingsStore::Flush(bool now)
{
    const auto time = std::chrono::steady_clock::now();
    if (changed_.empty() || (!now && time - lastCommit_ < kCommitInterval)) {
        return true;
    }
    lastCommit_ = time;
    // Rows wait in changed_ while the index cannot be opened.
    indexReady_ = indexReady_ || index_.Open(root_ + "/" + kIndexFileName, false);
    if (!indexReady_) {
        return true;
    }
    bool stored = index_.Begin();
    for (const std::string& name : changed_) {
        const auto segment = segments_.find(name);
        stored = stored && (segment != segments_.end() ? index_.Put(segment->second.row) : index_.Remove(name));
    }
    stored = stored && index_.Commit();
    changed_.clear();  // a refused batch is rebuilt from the files at the next start
    return stored;
}

uint64_t RecordingsStore::bytesOnDisk() const
{
    uint64_t bytes = 0;
    for (const auto& [name, segment] : segments_) {
        bytes += segment.row.bytes;
    }
    return bytes;
}

uint64_t RecordingsStore::FreeBytes() const
{
    struct statvfs fs {};
    if (::statvfs(root_.c_str(), &fs) != 0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

bool RecordingsStore::DeleteOldest(const std::string* camera)
{
    const Segment* oldest = nullptr;
    for (const auto& [name, segment] : segments_) {
        if (!segment.open && (camera == nullptr || segment.row.camera == *camera) &&
            (oldest == nullptr || segment.row.startNs < oldest->row.startNs)) {
            oldest = &segment;
        }
    }
    if (oldest == nullptr) {
        return false;
    }
    const std::string name = oldest->row.name;
    ::unlink((root_ + "/" + name).c_str());
    Forget(name);
    return true;
}

unsigned RecordingsStore::Enforce(bool diskFull)
{
    unsigned deleted = diskFull && DeleteOldest(nullptr) ? 1 : 0;
    if (limits_.cameraQuotaBytes > 0) {
        std::map<std::string, uint64_t> perCamera;
        for (const auto& [name, segment] : segments_) {
            perCamera[segment.row.camera] += segment.row.bytes;
        }
        for (auto& [camera, bytes] : perCamera) {
            while (bytes > limits_.cameraQuotaBytes) {
                const uint64_t before = bytesOnDisk();
                if (!DeleteOldest(&camera)) {
                    break;
                }
                bytes -= before - bytesOnDisk();
                ++deleted;
            }
        }
    }
    while (FreeBytes() < limits_.lowWaterBytes && DeleteOldest(nullptr)) {
        ++deleted;
    }
    return deleted;
}

}  // namespace dvrexample
