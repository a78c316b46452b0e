// The sample entries of a camera's tracks as libavformat's mp4 muxer takes
// them: H.264 or H.265 with its parameter sets (tagged avc1/hvc1, the tags
// browsers play), AAC with its AudioSpecificConfig. Shared by the recorder's
// segments and the web plugin's live and playback streams, so that both
// describe a camera the same way.
#ifndef DVRCORE_MEDIA_TRACK_PARAMETERS_H
#define DVRCORE_MEDIA_TRACK_PARAMETERS_H

#include <cstdint>
#include <memory>
#include <string>

#include "camera_stream.h"

struct AVCodecParameters;

namespace dvrexample {

// A track description that frees itself.
struct TrackParametersFree {
    void operator()(AVCodecParameters* parameters) const;
};
using TrackParameters = std::unique_ptr<AVCodecParameters, TrackParametersFree>;

// An empty description, or a copy of `from`; null when out of memory.
TrackParameters NewTrackParameters();
TrackParameters CopyTrackParameters(const AVCodecParameters& from);

// Fill a fresh `parameters`; false when out of memory.
bool DescribeVideo(AVCodecParameters& parameters, Codec codec, uint16_t width, uint16_t height,
                   const std::string& parameterSets);
bool DescribeAac(AVCodecParameters& parameters, uint32_t sampleRate, const std::string& audioConfig);

// The AudioSpecificConfig a frame carries; empty when it is not AAC or
// carries none.
std::string AacConfig(const MediaFrame& frame);

}  // namespace dvrexample

#endif  // DVRCORE_MEDIA_TRACK_PARAMETERS_H
