#include "live_feed.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "leading_parameter_sets.h"

namespace dvrweb {

namespace {

// A track's description, filled by `describe`; null when out of memory.
template <typename Describe>
dvrexample::TrackParameters MakeParameters(Describe describe)
{
    dvrexample::TrackParameters parameters = dvrexample::NewTrackParameters();
    return parameters != nullptr && describe(*parameters) ? std::move(parameters) : nullptr;
}

}  // namespace

void LiveFeed::OnFrame(const dvrexample::MediaFrame& frame, std::shared_ptr<const void> block, const uint8_t* data,
                       std::size_t size, bool sync, bool audio, bool afterLoss)
{
    if (audio) {
        std::string config = dvrexample::AacConfig(frame);
        if (config.empty()) {
            return;  // only AAC goes into MP4 here, as in the recordings
        }
        audioConfig_ = std::move(config);
        sampleRate_ = frame.sampleRate;
        sync = false;
    }
    if (afterLoss) {
        waitingForSync_ = true;
        frames_.clear();
        frameBytes_ = 0;
        muxWaitsForSync_ = true;
    }
    if (waitingForSync_ && !sync) {
        return;
    }
    waitingForSync_ = false;
    const auto decode = static_cast<int64_t>(dvrexample::FrameDecodeTime(frame));
    if (frame.run != run_) {
        // A new run restarts media time; the stream's time goes on, by the
        // wall time that passed, so that its time 0 keeps its wall time.
        run_ = frame.run;
        const auto sinceEpoch = static_cast<int64_t>((static_cast<double>(frame.wallTimeNs) / 1e6 - epochMs_) * 90.0);
        runOffset_ = std::max(nextTime_, header_ != nullptr ? muxBase_ + sinceEpoch : 0) - decode;
    }
    // Frames come in decode order; with B-frames a picture is shown later
    // than it is decoded, by the composition offset.
    const int64_t shown = std::max(decode, static_cast<int64_t>(frame.mediaTime));
    const Frame kept{frame, std::move(block), data, size, sync, audio, decode + runOffset_, shown + runOffset_};
    nextTime_ = std::max(nextTime_, kept.time + std::max<uint32_t>(frame.duration, 1));
    if (sync && (mime_.empty() || frame.codec != codec_ || frame.width != width_ || frame.height != height_ ||
                 describedAudio_ != audioConfig_)) {
        describedAudio_ = audioConfig_;
        const Parameters video = VideoOf(kept);
        const Parameters sound = AudioOf();
        mime_ = video != nullptr ? MimeType(*video, sound.get()) : std::string();
        codec_ = frame.codec;
        width_ = frame.width;
        height_ = frame.height;
        Stop();  // the muxer starts again with this frame
    }
    if (sync) {
        frames_.clear();
        frameBytes_ = 0;
    }
    frameBytes_ += size;
    if (frameBytes_ > kMaxCachedBytes) {
        frames_.clear();  // a joining viewer waits for the next sync frame
    } else if (sync || !frames_.empty()) {
        frames_.push_back(kept);
    }
    if (Watched()) {
        Mux(kept);
    }
}

void LiveFeed::Mux(const Frame& kept)
{
    if (kept.sync && output_ == nullptr && !Start(kept)) {
        return;
    }
    if (output_ == nullptr || (muxWaitsForSync_ && !kept.sync)) {
        return;
    }
    if (kept.audio) {
        // Into the next video frame's fragment; a stream without a sound
        // track (it began before the sound did) drops it.
        if (kept.time > lastAudioTime_ && !describedAudio_.empty()) {
            lastAudioTime_ = kept.time;
            Write(kept, 1);
        }
        return;
    }
    muxWaitsForSync_ = false;
    if (!Write(kept, 0) || !output_->CutFragment()) {
        error_ = output_->error();
        Stop();
        return;
    }
    auto fragment = std::make_shared<LiveFragment>();
    fragment->bytes = output_->TakeBytes();
    fragment->sync = kept.sync;
    fragment->wallTimeNs = kept.frame.wallTimeNs;
    if (kept.sync) {
        groupOfPictures_.clear();
        cachedBytes_ = 0;
    }
    cachedBytes_ += fragment->bytes.size();
    if (cachedBytes_ <= kMaxCachedBytes) {
        groupOfPictures_.push_back(fragment);
    } else {
        groupOfPictures_.clear();  // a joining viewer waits for the next sync frame
    }
    for (const std::weak_ptr<LiveViewer>& weak : std::vector<std::weak_ptr<LiveViewer>>(viewers_)) {
        if (const std::shared_ptr<LiveViewer> viewer = weak.lock()) {
            viewer->OnFragment(fragment);
        }
    }
}

bool LiveFeed::Write(const Frame& kept, int stream)
{
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr || av_new_packet(packet, static_cast<int>(kept.size)) < 0) {
        av_packet_free(&packet);
        return false;
    }
    std::memcpy(packet->data, kept.data, kept.size);
    packet->stream_index = stream;
    packet->dts = kept.time - muxBase_;
    packet->pts = kept.shownTime - muxBase_;
    packet->duration = std::max<uint32_t>(kept.frame.duration, 1);
    packet->flags = kept.sync || kept.audio ? AV_PKT_FLAG_KEY : 0;
    const bool written = output_->Write(*packet);
    av_packet_free(&packet);
    return written;
}

