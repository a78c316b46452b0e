// Recorder: writes every camera's frames (camera_stream.h) into segments of
// fragmented MP4 and keeps the recordings index and the byte budget
// (docs/recording.md), on the worker thread that the core provides.
//
// Write, on the core's dispatcher thread, only queues the frame and answers
// keep, so the dispatcher never waits for the disk; the worker writes the
// frame and then gives its block back with EVT_RELEASE_BLOCK. While the queue
// holds more than kQueueLimit bytes the recorder keeps nothing new, and a
// camera whose video was dropped waits for its next sync frame, since the
// frames after a gap cannot be decoded without it. Durability, retention
// and the index run on the worker's clock, never only when the queue is
// empty: a disk slower than the cameras keeps the queue full for good. Once
// a second the worker makes the fragments that all cameras cut durable in
// one batch, one fdatasync per file, so that several cameras share one
// flush of the flash. At Close the worker writes what is still queued, ends
// every segment and returns; Close waits for it, so that its summary is
// logged while the log sink is still open.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include <sys/statvfs.h>

#include "archive_check.h"
#include "camera_recorder.h"
#include "camera_stream.h"
#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "log_message.h"
#include "recorder_events.h"
#include "recording_settings.h"
#include "recordings_layout.h"
#include "recordings_store.h"

namespace {

using dvrexample::CameraRecorder;
using dvrexample::kMaxCameras;
using dvrexample::MediaFrame;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRecorderId = 0x00420000;
constexpr std::size_t kQueueLimit = 32 * 1024 * 1024;
constexpr int64_t kNsPerSecond = 1000000000;
constexpr uint64_t kMiB = 1024 * 1024;

struct QueuedFrame {
    void* block;  // the core's payload block, kept until written
    uint32_t size;
    bool audio;
    bool sync;
    MediaFrame frame;
};

// The low-water mark in bytes: as set, or 5 % of the file system.
uint64_t LowWaterBytes(const std::string& root, std::optional<uint64_t> setMb)
{
    if (setMb) {
        return *setMb * kMiB;
    }
    struct statvfs fs {};
    const uint64_t size = ::statvfs(root.c_str(), &fs) == 0 ? static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize : 0;
    return size / 20 / kMiB * kMiB;
}

class Recorder {
public:
    // Dispatcher thread. True when the frame is queued and its block kept.
    bool Take(const WriteParms& parms, const dvrexample::CoreLink& link)
    {
        if ((parms.eventType & dvrexample::kCameraStateType) != 0 &&
            (parms.flags & dvrexample::kCameraStateFlag) != 0) {
            TakeState(parms, link);
            return false;
        }
        const bool video = (parms.eventType & EVT_VIDEO) != 0;
        const MediaFrame frame = dvrexample::LoadMediaFrame(parms);
        if ((parms.flags & FLAG_FRAME) == 0 || parms.data == nullptr || parms.dataSize == 0 ||
            frame.channel >= kMaxCameras) {
            return false;
        }
        const bool sync = video && parms.syncFrame == 1;
        bool& waitingForSync = waitingForSync_[frame.channel];
        if (sync) {
            waitingForSync = false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (queuedBytes_ + parms.dataSize > kQueueLimit || (video && waitingForSync)) {
            waitingForSync = waitingForSync || video;
            ++counters_.framesDropped;
            ++cameraCounters_[frame.channel].framesDropped;
            return false;
        }
        queue_.push_back({parms.data, parms.dataSize, !video, sync, frame});
        queuedBytes_ += parms.dataSize;
        wake_.notify_one();
        return true;
    }

    // Main thread; no Write follows. Returns once the worker has written
    // what was queued.
    void Close()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        closing_ = true;
        wake_.notify_one();
        finished_.wait(lock, [this] { return !running_; });
    }

