#include "camera_recorder.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "leading_parameter_sets.h"
#include "recordings_layout.h"
#include "segment_probe.h"

namespace dvrexample {

namespace {

constexpr int kNameAttempts = 10;

// The directory under `root` that stands for `directory` while its name is
// spelled otherwise: a file system that folds case gave `directory` to
// another camera. Empty when there is none.
std::string CaseTwin(const std::string& root, const std::string& directory)
{
    struct stat status {};
    if (::stat((root + "/" + directory).c_str(), &status) != 0) {
        return {};
    }
    std::string twin;
    for (const std::string& entry : CameraDirectories(root)) {
        if (entry == directory) {
            return {};
        }
        if (::strcasecmp(entry.c_str(), directory.c_str()) == 0) {
            twin = entry;
        }
    }
    return twin;
}

int64_t TicksToMs(int64_t ticks)
{
    return av_rescale(ticks, 1000, kMediaClockHz);
}

}  // namespace

CameraRecorder::CameraRecorder(RecordingsStore& store, uint32_t channel, int64_t segmentNs)
    : store_(store), channel_(channel), segmentNs_(segmentNs), name_(SafeCameraName("camera" + std::to_string(channel)))
{
}

CameraRecorder::~CameraRecorder()
{
    Close();
}

void CameraRecorder::SetName(const std::string& name)
{
    name_ = SafeCameraName(name);
}

CameraRecorder::Outcome CameraRecorder::Add(const MediaFrame& frame, bool audio, bool sync, const uint8_t* data,
                                            std::size_t size, Clock::time_point now)
{
    const uint64_t decode = FrameDecodeTime(frame);
    if (audio) {
        if (frame.codec != Codec::kAac || frame.audioConfigSize == 0 ||
            frame.audioConfigSize > sizeof frame.audioConfig) {
            return Outcome::kSkipped;
        }
        nextAudio_.audio = true;
        nextAudio_.sampleRate = frame.sampleRate;
        nextAudio_.audioConfig.assign(reinterpret_cast<const char*>(frame.audioConfig), frame.audioConfigSize);
        // Sound waits for the segment that the next sync frame starts when
        // the open one has no track for it, or one of another configuration.
        if (file_ == nullptr || audioTrack_ != nextAudio_.audioConfig || frame.run != row_.run ||
            decode < static_cast<uint64_t>(row_.decodeStart)) {
            return Outcome::kSkipped;
        }
        if (Behind(audio, decode)) {
            return Outcome::kDropped;
        }
    } else {
        std::string sets;
        if (sync) {
            sets = ParameterSets(frame.codec, data, size);
        }
        // Decode time that does not rise within a run breaks continuity as
        // a new run does: the frame cannot follow the segment's last.
        if (file_ != nullptr && (frame.run != row_.run || Behind(audio, decode) ||
                                 (sync && (sets != parameterSets_ || audioTrack_ != nextAudio_.audioConfig ||
                                           frame.wallTimeNs / segmentNs_ != boundary_)))) {
            End();
        }
        if (file_ == nullptr) {
            if (!sync || sets.empty()) {
                return Outcome::kDropped;
            }
            if (!Start(frame, sets)) {
                return Outcome::kFailed;
            }
        }
        if ((sync || decode >= fragmentStart_ + kFragmentSpan) && !Cut()) {
            return Fail();
        }
    }
    if (file_->fragmentEmpty()) {
        fragmentStart_ = decode;
        fragmentStartedAt_ = now;
    }
    // The file's decode times are the run's, so that the segments of a run
    // follow one another without a jump.
    const int32_t composition = (frame.timeFlags & kFrameDecodeTime) != 0 ? frame.compositionOffset : 0;
    if (!file_->AddFrame(audio, data, size, static_cast<int64_t>(decode), composition, frame.duration, sync)) {
        return Fail();
    }
    lastTime_[audio] = decode;
    if (!audio) {
        const int64_t shown = static_cast<int64_t>(frame.mediaTime) - row_.mediaStart;
        if (sync) {
            row_.syncTimes += (row_.syncTimes.empty() ? "" : ",") + std::to_string(TicksToMs(shown));
        }
        // The latest shown frame's start, not its end: the duration of a
        // run's last frame is an estimate, and after a stalled host a long
        // one. With B-frames the last frame in decode order is not the last
        // shown.
        row_.endNs = std::max(row_.endNs, frame.wallTimeNs);
        row_.mediaEnd = std::max<int64_t>(row_.mediaEnd, static_cast<int64_t>(frame.mediaTime + frame.duration));
    }
    return Outcome::kWritten;
}

bool CameraRecorder::Start(const MediaFrame& frame, const std::string& parameterSets)
{
    TrackSetup tracks = nextAudio_;
    tracks.video = frame.codec;
    tracks.width = frame.width;
    tracks.height = frame.height;
    tracks.parameterSets = parameterSets;
    const std::string directory = store_.root() + "/" + name_;
    if (!MakeDirectory(directory)) {
        return false;
    }
    if (const std::string other = CaseTwin(store_.root(), name_); !other.empty()) {
        error_ = "the directory of " + name_ + " is that of " + other +
                 " on this file system, which does not tell case apart; not recorded, give the cameras names that "
                 "differ otherwise";
        errorCode_ = EEXIST;
        return false;
    }
    const std::string comment = SegmentComment(frame.run, static_cast<int64_t>(frame.mediaTime));
    for (int attempt = 0; attempt < kNameAttempts && file_ == nullptr; ++attempt) {
        row_.name = SegmentName(name_, frame.wallTimeNs, attempt);
        store_.Claim(row_.name);
        file_ = Fmp4File::Create(store_.root() + "/" + row_.name, tracks, comment, error_, errorCode_);
        if (file_ == nullptr && errorCode_ != EEXIST) {
            return false;
        }
    }
    if (file_ == nullptr) {
        return false;
    }
    // The header and the file's name survive a power cut before the first
    // fragment does, or the row would name a file that is not there.
    const bool synced = file_->Sync();
    if (!synced || !SyncDirectory(directory)) {
        if (!synced) {
            error_ = file_->error();
            errorCode_ = file_->errorCode();
        }
        file_->Finish();
        file_.reset();
        return false;
    }
    ++segmentsStarted_;
    audioTrack_ = tracks.audio ? tracks.audioConfig : std::string();
    lastTime_[0] = lastTime_[1] = std::nullopt;
    parameterSets_ = parameterSets;
    boundary_ = frame.wallTimeNs / segmentNs_;
    row_.camera = name_;
    row_.startNs = row_.endNs = frame.wallTimeNs;
    row_.run = frame.run;
    row_.mediaStart = row_.mediaEnd = static_cast<int64_t>(frame.mediaTime);
    row_.decodeStart = static_cast<int64_t>(FrameDecodeTime(frame));
    row_.bytes = file_->bytes();
    row_.syncTimes.clear();
    cutRow_ = durableRow_ = row_;
    store_.Update(durableRow_, true);
    return true;
}

bool CameraRecorder::MakeDirectory(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) == 0) {
        return SyncDirectory(store_.root());
    }
    if (errno == EEXIST) {
        return true;
    }
    errorCode_ = errno;
    error_ = "cannot create " + path + ": " + std::strerror(errno);
    return false;
}