LiveFeed::Parameters LiveFeed::VideoOf(const Frame& kept)
{
    const std::string sets = dvrexample::ParameterSets(kept.frame.codec, kept.data, kept.size);
    return MakeParameters([&](AVCodecParameters& p) {
        return dvrexample::DescribeVideo(p, kept.frame.codec, kept.frame.width, kept.frame.height, sets);
    });
}

LiveFeed::Parameters LiveFeed::AudioOf() const
{
    if (describedAudio_.empty()) {
        return nullptr;
    }
    return MakeParameters(
        [this](AVCodecParameters& p) { return dvrexample::DescribeAac(p, sampleRate_, describedAudio_); });
}

bool LiveFeed::Start(const Frame& kept)
{
    const Parameters video = VideoOf(kept);
    const Parameters sound = AudioOf();
    if (video == nullptr || (output_ = Mp4Output::Fragmented(*video, sound.get(), error_)) == nullptr) {
        return false;
    }
    // The muxer's time 0 is this frame's decode time: libavformat starts a
    // fragmented track there in any case, and the epoch must say so.
    muxBase_ = kept.time;
    lastAudioTime_ = muxBase_ - 1;  // no sound from before the picture
    auto header = std::make_shared<LiveFragment>();
    header->bytes = output_->TakeBytes();
    header_ = header;
    epochMs_ = static_cast<double>(kept.frame.wallTimeNs) / 1e6 - static_cast<double>(kept.shownTime - muxBase_) / 90.0;
    muxWaitsForSync_ = true;
    for (const std::weak_ptr<LiveViewer>& weak : std::vector<std::weak_ptr<LiveViewer>>(viewers_)) {
        if (const std::shared_ptr<LiveViewer> viewer = weak.lock()) {
            viewer->OnStart(mime_, epochMs_, header_);
        }
    }
    return true;
}

void LiveFeed::Stop()
{
    output_.reset();
    header_.reset();
    groupOfPictures_.clear();
    cachedBytes_ = 0;
    muxWaitsForSync_ = true;
}

bool LiveFeed::Watched()
{
    viewers_.erase(std::remove_if(viewers_.begin(), viewers_.end(),
                                  [](const std::weak_ptr<LiveViewer>& v) { return v.expired(); }),
                   viewers_.end());
    if (viewers_.empty() && output_ != nullptr) {
        Stop();
    }
    return !viewers_.empty();
}

void LiveFeed::Attach(const std::shared_ptr<LiveViewer>& viewer)
{
    viewers_.push_back(viewer);
    if (output_ == nullptr) {
        // The first viewer: the frames since the last sync frame, muxed now.
        for (const Frame& kept : frames_) {
            Mux(kept);
        }
        return;
    }
    viewer->OnStart(mime_, epochMs_, header_);
    for (const FragmentPtr& fragment : groupOfPictures_) {
        viewer->OnFragment(fragment);
    }
}

void LiveFeed::Detach(const LiveViewer* viewer)
{
    viewers_.erase(std::remove_if(viewers_.begin(), viewers_.end(),
                                  [viewer](const std::weak_ptr<LiveViewer>& v) {
                                      const std::shared_ptr<LiveViewer> held = v.lock();
                                      return held == nullptr || held.get() == viewer;
                                  }),
                   viewers_.end());
    Watched();
}

}  // namespace dvrweb
