#include "camera_recorder.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>

#include "parameter_sets.h"
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
            frame.mediaTime < static_cast<uint64_t>(row_.mediaStart)) {
            return Outcome::kSkipped;
        }
        if (Behind(audio, frame.mediaTime)) {
            return Outcome::kDropped;
        }
    } else {
        std::string sets;
        if (sync) {
            sets = ParameterSets(frame.codec, data, size);
        }
        if (file_ != nullptr &&
            (frame.run != row_.run || (sync && (sets != parameterSets_ || audioTrack_ != nextAudio_.audioConfig ||
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
        if (Behind(audio, frame.mediaTime)) {
            return Outcome::kDropped;
        }
        if ((sync || frame.mediaTime >= fragmentStart_ + kFragmentSpan) && !Cut()) {
            return Fail();
        }
    }
    if (file_->fragmentEmpty()) {
        fragmentStart_ = frame.mediaTime;
        fragmentStartedAt_ = now;
    }
    const int64_t time = static_cast<int64_t>(frame.mediaTime) - row_.mediaStart;
    if (!file_->AddFrame(audio, data, size, time, frame.duration, sync)) {
        return Fail();
    }
    lastTime_[audio] = frame.mediaTime;
    if (!audio) {
        if (sync) {
            row_.syncTimes += (row_.syncTimes.empty() ? "" : ",") + std::to_string(time * 1000 / kMediaClockHz);
        }
        row_.endNs = frame.wallTimeNs + static_cast<int64_t>(frame.duration) * 1000000000 / kMediaClockHz;
        row_.mediaEnd = static_cast<int64_t>(frame.mediaTime + frame.duration);
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
    ::mkdir((store_.root() + "/" + name_).c_str(), 0755);
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
        file_ = Fmp4File::Create(store_.root() + "/" + row_.name, tracks, comment, error_, errorCode_);
        if (file_ == nullptr && errorCode_ != EEXIST) {
            return false;
        }
    }
    if (file_ == nullptr) {
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
    row_.bytes = file_->bytes();
    row_.syncTimes.clear();
    store_.Update(row_, true);
    return true;
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
    row_.bytes = file_->bytes();
    store_.Update(row_, true);
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
    return true;
}

void CameraRecorder::End()
{
    const bool finished = file_->Finish() && file_->Sync();
    if (!finished) {
        error_ = file_->error();
        errorCode_ = file_->errorCode();
    }
    row_.bytes = file_->bytes();
    if (file_->deleted()) {
        store_.Forget(row_.name);
    } else {
        store_.Update(row_, false);
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