    // Worker thread: until Close, and then until the queue is empty.
    void Run(const dvrexample::CoreLink& link)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = true;
        }
        const dvrexample::RecordingSettings settings = dvrexample::ReadRecordingSettings();
        for (const std::string& problem : settings.problems) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_WARNING, "%s", problem.c_str());
        }
        const std::string& root = settings.root;
        store_ = std::make_unique<dvrexample::RecordingsStore>(
            root,
            dvrexample::RetentionLimits{settings.cameraQuotaMb * kMiB, LowWaterBytes(root, settings.diskLowWaterMb)});
        segmentNs_ = static_cast<int64_t>(settings.segmentSeconds) * kNsPerSecond;
        reserveSeconds_ = settings.diskReserveMinutes * 60;
        LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO, "recordings in %s: %s", root.c_str(), store_->Open().c_str());
        // Closed segments are trusted; the rest of the archive is compared
        // with the index while recording goes on.
        dvrexample::ArchiveCheck check(*store_, [&link](const std::string& line) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO, "%s", line.c_str());
        });
        check.Start();
        Clock::time_point nextTick = Clock::now() + kTick;
        nextSync_ = Clock::now() + kSyncInterval;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait_until(lock, nextTick, [this] { return !queue_.empty() || closing_; });
            ApplyNames();
            // Frames until the tick is due, never longer: under back-pressure
            // the queue does not empty.
            while (!queue_.empty() && Clock::now() < nextTick) {
                const QueuedFrame frame = queue_.front();
                queue_.pop_front();
                lock.unlock();
                Record(link, frame);
                link.ReleaseBlock(frame.block);
                lock.lock();
                queuedBytes_ -= frame.size;
            }
            lock.unlock();
            const Clock::time_point now = Clock::now();
            if (now >= nextTick) {
                nextTick = now + kTick;
                Maintain(link, now);
            }
            lock.lock();
            if (closing_ && queue_.empty()) {
                break;
            }
        }
        lock.unlock();
        check.Stop();
        cameras_.clear();  // ends every segment
        store_->Flush(true);
        const dvrexample::RecorderCounters totals = Counters();
        LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO,
                   "%llu frames recorded, %llu bytes written, %u frames dropped, %u write errors",
                   static_cast<unsigned long long>(totals.framesRecorded),
                   static_cast<unsigned long long>(totals.bytesWritten), totals.framesDropped, totals.writeErrors);
        lock.lock();
        running_ = false;
        finished_.notify_all();
    }

