#include "segment_remuxer.h"

#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
}

namespace dvrweb {

namespace {

constexpr AVRational kMediaTimeBase{1, 90000};
constexpr AVRational kNanoseconds{1, 1000000000};

bool SamePicture(const AVCodecParameters& a, const AVCodecParameters& b)
{
    return a.codec_id == b.codec_id && a.width == b.width && a.height == b.height;
}

bool SameSound(const AVCodecParameters& a, const AVCodecParameters& b)
{
    return a.codec_id == b.codec_id && a.sample_rate == b.sample_rate && a.extradata_size == b.extradata_size &&
           (a.extradata_size == 0 || std::equal(a.extradata, a.extradata + a.extradata_size, b.extradata));
}

}  // namespace

SegmentRemuxer::SegmentRemuxer(std::vector<SegmentFile> files, int64_t startNs, int64_t endNs)
    : files_(std::move(files)), startNs_(startNs), endNs_(endNs)
{
}

SegmentRemuxer::~SegmentRemuxer()
{
    CloseFile();
}

const AVCodecParameters& SegmentRemuxer::video() const
{
    return *first_;
}

bool SegmentRemuxer::Open()
{
    if (files_.empty()) {
        return Fail("nothing recorded there");
    }
    if (!OpenFile(0)) {
        return false;
    }
    first_ = dvrexample::CopyTrackParameters(*input_->streams[videoIndex_]->codecpar);
    if (audioIndex_ >= 0) {
        firstAudio_ = dvrexample::CopyTrackParameters(*input_->streams[audioIndex_]->codecpar);
    }
    if (first_ == nullptr || (audioIndex_ >= 0 && firstAudio_ == nullptr)) {
        return Fail("out of memory");
    }
    // The sync frame shown at or before the start. Seeking goes by decode
    // time, and a sync frame is shown some frames after it is decoded, so the
    // one a seek finds may be shown after the start: then seek again, earlier
    // by its delay, until one is shown in time or the file has none earlier.
    const AVStream* stream = input_->streams[videoIndex_];
    const int64_t intoFile = std::max<int64_t>(startNs_ - files_[0].startNs, 0);
    const int64_t target = fileFirstDts_ + av_rescale_q(intoFile, kNanoseconds, stream->time_base);
    SyncFrame found;
    for (int64_t seekTo = target, tries = 0; tries < 8; ++tries) {
        if (av_seek_frame(input_, videoIndex_, seekTo, AVSEEK_FLAG_BACKWARD) < 0 && found.read) {
            break;
        }
        const SyncFrame next = ReadSyncFrame();
        if (!next.read || (found.read && next.dts >= found.dts)) {
            break;
        }
        found = next;
        if (found.pts <= target) {
            break;
        }
        seekTo = std::min(target - (found.pts - found.dts), found.dts - 1);
    }
    if (!found.read) {
        return Fail("no sync frame in " + files_[0].path);
    }
    firstFrameNs_ = files_[0].startNs + av_rescale_q(found.pts - fileFirstDts_, stream->time_base, kNanoseconds);
    // The stream's time 0 is the sync frame's decode time.
    firstFrameTime_ = static_cast<double>(found.pts - found.dts) * av_q2d(stream->time_base);
    // Read it again as the stream's first frame.
    av_seek_frame(input_, videoIndex_, found.dts, AVSEEK_FLAG_BACKWARD);
    return true;
}

SegmentRemuxer::SyncFrame SegmentRemuxer::ReadSyncFrame()
{
    SyncFrame frame;
    AVPacket* packet = av_packet_alloc();
    while (packet != nullptr && !frame.read && av_read_frame(input_, packet) >= 0) {
        if (packet->stream_index == videoIndex_ && (packet->flags & AV_PKT_FLAG_KEY) != 0 &&
            packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE) {
            frame = {true, packet->pts, packet->dts};
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return frame;
}

bool SegmentRemuxer::OpenFile(std::size_t index)
{
    CloseFile();
    current_ = index;
    const std::string& path = files_[index].path;
    if (avformat_open_input(&input_, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input_, nullptr) < 0) {
        return Fail("cannot read " + path);
    }
    videoIndex_ = av_find_best_stream(input_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoIndex_ < 0) {
        return Fail("no video in " + path);
    }
    // The sound goes along while it is the first file's.
    audioIndex_ = av_find_best_stream(input_, AVMEDIA_TYPE_AUDIO, -1, videoIndex_, nullptr, 0);
    if (audioIndex_ >= 0 && (input_->streams[audioIndex_]->codecpar->codec_id != AV_CODEC_ID_AAC ||
                             (first_ != nullptr && (firstAudio_ == nullptr ||
                                                    !SameSound(*input_->streams[audioIndex_]->codecpar, *firstAudio_))))) {
        audioIndex_ = -1;
    }
    const AVStream* stream = input_->streams[videoIndex_];
    fileFirstDts_ = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    fileDecodeStart_ = AV_NOPTS_VALUE;
    fileOffset_ = nextTime_;
    return true;
}

void SegmentRemuxer::CloseFile()
{
    avformat_close_input(&input_);
}

bool SegmentRemuxer::Step(Mp4Output& output, std::size_t bytes, bool fragmented)
{
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        return Fail("out of memory");
    }
    std::size_t written = 0;
    while (!done_ && written < bytes) {
        if (av_read_frame(input_, packet) < 0) {
            // This file is over: the next one goes on where it ended.
            if (current_ + 1 >= files_.size() || !OpenFile(current_ + 1)) {
                done_ = true;
                break;
            }
            if (!SamePicture(*input_->streams[videoIndex_]->codecpar, *first_)) {
                done_ = true;
            }
            continue;
        }
        if (packet->stream_index == audioIndex_ && packet->dts != AV_NOPTS_VALUE) {
            written += WriteSound(output, *packet);
            continue;
        }
        if (packet->stream_index != videoIndex_ || packet->dts == AV_NOPTS_VALUE) {
            av_packet_unref(packet);
            continue;
        }
        const AVStream* stream = input_->streams[videoIndex_];
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        const bool fileStart = fileDecodeStart_ == AV_NOPTS_VALUE;
        if (fileStart) {
            fileDecodeStart_ = packet->dts;
        }
        const int64_t wallNs =
            files_[current_].startNs + av_rescale_q(packet->pts - fileFirstDts_, stream->time_base, kNanoseconds);
        if (wallNs >= endNs_ && key) {
            av_packet_unref(packet);
            done_ = true;
            break;
        }
        if (!started_ && !key) {
            av_packet_unref(packet);
            continue;
        }
        if (!started_) {
            // Output time 0 is the first sync frame.
            fileOffset_ = -av_rescale_q(packet->dts - fileDecodeStart_, stream->time_base, kMediaTimeBase);
            started_ = true;
        }
        if (key && fragmented && !output.CutFragment()) {
            break;
        }
        const int64_t decoded = av_rescale_q(packet->dts - fileDecodeStart_, stream->time_base, kMediaTimeBase);
        // Never backwards, whatever a file says: a frame decoded too early
        // moves the rest of its file later, its presentation with it, so
        // that no two frames end up shown at one time.
        fileOffset_ = std::max(fileOffset_, nextTime_ - decoded);
        const int64_t shown = av_rescale_q(packet->pts - fileDecodeStart_, stream->time_base, kMediaTimeBase);
        if (fileStart && started_) {
            // A new connection may delay its pictures less than the last
            // one did: its first is shown after every picture before it.
            fileOffset_ = std::max(fileOffset_, shownEnd_ - shown);
        }
        const int64_t duration = std::max<int64_t>(av_rescale_q(packet->duration, stream->time_base, kMediaTimeBase), 1);
        packet->dts = fileOffset_ + decoded;
        packet->pts = std::max(fileOffset_ + shown, packet->dts);
        shownEnd_ = std::max(shownEnd_, packet->pts + duration);
        packet->duration = duration;
        written += static_cast<std::size_t>(packet->size);
        nextTime_ = packet->dts + duration;
        if (!output.Write(*packet)) {
            break;
        }
    }
    av_packet_free(&packet);
    if (fragmented && written > 0) {
        output.CutFragment();
    }
    if (!output.error().empty()) {
        return Fail(output.error());
    }
    return true;
}

std::size_t SegmentRemuxer::WriteSound(Mp4Output& output, AVPacket& packet)
{
    // On the video's output time line: the file's decode start is the first
    // video frame's.
    const AVStream* sound = input_->streams[audioIndex_];
    const AVStream* video = input_->streams[videoIndex_];
    const int64_t time = fileDecodeStart_ == AV_NOPTS_VALUE
                             ? INT64_MIN
                             : fileOffset_ + av_rescale_q(packet.dts, sound->time_base, kMediaTimeBase) -
                                   av_rescale_q(fileDecodeStart_, video->time_base, kMediaTimeBase);
    const int64_t wallNs = files_[current_].startNs +
                           av_rescale_q(packet.pts, sound->time_base, kNanoseconds) -
                           av_rescale_q(fileFirstDts_, video->time_base, kNanoseconds);
    if (!started_ || time <= lastSoundTime_ || time < 0 || wallNs >= endNs_) {
        av_packet_unref(&packet);
        return 0;
    }
    const std::size_t size = static_cast<std::size_t>(packet.size);
    lastSoundTime_ = time;
    packet.stream_index = 1;
    packet.dts = packet.pts = time;
    packet.duration = std::max<int64_t>(av_rescale_q(packet.duration, sound->time_base, kMediaTimeBase), 1);
    output.Write(packet);
    return size;
}

bool SegmentRemuxer::Fail(const std::string& what)
{
    if (error_.empty()) {
        error_ = what;
    }
    done_ = true;
    return false;
}

}  // namespace dvrweb
