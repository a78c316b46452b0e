#include "live_feed.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "leading_parameter_sets.h"

namespace dvrweb {

void LiveFeed::OnFrame(const dvrexample::MediaFrame& frame, const uint8_t* data, std::size_t size, bool sync,
                       bool afterLoss)
{
    if (afterLoss) {
        waitingForSync_ = true;
    }
    if (waitingForSync_ && !sync) {
        return;
    }
    if (frame.run != run_) {
        // A new run restarts media time; the stream's time goes on, by the
        // wall time that passed, so that its time 0 keeps its wall time.
        run_ = frame.run;
        const auto sinceEpoch = static_cast<int64_t>((static_cast<double>(frame.wallTimeNs) / 1e6 - epochMs_) * 90.0);
        runOffset_ = std::max(nextTime_, header_ != nullptr ? sinceEpoch : 0) - static_cast<int64_t>(frame.mediaTime);
    }
    const int64_t time = static_cast<int64_t>(frame.mediaTime) + runOffset_;
    if (sync && (output_ == nullptr || frame.codec != codec_ || frame.width != width_ || frame.height != height_)) {
        if (!Start(frame, data, size, frame.wallTimeNs / 1e6 - static_cast<double>(time) / 90.0)) {
            return;
        }
    }
    waitingForSync_ = false;
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr || av_new_packet(packet, static_cast<int>(size)) < 0) {
        av_packet_free(&packet);
        waitingForSync_ = true;
        return;
    }
    std::memcpy(packet->data, data, size);
    packet->pts = packet->dts = time;
    packet->duration = std::max<uint32_t>(frame.duration, 1);
    packet->flags = sync ? AV_PKT_FLAG_KEY : 0;
    nextTime_ = time + packet->duration;
    const bool written = output_->Write(*packet) && output_->CutFragment();
    av_packet_free(&packet);
    if (!written) {
        error_ = output_->error();
        Stop();
        return;
    }
    auto fragment = std::make_shared<LiveFragment>();
    fragment->bytes = output_->TakeBytes();
    fragment->sync = sync;
    fragment->wallTimeNs = frame.wallTimeNs;
    if (sync) {
        groupOfPictures_.clear();
        cachedBytes_ = 0;
    }
    cachedBytes_ += fragment->bytes.size();
    if (cachedBytes_ <= kMaxCachedBytes) {
        groupOfPictures_.push_back(fragment);
    } else {
        groupOfPictures_.clear();  // a joining viewer waits for the next sync frame
    }
    viewers_.erase(std::remove_if(viewers_.begin(), viewers_.end(),
                                  [](const std::weak_ptr<LiveViewer>& v) { return v.expired(); }),
                   viewers_.end());
    for (const std::weak_ptr<LiveViewer>& weak : std::vector<std::weak_ptr<LiveViewer>>(viewers_)) {
        if (const std::shared_ptr<LiveViewer> viewer = weak.lock()) {
            viewer->OnFragment(fragment);
        }
    }
}

bool LiveFeed::Start(const dvrexample::MediaFrame& frame, const uint8_t* data, std::size_t size, double epochMs)
{
    Stop();
    const std::string sets = dvrexample::ParameterSets(frame.codec, data, size);
    AVCodecParameters* video = avcodec_parameters_alloc();
    if (video == nullptr) {
        return false;
    }
    video->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codec_id = frame.codec == dvrexample::Codec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    video->codec_tag = frame.codec == dvrexample::Codec::kH265 ? MKTAG('h', 'v', 'c', '1') : MKTAG('a', 'v', 'c', '1');
    video->width = frame.width;
    video->height = frame.height;
    video->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (video->extradata != nullptr) {
        std::memcpy(video->extradata, sets.data(), sets.size());
        video->extradata_size = static_cast<int>(sets.size());
        output_ = Mp4Output::Fragmented(*video, error_);
        mime_ = MimeType(*video);
    }
    avcodec_parameters_free(&video);
    if (output_ == nullptr) {
        return false;
    }
    codec_ = frame.codec;
    width_ = frame.width;
    height_ = frame.height;
    auto header = std::make_shared<LiveFragment>();
    header->bytes = output_->TakeBytes();
    header_ = header;
    epochMs_ = epochMs;
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
    waitingForSync_ = true;
}

void LiveFeed::Attach(const std::shared_ptr<LiveViewer>& viewer)
{
    viewers_.push_back(viewer);
    if (header_ == nullptr) {
        return;  // OnStart comes with the next sync frame
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
}

}  // namespace dvrweb
