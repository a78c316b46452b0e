#include "track_parameters.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace dvrexample {

namespace {

// Copies `bytes` into codec extradata, which libavformat frees.
bool SetExtradata(AVCodecParameters& parameters, const std::string& bytes)
{
    parameters.extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (parameters.extradata == nullptr) {
        return false;
    }
    std::memcpy(parameters.extradata, bytes.data(), bytes.size());
    parameters.extradata_size = static_cast<int>(bytes.size());
    return true;
}

}  // namespace

void TrackParametersFree::operator()(AVCodecParameters* parameters) const
{
    avcodec_parameters_free(&parameters);
}

TrackParameters NewTrackParameters()
{
    return TrackParameters(avcodec_parameters_alloc());
}

TrackParameters CopyTrackParameters(const AVCodecParameters& from)
{
    TrackParameters copy = NewTrackParameters();
    return copy != nullptr && avcodec_parameters_copy(copy.get(), &from) >= 0 ? std::move(copy) : nullptr;
}

bool DescribeVideo(AVCodecParameters& p, Codec codec, uint16_t width, uint16_t height, const std::string& parameterSets)
{
    p.codec_type = AVMEDIA_TYPE_VIDEO;
    p.codec_id = codec == Codec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    // hvc1, not hev1: the tag browsers play, with the parameter sets in the
    // sample entry.
    p.codec_tag = codec == Codec::kH265 ? MKTAG('h', 'v', 'c', '1') : MKTAG('a', 'v', 'c', '1');
    p.width = width;
    p.height = height;
    return SetExtradata(p, parameterSets);
}

bool DescribeAac(AVCodecParameters& p, uint32_t sampleRate, const std::string& audioConfig)
{
    p.codec_type = AVMEDIA_TYPE_AUDIO;
    p.codec_id = AV_CODEC_ID_AAC;
    p.sample_rate = static_cast<int>(sampleRate);
    p.frame_size = 1024;
    // The channel configuration: bits 4..1 of the config's second byte.
    const int channels = audioConfig.size() >= 2 ? (static_cast<uint8_t>(audioConfig[1]) >> 3) & 0xF : 1;
    av_channel_layout_default(&p.ch_layout, channels > 0 ? channels : 1);
    return SetExtradata(p, audioConfig);
}

std::string AacConfig(const MediaFrame& frame)
{
    if (frame.codec != Codec::kAac || frame.audioConfigSize == 0 || frame.audioConfigSize > sizeof frame.audioConfig) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(frame.audioConfig), frame.audioConfigSize);
}

}  // namespace dvrexample
