#include "segment_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "segment_store.h"

namespace dvrexample {

namespace {

// Large writes of whole frames: a bigger buffer than stdio's default saves
// system calls.
constexpr std::size_t kFileBuffer = 256 * 1024;

bool MakeDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

SegmentWriter::SegmentWriter(uint32_t channel) : channel_(channel)
{
    const std::vector<SegmentFile> existing = ListSegments(kRecordingsDir, channel);
    if (!existing.empty()) {
        nextNumber_ = existing.back().number + 1;
    }
}

SegmentWriter::~SegmentWriter()
{
    CloseSegment();
}

bool SegmentWriter::Finish()
{
    if (CloseSegment()) {
        return true;
    }
    NoteError("cannot complete segment");
    return false;
}

SegmentWriter::Outcome SegmentWriter::Append(const SegmentRecord& record, const void* bytes)
{
    const bool sync = record.kind == FrameKind::kVideo && record.sync != 0;
    if (sync && (file_ == nullptr || segmentBytes_ >= kSegmentBytes)) {
        if (!CloseSegment()) {
            return Fail("cannot complete segment");
        }
        if (!StartSegment()) {
            return Fail("cannot create segment");
        }
        Prune();
    }
    if (file_ == nullptr) {
        return Outcome::kSkipped;
    }
    if (std::fwrite(&record, sizeof record, 1, file_) != 1 || std::fwrite(bytes, record.size, 1, file_) != 1) {
        return Fail("write failed");
    }
    segmentBytes_ += sizeof record + record.size;
    return Outcome::kWritten;
}

bool SegmentWriter::StartSegment()
{
    if (!MakeDirectory(kRecordingsDir) || !MakeDirectory(ChannelDir(kRecordingsDir, channel_))) {
        return false;
    }
    // Never overwrite: a number that is taken is skipped at the next try.
    file_ = std::fopen(SegmentPath(kRecordingsDir, channel_, nextNumber_++).c_str(), "wbx");
    if (file_ == nullptr) {
        return false;
    }
    std::setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
    segmentBytes_ = sizeof kSegmentMagic;
    return std::fwrite(kSegmentMagic, sizeof kSegmentMagic, 1, file_) == 1;
}

bool SegmentWriter::CloseSegment()
{
    if (file_ == nullptr) {
        return true;
    }
    const bool written = std::fclose(file_) == 0;
    file_ = nullptr;
    return written;
}

void SegmentWriter::Prune() const
{
    std::vector<SegmentFile> segments = ListSegments(kRecordingsDir, channel_);
    for (std::size_t i = 0; i + kSegmentsKept < segments.size(); ++i) {
        ::unlink(SegmentPath(kRecordingsDir, channel_, segments[i].number).c_str());
    }
}

void SegmentWriter::NoteError(const char* what)
{
    error_ = std::string(what) + ": " + std::strerror(errno);
}

SegmentWriter::Outcome SegmentWriter::Fail(const char* what)
{
    NoteError(what);
    CloseSegment();
    return Outcome::kFailed;
}

}  // namespace dvrexample
