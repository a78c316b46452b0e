#include "mp4_output.h"

#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
}

namespace dvrweb {

namespace {

constexpr int kBufferSize = 64 * 1024;
constexpr AVRational kMediaTimeBase{1, 90000};

}  // namespace

Mp4Output::~Mp4Output()
{
    if (muxer_ != nullptr && memory_ == nullptr) {
        avio_closep(&muxer_->pb);
    }
    avformat_free_context(muxer_);
    if (memory_ != nullptr) {
        av_freep(&memory_->buffer);
        avio_context_free(&memory_);
    }
}

std::unique_ptr<Mp4Output> Mp4Output::Fragmented(const AVCodecParameters& video, const AVCodecParameters* audio,
                                                 std::string& error)
{
    // One fragment per CutFragment, each able to start a decoder's work on
    // its own tfdt: what Media Source Extensions take.
    return Create(nullptr, video, audio, "frag_custom+empty_moov+default_base_moof+skip_trailer", error);
}

std::unique_ptr<Mp4Output> Mp4Output::File(const std::string& path, const AVCodecParameters& video,
                                           const AVCodecParameters* audio, std::string& error)
{
    return Create(path.c_str(), video, audio, "faststart", error);
}

std::unique_ptr<Mp4Output> Mp4Output::Create(const char* path, const AVCodecParameters& video,
                                             const AVCodecParameters* audio, const char* flags, std::string& error)
{
    std::unique_ptr<Mp4Output> output(new Mp4Output);
    Mp4Output& o = *output;
    if (avformat_alloc_output_context2(&o.muxer_, nullptr, "mp4", path) < 0) {
        error = "cannot set up the mp4 muxer";
        return nullptr;
    }
    if (path == nullptr) {
        uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
        o.memory_ = buffer != nullptr ? avio_alloc_context(buffer, kBufferSize, 1, &o, nullptr, Collect, nullptr)
                                      : nullptr;
        if (o.memory_ == nullptr) {
            av_free(buffer);
            error = "out of memory";
            return nullptr;
        }
        o.muxer_->pb = o.memory_;
        o.muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
    } else if (const int opened = avio_open(&o.muxer_->pb, path, AVIO_FLAG_WRITE); opened < 0) {
        o.Fail("cannot create the file", opened);
        error = o.error_;
        return nullptr;
    }
    for (const AVCodecParameters* track : {&video, audio}) {
        AVStream* stream = track != nullptr ? avformat_new_stream(o.muxer_, nullptr) : nullptr;
        if (track != nullptr && (stream == nullptr || avcodec_parameters_copy(stream->codecpar, track) < 0)) {
            error = "out of memory";
            return nullptr;
        }
        if (stream != nullptr) {
            stream->time_base = kMediaTimeBase;
        }
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", flags, 0);
    const int header = avformat_write_header(o.muxer_, &options);
    av_dict_free(&options);
    if (header < 0 || (o.memory_ != nullptr && (avio_flush(o.memory_), o.memory_->error < 0))) {
        o.Fail("cannot write the header", header);
        error = o.error_;
        return nullptr;
    }
    return output;
}

int Mp4Output::Collect(void* opaque, uint8_t* data, int size)
{
    static_cast<Mp4Output*>(opaque)->bytes_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    return size;
}

bool Mp4Output::Write(AVPacket& packet)
{
    if (!error_.empty()) {
        return false;
    }
    if (packet.stream_index < 0 || static_cast<unsigned>(packet.stream_index) >= muxer_->nb_streams) {
        av_packet_unref(&packet);
        return true;
    }
    av_packet_rescale_ts(&packet, kMediaTimeBase, muxer_->streams[packet.stream_index]->time_base);
    const int result = av_write_frame(muxer_, &packet);
    av_packet_unref(&packet);
    return result >= 0 || Fail("cannot add a frame", result);
}

bool Mp4Output::CutFragment()
{
    if (!error_.empty()) {
        return false;
    }
    const int result = av_write_frame(muxer_, nullptr);
    avio_flush(muxer_->pb);
    return result >= 0 || Fail("cannot write a fragment", result);
}

bool Mp4Output::Finish()
{
    if (!error_.empty()) {
        return false;
    }
    const int result = av_write_trailer(muxer_);
    avio_flush(muxer_->pb);
    return result >= 0 || Fail("cannot finish", result);
}

std::string Mp4Output::TakeBytes()
{
    std::string bytes;
    bytes.swap(bytes_);
    return bytes;
}

bool Mp4Output::Fail(const char* what, int code)
{
    if (error_.empty()) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(code, text, sizeof text);
        error_ = std::string(what) + ": " + text;
    }
    return false;
}

std::string MimeType(const AVCodecParameters& video, const AVCodecParameters* audio)
{
    char codecs[64];
    const uint8_t* x = video.extradata;
    const int size = video.extradata_size;
    if (video.codec_id == AV_CODEC_ID_HEVC) {
        // hvc1.<profile>.<compatibility>.<tier><level>: a Main profile
        // stream of the usual levels; exact enough for the question whether
        // a browser decodes H.265 at all.
        std::snprintf(codecs, sizeof codecs, "hvc1.1.6.L%d.90", video.level > 0 ? video.level : 120);
    } else if (size >= 4 && x[0] == 1) {
        // avcC: profile, compatibility and level follow the version byte.
        std::snprintf(codecs, sizeof codecs, "avc1.%02x%02x%02x", x[1], x[2], x[3]);
    } else {
        // Annex B: the SPS's first bytes after its header.
        int at = -1;
        for (int i = 0; i + 7 < size; ++i) {
            if (x[i] == 0 && x[i + 1] == 0 && x[i + 2] == 1 && (x[i + 3] & 0x1F) == 7) {
                at = i + 4;
                break;
            }
        }
        if (at < 0) {
            std::snprintf(codecs, sizeof codecs, "avc1.42e01e");
        } else {
            std::snprintf(codecs, sizeof codecs, "avc1.%02x%02x%02x", x[at], x[at + 1], x[at + 2]);
        }
    }
    std::string mime = std::string("video/mp4; codecs=\"") + codecs;
    if (audio != nullptr) {
        // mp4a.40.<audio object type>: the config's first five bits (AAC LC
        // is 2; an escaped type is rare enough to name LC).
        const int type = audio->extradata_size > 0 ? audio->extradata[0] >> 3 : 2;
        mime += ", mp4a.40." + std::to_string(type > 0 && type < 31 ? type : 2);
    }
    return mime + "\"";
}

}  // namespace dvrweb
