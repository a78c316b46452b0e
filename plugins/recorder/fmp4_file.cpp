#include "fmp4_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "track_parameters.h"

namespace dvrexample {

namespace {

constexpr int kOutputBuffer = 64 * 1024;
constexpr AVRational kMediaTimeBase{1, static_cast<int>(kMediaClockHz)};

}  // namespace

Fmp4File::Fmp4File(const std::string& path, int fd) : path_(path), fd_(fd) {}

Fmp4File::~Fmp4File()
{
    avformat_free_context(muxer_);
    if (output_ != nullptr) {
        av_freep(&output_->buffer);
        avio_context_free(&output_);
    }
    ::close(fd_);
}

std::unique_ptr<Fmp4File> Fmp4File::Create(const std::string& path, const TrackSetup& tracks,
                                           const std::string& comment, std::string& error, int& errorCode)
{
    // Never over an existing file: a name that is taken is the caller's to change.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        errorCode = errno;
        error = std::string("cannot create ") + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Fmp4File> file(new Fmp4File(path, fd));
    Fmp4File& f = *file;
    uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kOutputBuffer));
    f.output_ =
        buffer != nullptr ? avio_alloc_context(buffer, kOutputBuffer, 1, &f, nullptr, WritePacket, nullptr) : nullptr;
    if (f.output_ == nullptr) {
        av_free(buffer);
    }
    if (f.output_ == nullptr || avformat_alloc_output_context2(&f.muxer_, nullptr, "mp4", nullptr) < 0) {
        f.Fail("cannot set up the muxer", AVERROR(ENOMEM));
        error = f.error_;
        errorCode = ENOMEM;
        return nullptr;
    }
    f.muxer_->pb = f.output_;
    f.muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
    av_dict_set(&f.muxer_->metadata, "comment", comment.c_str(), 0);

    AVStream* video = avformat_new_stream(f.muxer_, nullptr);
    bool ready = video != nullptr && DescribeVideo(*video->codecpar, tracks.video, tracks.width, tracks.height,
                                                   tracks.parameterSets);
    if (ready) {
        video->time_base = kMediaTimeBase;
    }
    if (ready && tracks.audio) {
        AVStream* audio = avformat_new_stream(f.muxer_, nullptr);
        ready = audio != nullptr && DescribeAac(*audio->codecpar, tracks.sampleRate, tracks.audioConfig);
        if (ready) {
            audio->time_base = kMediaTimeBase;
        }
    }
    AVDictionary* options = nullptr;
    // frag_discont: the first fragment's decode time (tfdt) is the first
    // frame's, not zero; timestamps are taken as they come, never shifted.
    av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof+skip_trailer+frag_discont", 0);
    av_dict_set(&options, "use_editlist", "0", 0);  // the file's times are the decode times, unshifted
    f.muxer_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    const int header = ready ? avformat_write_header(f.muxer_, &options) : AVERROR(ENOMEM);
    av_dict_free(&options);
    if (header < 0 || (avio_flush(f.output_), f.output_->error < 0) || !f.WriteOut()) {
        f.Fail("cannot write the header", header < 0 ? header : f.output_->error);
        error = f.error_;
        errorCode = f.writeErrno_;
        return nullptr;
    }
    f.bytes_ = f.written_;
    return file;
}

int Fmp4File::WritePacket(void* opaque, uint8_t* data, int size)
{
    auto& file = *static_cast<Fmp4File*>(opaque);
    if (file.unwritten_.empty()) {
        file.unwritten_.reserve(file.lastWriteOut_ + static_cast<std::size_t>(size));
    }
    file.unwritten_.insert(file.unwritten_.end(), data, data + size);
    return size;
}

bool Fmp4File::WriteOut()
{
    const uint8_t* data = unwritten_.data();
    std::size_t left = unwritten_.size();
    while (left > 0) {
        const ssize_t done = ::write(fd_, data, left);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            writeErrno_ = done < 0 ? errno : ENOSPC;
            return false;
        }
        data += done;
        left -= static_cast<std::size_t>(done);
        written_ += static_cast<uint64_t>(done);
    }
    // Released between fragments: the worker cuts the fragments of all
    // cameras one after another, so they take turns with the same heap
    // memory instead of each camera keeping a fragment's worth.
    lastWriteOut_ = unwritten_.size();
    std::vector<uint8_t>().swap(unwritten_);
    return true;
}

bool Fmp4File::AddFrame(bool audio, const uint8_t* data, std::size_t size, int64_t decodeTime,
                        int32_t compositionOffset, uint32_t duration, bool sync)
{
    if (failed_ || (audio && muxer_->nb_streams < 2)) {
        return false;
    }
    AVStream* stream = muxer_->streams[audio ? 1 : 0];
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        return Fail("out of memory", AVERROR(ENOMEM));
    }
    // Not reference-counted: av_write_frame muxes it before returning (the
    // mp4 muxer copies it into the fragment), so it need not be copied first.
    packet->data = const_cast<uint8_t*>(data);
    packet->size = static_cast<int>(size);
    packet->stream_index = stream->index;
    packet->dts = av_rescale_q(decodeTime, kMediaTimeBase, stream->time_base);
    packet->pts = av_rescale_q(decodeTime + compositionOffset, kMediaTimeBase, stream->time_base);
    packet->duration = av_rescale_q(duration, kMediaTimeBase, stream->time_base);
    packet->flags = sync || audio ? AV_PKT_FLAG_KEY : 0;
    const int result = av_write_frame(muxer_, packet);
    av_packet_free(&packet);
    if (result < 0) {
        return Fail("cannot add a frame", result);
    }
    ++framesInFragment_;
    return true;
}

bool Fmp4File::CutFragment()
{
    if (failed_) {
        return false;
    }
    if (framesInFragment_ == 0) {
        return true;
    }
    const int result = av_write_frame(muxer_, nullptr);
    avio_flush(output_);
    if (result < 0 || output_->error < 0 || !WriteOut()) {
        return Fail("cannot write a fragment", result < 0 ? result : output_->error);
    }
    framesInFragment_ = 0;
    bytes_ = written_;
    hasFragment_ = true;
    return true;
}

bool Fmp4File::Sync()
{
    if (failed_ || ::fdatasync(fd_) == 0) {
        return true;
    }
    writeErrno_ = errno;
    return Fail("cannot sync", AVERROR(errno));
}

bool Fmp4File::Finish()
{
    const bool cut = CutFragment();
    if (!hasFragment_ && !deleted_) {
        ::unlink(path_.c_str());
        deleted_ = true;
    }
    return cut;
}

bool Fmp4File::Fail(const char* what, int code)
{
    if (!failed_) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(writeErrno_ != 0 ? AVERROR(writeErrno_) : code, text, sizeof text);
        error_ = std::string(what) + " in " + path_ + ": " + text;
        failed_ = true;
        CutBack();
    }
    return false;
}

void Fmp4File::CutBack()
{
    if (!hasFragment_ || ::ftruncate(fd_, static_cast<off_t>(bytes_)) != 0) {
        // Nothing playable in it, or it cannot be cut: better no file than
        // one that does not play.
        ::unlink(path_.c_str());
        deleted_ = true;
    }
}

}  // namespace dvrexample
