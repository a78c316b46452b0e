#include "archive_check.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <set>

#include "recordings_layout.h"
#include "segment_probe.h"

namespace dvrexample {

namespace {

constexpr unsigned kRowsPerBatch = 64;
// The recorder's worker waits for a batch of the check to end: keep it short.
constexpr std::chrono::milliseconds kLongestBatch{50};
constexpr unsigned kRowsPerPage = 512;
constexpr int kCheckNiceness = 10;

}  // namespace

ArchiveCheck::ArchiveCheck(RecordingsStore& store, Log log) : store_(store), log_(std::move(log)) {}

ArchiveCheck::~ArchiveCheck()
{
    Stop();
}

void ArchiveCheck::Start()
{
    thread_ = std::thread([this] { Run(); });
}

void ArchiveCheck::Stop()
{
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ArchiveCheck::Run()
{
    // Recording comes first; on Linux a thread has a niceness of its own.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kCheckNiceness);
    if (!index_.Open(store_.indexPath(), false)) {
        log_("recordings not checked against the index: " + index_.error());
        return;
    }
    nextProgress_ = std::chrono::steady_clock::now() + kProgressInterval;
    checkMark_ =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::set<std::string> cameras;
    for (const auto& [camera, bytes] : index_.CamerasOver(0)) {
        cameras.insert(camera);
    }
    const std::vector<std::string> directories = CameraDirectories(store_.root());
    cameras.insert(directories.begin(), directories.end());
    for (const std::string& camera : cameras) {
        if (stop_) {
            break;
        }
        CheckFiles(camera);
        CheckRows(camera);
    }
    // Only a whole check knows which files are no longer unreadable.
    if (!stop_) {
        Write([&] { return index_.ForgetOtherChecksUnreadable(checkMark_); });
    }
    EndBatch();
    store_.StopTracking();
    if (stop_) {
        return;
    }
    log_("recordings in " + store_.root() + " checked against the index: " + std::to_string(counts_.files) +
         " files, " + std::to_string(counts_.trusted) + " as indexed, " + std::to_string(counts_.cut) +
         " torn tails cut, " + std::to_string(counts_.deleted) + " unplayable files deleted, " +
         std::to_string(counts_.read) + " read into the index, " + std::to_string(counts_.dropped) +
         " rows without a file dropped, " + std::to_string(counts_.unreadable) + " unreadable files left alone, " +
         std::to_string(counts_.others) + " files of other programs left alone");
}

void ArchiveCheck::CheckFiles(const std::string& camera)
{
    DIR* directory = ::opendir((store_.root() + "/" + camera).c_str());
    if (directory == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(directory)) {
        if (stop_) {
            break;
        }
        const std::string fileName = entry->d_name;
        if (fileName == "." || fileName == "..") {
            continue;
        }
        const std::string name = camera + "/" + fileName;
        const std::string path = store_.root() + "/" + name;
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        if (!IsSegmentFileName(fileName)) {
            ++counts_.others;
            continue;
        }
        ++counts_.files;
        Progress(camera);
        if (store_.WrittenThisSession(name)) {
            continue;
        }
        const std::optional<SegmentRow> row = index_.Get(name);
        const int64_t mtimeNs = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
        if (row &&
            (!row->closed || (row->bytes == static_cast<uint64_t>(status.st_size) && row->fileMtimeNs == mtimeNs))) {
            // Closed and unchanged; or open, and so either repaired at Open or
            // left there as unreadable.
            counts_.trusted += row->closed ? 1 : 0;
            counts_.unreadable += row->closed ? 0 : 1;
            continue;
        }
        // A row counts a file's bytes already; one without a row is noted.
        const auto unreadable = [&] {
            ++counts_.unreadable;
            if (!row) {
                Write([&] { return index_.PutUnreadable(name, static_cast<uint64_t>(status.st_size), checkMark_); });
            }
        };
        const std::optional<uint64_t> kept = CutTornTail(path);
        if (!kept) {
            unreadable();
            continue;
        }
        if (*kept == 0) {
            ::unlink(path.c_str());
            ++counts_.deleted;
            if (row) {
                Write([&] { return index_.Remove(name); });
            }
            continue;
        }
        counts_.cut += *kept < static_cast<uint64_t>(status.st_size) ? 1 : 0;
        std::optional<SegmentRow> probed = ProbeSegment(store_.root(), camera, name);
        if (!probed) {
            unreadable();
            continue;
        }
        struct stat after {};
        ::stat(path.c_str(), &after);
        probed->closed = true;
        probed->bytes = static_cast<uint64_t>(after.st_size);
        probed->fileMtimeNs = static_cast<int64_t>(after.st_mtim.tv_sec) * 1000000000 + after.st_mtim.tv_nsec;
        Write([&] { return index_.Put(*probed); });
        ++counts_.read;
    }
    ::closedir(directory);
}

void ArchiveCheck::CheckRows(const std::string& camera)
{
    std::string after;
    for (;;) {
        EndBatch();  // a page reads what the batch wrote
        const std::vector<SegmentRow> page = index_.Page(camera, after, kRowsPerPage);
        if (page.empty() || stop_) {
            return;
        }
        for (const SegmentRow& row : page) {
            struct stat status {};
            if (::stat((store_.root() + "/" + row.name).c_str(), &status) != 0 && errno == ENOENT &&
                !store_.WrittenThisSession(row.name)) {
                Write([&] { return index_.Remove(row.name); });
                ++counts_.dropped;
            }
        }
        after = page.back().name;
    }
}

bool ArchiveCheck::Write(const std::function<bool()>& change)
{
    // The recorder's batch holds the write lock for up to its commit
    // interval; wait for it rather than give up.
    while (!index_.inTransaction()) {
        if (stop_) {
            return false;
        }
        if (index_.Begin()) {
            batchStarted_ = std::chrono::steady_clock::now();
        }
    }
    const bool written = change();
    if (++batched_ >= kRowsPerBatch || std::chrono::steady_clock::now() - batchStarted_ > kLongestBatch) {
        EndBatch();
    }
    return written;
}

void ArchiveCheck::EndBatch()
{
    if (index_.inTransaction()) {
        index_.Commit();
    }
    batched_ = 0;
}

void ArchiveCheck::Progress(const std::string& camera)
{
    const auto now = std::chrono::steady_clock::now();
    if (now < nextProgress_) {
        return;
    }
    nextProgress_ = now + kProgressInterval;
    log_("checking the recordings against the index: at camera " + camera + ", " + std::to_string(counts_.files) +
         " files seen, " + std::to_string(counts_.read) + " read into the index");
}

}  // namespace dvrexample
