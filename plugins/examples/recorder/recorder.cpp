// Recorder: keeps every media frame it is given and writes it to rotating
// segment files (segment_format.h) on the worker thread that the core
// provides.
//
// Write, on the core's dispatcher thread, only queues the frame and answers
// keep, so the dispatcher never waits for the disk; the worker writes the
// frame and then gives its block back with EVT_RELEASE_BLOCK. While the queue
// holds more than kQueueLimit bytes the recorder keeps nothing new, and a
// channel whose video was dropped waits for its next sync frame, since the
// frames after a gap cannot be decoded without it. At Close the worker writes
// what is still queued, releases the last blocks and returns.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "example_events.h"
#include "log_message.h"
#include "media_frame.h"
#include "segment_writer.h"

namespace {

using dvrexample::FrameKind;
using dvrexample::SegmentRecord;
using dvrexample::SegmentWriter;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRecorderId = 0x00420000;
constexpr std::size_t kQueueLimit = 32 * 1024 * 1024;
constexpr uint32_t kMaxChannels = 100;  // two digits in the directory name

struct QueuedFrame {
    void* block;  // the core's payload block, kept until written
    SegmentRecord record;
};

class Recorder {
public:
    // Dispatcher thread. True when the frame is queued and its block kept.
    bool Take(const WriteParms& parms)
    {
        const bool video = (parms.eventType & EVT_VIDEO) != 0;
        const dvrexample::FrameInfo info = dvrexample::LoadFrameInfo(parms);
        if ((parms.flags & FLAG_FRAME) == 0 || parms.data == nullptr || parms.dataSize == 0 ||
            info.channel >= kMaxChannels) {
            return false;
        }
        const bool sync = video && parms.syncFrame == 1;
        bool& waitingForSync = waitingForSync_[info.channel];
        if (sync) {
            waitingForSync = false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (queuedBytes_ + parms.dataSize > kQueueLimit || (video && waitingForSync)) {
            waitingForSync = waitingForSync || video;
            ++counters_.framesDropped;
            return false;
        }
        const SegmentRecord record{dvrexample::kRecordMagic,
                                   video ? FrameKind::kVideo : FrameKind::kAudio,
                                   info.channel,
                                   info.sequence,
                                   parms.dataSize,
                                   sync ? 1u : 0u,
                                   info.captureTimeNs};
        queue_.push_back({parms.data, record});
        queuedBytes_ += parms.dataSize;
        wake_.notify_one();
        return true;
    }

    // Dispatcher thread; no Write follows.
    void Close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        wake_.notify_one();
    }

    // Worker thread: until Close, and then until the queue is empty.
    void Run(const dvrexample::CoreLink& link)
    {
        Clock::time_point nextReport = Clock::now() + kReportInterval;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait_until(lock, nextReport, [this] { return !queue_.empty() || closing_; });
            if (!queue_.empty()) {
                const QueuedFrame frame = queue_.front();
                queue_.pop_front();
                lock.unlock();
                try {
                    Record(link, frame);
                } catch (const std::bad_alloc&) {
                    // No memory for the channel's bookkeeping: the frame is
                    // lost, but not its block.
                    std::lock_guard<std::mutex> countLock(mutex_);
                    ++counters_.framesDropped;
                }
                link.ReleaseBlock(frame.block);
                lock.lock();
                queuedBytes_ -= frame.record.size;
            } else if (closing_) {
                break;
            }
            if (Clock::now() >= nextReport) {
                PublishCounters(link, lock);
                nextReport += kReportInterval;
            }
        }
        lock.unlock();
        for (auto& [channel, writer] : writers_) {
            if (!writer->Finish()) {
                CountError(link, channel, *writer);
            }
        }
        writers_.clear();
        const dvrexample::RecorderCounters totals = Counters();
        LogMessage(link.id(), link.fn(), LOG_LEVEL_INFO,
                   "%llu frames recorded, %llu bytes written, %u frames dropped, %u write errors",
                   static_cast<unsigned long long>(totals.framesRecorded),
                   static_cast<unsigned long long>(totals.bytesWritten), totals.framesDropped, totals.writeErrors);
    }

private:
    static constexpr Clock::duration kReportInterval = std::chrono::seconds(1);

    // Worker thread, without the lock.
    void Record(const dvrexample::CoreLink& link, const QueuedFrame& frame)
    {
        std::unique_ptr<SegmentWriter>& writer = writers_[frame.record.channel];
        if (!writer) {
            writer = std::make_unique<SegmentWriter>(frame.record.channel);
        }
        const SegmentWriter::Outcome outcome = writer->Append(frame.record, frame.block);
        if (outcome == SegmentWriter::Outcome::kFailed) {
            CountError(link, frame.record.channel, *writer);
            return;
        }
        failing_ = false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (outcome == SegmentWriter::Outcome::kWritten) {
            ++counters_.framesRecorded;
            counters_.bytesWritten += frame.record.size;
        } else {
            ++counters_.framesDropped;
        }
    }

    // Worker thread, without the lock. Logs only the first failure of a run
    // of failures, so that a full disk does not flood the log.
    void CountError(const dvrexample::CoreLink& link, uint32_t channel, const SegmentWriter& writer)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++counters_.writeErrors;
        }
        if (!failing_) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_ERROR, "channel %u: %s", channel, writer.error().c_str());
        }
        failing_ = true;
    }

    dvrexample::RecorderCounters Counters()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return counters_;
    }

    // Raises the counters for the bridge; called with `lock` held, raises
    // without it.
    void PublishCounters(const dvrexample::CoreLink& link, std::unique_lock<std::mutex>& lock)
    {
        const dvrexample::RecorderCounters counters = counters_;
        lock.unlock();
        _EventParmsIn in =
            link.Event(dvrexample::kCountersType, dvrexample::kRecorderCountersFlag, &counters, sizeof counters);
        link.Raise(in);
        lock.lock();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<QueuedFrame> queue_;               // guarded by mutex_
    std::size_t queuedBytes_ = 0;                 // guarded by mutex_
    bool closing_ = false;                        // guarded by mutex_
    dvrexample::RecorderCounters counters_ = {};  // guarded by mutex_

    std::array<bool, kMaxChannels> waitingForSync_ = {};  // dispatcher thread only

    // Worker thread only.
    std::map<uint32_t, std::unique_ptr<SegmentWriter>> writers_;
    bool failing_ = false;  // the last write failed
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
    // Close right after the camera: the worker then drains what is queued.
    dvrexample::SetCloseRank(*result, 0xE0000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

int32_t Write(void* in, void* out)
{
    return dvrexample::Guarded([in, out] {
        static_cast<WriteResult*>(out)->keep = recorder.Take(*static_cast<WriteParms*>(in)) ? 1 : 0;
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