private:
    static constexpr Clock::duration kTick = std::chrono::milliseconds(250);
    static constexpr Clock::duration kSyncInterval = std::chrono::seconds(1);

    // Dispatcher thread.
    void TakeState(const WriteParms& parms, const dvrexample::CoreLink& link)
    {
        dvrexample::CameraState state;
        if (parms.data == nullptr || parms.dataSize < sizeof state) {
            return;
        }
        std::memcpy(&state, parms.data, sizeof state);
        state.name[sizeof state.name - 1] = '\0';
        if (state.channel >= kMaxCameras) {
            return;
        }
        const std::string problem = dvrexample::CameraNameProblem(state.name);
        if (!problem.empty()) {
            if (refusedNames_[state.channel] != state.name) {
                refusedNames_[state.channel] = state.name;
                LogMessage(link.id(), link.fn(), LOG_LEVEL_WARNING,
                           "camera %u: name refused, %s; its segments keep the name they had", state.channel,
                           problem.c_str());
            }
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (names_[state.channel] != state.name) {
            names_[state.channel] = state.name;
            namesChanged_ = true;
        }
    }

    // Worker thread, with the lock.
    void ApplyNames()
    {
        if (!namesChanged_) {
            return;
        }
        namesChanged_ = false;
        for (auto& [channel, camera] : cameras_) {
            if (!names_[channel].empty()) {
                camera->SetName(names_[channel]);
            }
        }
    }

    // Worker thread, without the lock.
    void Record(const dvrexample::CoreLink& link, const QueuedFrame& queued)
    {
        CameraRecorder::Outcome outcome = CameraRecorder::Outcome::kFailed;
        const uint32_t channel = queued.frame.channel;
        try {
            std::unique_ptr<CameraRecorder>& camera = cameras_[channel];
            if (!camera) {
                camera = std::make_unique<CameraRecorder>(*store_, channel, segmentNs_);
                std::lock_guard<std::mutex> lock(mutex_);
                if (!names_[channel].empty()) {
                    camera->SetName(names_[channel]);
                }
            }
            outcome = camera->Add(queued.frame, queued.audio, queued.sync, static_cast<const uint8_t*>(queued.block),
                                  queued.size, Clock::now());
        } catch (const std::bad_alloc&) {
            // No memory for the camera's bookkeeping: the frame is lost,
            // but not its block.
        }
        if (outcome == CameraRecorder::Outcome::kFailed) {
            CountError(link, channel);
        } else if (outcome == CameraRecorder::Outcome::kWritten) {
            Recovered(link, channel);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        dvrexample::RecorderCameraCounters& camera = cameraCounters_[channel];
        camera.channel = channel;
        if (outcome == CameraRecorder::Outcome::kWritten) {
            ++counters_.framesRecorded;
            counters_.bytesWritten += queued.size;
            ++camera.framesRecorded;
            camera.bytesWritten += queued.size;
        } else if (outcome != CameraRecorder::Outcome::kSkipped) {
            ++counters_.framesDropped;
            ++camera.framesDropped;
        }
    }

    // Worker thread, without the lock: fragments that waited long enough,
    // the durability batch, retention, the index batch, the counters.
    void Maintain(const dvrexample::CoreLink& link, Clock::time_point now)
    {
        for (auto& [channel, camera] : cameras_) {
            if (!camera->Tick(now)) {
                CountError(link, channel);
            }
        }
        if (now >= nextSync_) {
            nextSync_ = now + kSyncInterval;
            SyncAll(link);
        }
        Retain(link, false);
        if (!store_->Flush(false)) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_WARNING, "index not updated: %s", store_->error().c_str());
        }
        if (now >= nextReport_) {
            nextReport_ = now + std::chrono::seconds(1);
            MeasureBitrate(Counters().bytesWritten);
            PublishCounters(link);
        }
    }

    void Retain(const dvrexample::CoreLink& link, bool diskFull)
    {
        if (const unsigned deleted = store_->Enforce(diskFull)) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO, "retention deleted %u oldest segments", deleted);
        }
        for (const std::string& notice : store_->TakeNotices()) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_WARNING, "%s", notice.c_str());
        }
    }

    // Worker thread, once a second: the free space to keep for the cameras'
    // bitrate, measured over the last second; it follows a rise at once and
    // a fall over about a minute, so the reserve is ahead of a burst.
    void MeasureBitrate(uint64_t bytesWritten)
    {
        const double second = static_cast<double>(bytesWritten - lastBytesWritten_);
        lastBytesWritten_ = bytesWritten;
        bytesPerSecond_ = std::max(second, bytesPerSecond_ + (second - bytesPerSecond_) / 60);
        store_->SetReserve(static_cast<uint64_t>(bytesPerSecond_ * static_cast<double>(reserveSeconds_)));
    }

    void SyncAll(const dvrexample::CoreLink& link)
    {
        for (auto& [channel, camera] : cameras_) {
            if (!camera->Sync()) {
                CountError(link, channel);
            }
        }
    }

    // Worker thread, without the lock. Logs only the first failure of a run
    // of failures, so that a full disk does not flood the log: the run ends
    // with a frame written, not with frames dropped while the camera waits
    // for its next sync frame.
    void CountError(const dvrexample::CoreLink& link, uint32_t channel)
    {
        const auto camera = cameras_.find(channel);
        const bool known = camera != cameras_.end() && camera->second;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++counters_.writeErrors;
            dvrexample::RecorderCameraCounters& counters = cameraCounters_[channel];
            ++counters.writeErrors;
            // A muxer's failure has no errno of its own: an I/O error then.
            const int code = known ? camera->second->errorCode() : ENOMEM;
            counters.writeErrno = static_cast<uint32_t>(code != 0 ? code : EIO);
        }
        if (!failing_[channel]) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_ERROR, "camera %u: %s", channel,
                       known ? camera->second->error().c_str() : "out of memory");
        }
        failing_[channel] = true;
        if (known && camera->second->diskFull()) {
            // Room for the next segment, now rather than at the next tick.
            Retain(link, true);
        }
    }

    // Worker thread, without the lock: the end of a run of failures.
    void Recovered(const dvrexample::CoreLink& link, uint32_t channel)
    {
        if (!failing_[channel]) {
            return;
        }
        failing_[channel] = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cameraCounters_[channel].writeErrno = 0;
        }
        LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO, "camera %u: writing again", channel);
    }

    dvrexample::RecorderCounters Counters()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return counters_;
    }

    // Raises the counters for the bridge, the totals and those of each
    // camera; called without the lock.
    void PublishCounters(const dvrexample::CoreLink& link)
    {
        dvrexample::RecorderCounters counters = Counters();
        for (const auto& [channel, camera] : cameras_) {
            dvrexample::RecorderCameraCounters perCamera;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                perCamera = cameraCounters_[channel];
            }
            perCamera.channel = channel;
            perCamera.segmentsStarted = static_cast<uint32_t>(camera->segmentsStarted());
            counters.segmentsStarted += perCamera.segmentsStarted;
            _EventParmsIn in =
                link.Event(dvrexample::kCountersType, dvrexample::kRecorderCameraFlag, &perCamera, sizeof perCamera);
            link.Raise(in);
        }
        _EventParmsIn in =
            link.Event(dvrexample::kCountersType, dvrexample::kRecorderCountersFlag, &counters, sizeof counters);
        link.Raise(in);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;                                                 // the worker has returned
    std::deque<QueuedFrame> queue_;                                                    // guarded by mutex_
    std::size_t queuedBytes_ = 0;                                                      // guarded by mutex_
    bool closing_ = false;                                                             // guarded by mutex_
    bool running_ = false;                                                             // guarded by mutex_
    dvrexample::RecorderCounters counters_ = {};                                       // guarded by mutex_
    std::array<dvrexample::RecorderCameraCounters, kMaxCameras> cameraCounters_ = {};  // guarded by mutex_
    std::array<std::string, kMaxCameras> names_;                                       // guarded by mutex_
    bool namesChanged_ = false;                                                        // guarded by mutex_

    // Dispatcher thread only.
    std::array<bool, kMaxCameras> waitingForSync_ = {};
    std::array<std::string, kMaxCameras> refusedNames_;  // logged once each

    // Worker thread only.
    std::unique_ptr<dvrexample::RecordingsStore> store_;
    std::map<uint32_t, std::unique_ptr<CameraRecorder>> cameras_;
    std::array<bool, kMaxCameras> failing_ = {};  // the camera's last write failed
    int64_t segmentNs_ = 0;
    Clock::time_point nextReport_{};
    uint64_t reserveSeconds_ = 0;
    uint64_t lastBytesWritten_ = 0;
    double bytesPerSecond_ = 0;  // smoothed
    Clock::time_point nextSync_{};
};

