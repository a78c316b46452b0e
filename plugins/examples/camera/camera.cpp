// Camera simulator: raises the video and audio frames of kChannels channels at
// their real rates, on the worker thread that the core provides.
//
// Frames flow from Open to Close. A refused video frame (no sync frame yet,
// run too long, or the core throttling for lack of memory) breaks the
// channel's run, so its next video frame is a sync frame that starts a new
// one. Refused audio frames are simply lost.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "log_message.h"
#include "media_frame.h"

namespace {

using dvrexample::kCameraId;
using Clock = std::chrono::steady_clock;

// One channel's video or audio.
struct Stream {
    uint32_t channel;
    bool audio;
    Clock::duration period;
    Clock::time_point due;
    uint32_t sequence = 0;
    uint32_t sinceSync = 0;  // video frames admitted since the last sync frame
    bool restart = true;     // the next video frame must be a sync frame
};

class Camera {
public:
    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = true;
        wake_.notify_all();
    }

    void Close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        wake_.notify_all();
    }

    // Worker thread: from Open until Close.
    void Run(const dvrexample::CoreLink& link)
    {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return opened_ || closed_; });
        }
        frame_.resize(dvrexample::kMaxVideoFrameBytes);
        std::vector<Stream> streams;
        const Clock::time_point start = Clock::now();
        const Clock::duration second = std::chrono::seconds(1);
        for (uint32_t channel = 0; channel < dvrexample::kChannels; ++channel) {
            streams.push_back({channel, false, second / dvrexample::kVideoFramesPerSecond, start});
            streams.push_back({channel, true, second / dvrexample::kAudioFramesPerSecond, start});
        }
        for (;;) {
            Stream* next = &streams.front();
            for (Stream& stream : streams) {
                if (stream.due < next->due) {
                    next = &stream;
                }
            }
            if (!SleepUntil(next->due)) {
                break;
            }
            RaiseFrame(link, *next);
            next->due += next->period;
            // Far behind (a stalled machine): skip the missed frames rather
            // than raise them in a burst.
            const Clock::time_point now = Clock::now();
            if (next->due < now - std::chrono::seconds(1)) {
                next->due = now;
            }
        }
        LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO, "%u frames raised, %u refused", raised_, refused_);
    }

private:
    // False once closed.
    bool SleepUntil(Clock::time_point due)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, due, [this] { return closed_; });
        return !closed_;
    }

    void RaiseFrame(const dvrexample::CoreLink& link, Stream& stream)
    {
        const bool sync = !stream.audio && (stream.restart || stream.sinceSync >= dvrexample::kSyncInterval);
        const uint32_t size = stream.audio ? dvrexample::kAudioFrameBytes
                                           : dvrexample::VideoFrameBytes(stream.channel, stream.sequence, sync);
        dvrexample::FillFrame(frame_.data(), size, stream.channel, stream.sequence, stream.audio);

        _EventParmsIn in = link.Event(stream.audio ? EVT_AUDIO : EVT_VIDEO, FLAG_FRAME, frame_.data(), size);
        in.providerID = kCameraId + stream.channel;
        in.syncFrame = sync ? 1 : 0;
        const auto captured = std::chrono::duration_cast<std::chrono::nanoseconds>(stream.due.time_since_epoch());
        dvrexample::StoreFrameInfo(in, {static_cast<uint64_t>(captured.count()), stream.channel, stream.sequence});
        const int result = link.Raise(in);
        ++stream.sequence;

        if (result == RESULT_OK) {
            ++raised_;
            if (!stream.audio) {
                stream.sinceSync = sync ? 1 : stream.sinceSync + 1;
                stream.restart = false;
            }
            return;
        }
        ++refused_;
        const bool runBroken =
            result == RESULT_NO_SYNC_FRAME || result == RESULT_FRAME_LIMIT || result == RESULT_THROTTLED;
        if (!stream.audio && runBroken && !stream.restart) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO,
                       "channel %u: video refused (%d), restarting at the next sync frame", stream.channel, result);
            stream.restart = true;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool opened_ = false;  // guarded by mutex_
    bool closed_ = false;  // guarded by mutex_

    // Worker thread only.
    std::vector<uint8_t> frame_;
    unsigned raised_ = 0;
    unsigned refused_ = 0;
};

dvrexample::CoreLink link;
Camera camera;

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    link.Attach(parms->eventCallback, kCameraId);
    result->id = kCameraId;
    result->workerFlag = 1;
    // Close first: nothing is raised while the others wind down.
    dvrexample::SetCloseRank(*result, 0xF0000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

int32_t Open(void*, void*)
{
    return dvrexample::Guarded([] {
        camera.Open();
        return 0;
    });
}

int32_t Close(void*, void*)
{
    return dvrexample::Guarded([] {
        camera.Close();
        return 0;
    });
}

int32_t IOCTL(void* in, void*)
{
    return dvrexample::Guarded([in] {
        if (static_cast<IoctlParms*>(in)->command == IOCTL_WORKER_THREAD) {
            camera.Run(link);
        }
        return 0;
    });
}

}  // extern "C"