bool CameraRecorder::SyncDirectory(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && ::fsync(fd) == 0) {
        ::close(fd);
        return true;
    }
    errorCode_ = errno;
    error_ = "cannot sync " + path + ": " + std::strerror(errno);
    if (fd >= 0) {
        ::close(fd);
    }
    return false;
}

bool CameraRecorder::Cut()
{
    if (file_->fragmentEmpty()) {
        return true;
    }
    if (!file_->CutFragment()) {
        return false;
    }
    dirty_ = true;
    cutRow_ = row_;
    cutRow_.bytes = file_->bytes();
    return true;
}

bool CameraRecorder::Tick(Clock::time_point now)
{
    if (file_ == nullptr || file_->fragmentEmpty() ||
        now - fragmentStartedAt_ < std::chrono::milliseconds(1000 * kFragmentSpan / kMediaClockHz)) {
        return true;
    }
    if (!Cut()) {
        Fail();
        return false;
    }
    return true;
}

bool CameraRecorder::Sync()
{
    if (!dirty_ || file_ == nullptr) {
        return true;
    }
    dirty_ = false;
    if (!file_->Sync()) {
        Fail();
        return false;
    }
    durableRow_ = cutRow_;
    store_.Update(durableRow_, true);
    return true;
}

void CameraRecorder::End()
{
    const bool finished = file_->Finish() && file_->Sync();
    if (!finished) {
        error_ = file_->error();
        errorCode_ = file_->errorCode();
    }
    if (finished) {
        durableRow_ = row_;
        durableRow_.bytes = file_->bytes();
    }
    if (file_->deleted()) {
        store_.Forget(row_.name);
    } else {
        store_.Update(durableRow_, false);
    }
    file_.reset();
    dirty_ = false;
}

CameraRecorder::Outcome CameraRecorder::Fail()
{
    End();
    return Outcome::kFailed;
}

void CameraRecorder::Close()
{
    if (file_ != nullptr) {
        End();
    }
}

}  // namespace dvrexample