dvrexample::CoreLink link;
Recorder recorder;

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    link.Attach(parms->eventCallback, kRecorderId);
    result->id = kRecorderId;
    result->workerFlag = 1;
    result->writerFlag = 1;
    dvrexample::Subscribe(*result, EVT_VIDEO, dvrexample::DispatchMatch(FLAG_FRAME));
    dvrexample::Subscribe(*result, EVT_AUDIO, dvrexample::DispatchMatch(FLAG_FRAME));
    dvrexample::Subscribe(*result, dvrexample::kCameraStateType,
                          dvrexample::DispatchMatch(dvrexample::kCameraStateFlag));
    // Close right after the camera: the worker then drains what is queued.
    dvrexample::SetCloseRank(*result, 0xE0000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

int32_t Write(void* in, void* out)
{
    return dvrexample::Guarded([in, out] {
        static_cast<WriteResult*>(out)->keep = recorder.Take(*static_cast<WriteParms*>(in), link) ? 1 : 0;
        return 0;
    });
}

int32_t Close(void*, void*)
{
    return dvrexample::Guarded([] {
        recorder.Close();
        return 0;
    });
}

int32_t IOCTL(void* in, void*)
{
    return dvrexample::Guarded([in] {
        if (static_cast<IoctlParms*>(in)->command == IOCTL_WORKER_THREAD) {
            recorder.Run(link);
        }
        return 0;
    });
}

}  // extern "C"
