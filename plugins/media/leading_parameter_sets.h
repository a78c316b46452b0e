// The parameter sets in front of a sync frame (camera_stream.h): the NAL
// units before its first picture slice, VPS, SPS and PPS for H.265, SPS and
// PPS for H.264, in Annex B form. A recorder starts a file with them and
// starts a new one when they change.
#ifndef DVRCORE_MEDIA_LEADING_PARAMETER_SETS_H
#define DVRCORE_MEDIA_LEADING_PARAMETER_SETS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "annex_b.h"

namespace dvrexample {

inline std::string ParameterSets(Codec codec, const uint8_t* data, std::size_t size)
{
    std::string sets;
    ForEachNalUnit(data, size, [&](const uint8_t* nal, const uint8_t* end) {
        if (nal == end) {
            return true;
        }
        if (PictureOf(codec, nal, end).picture) {
            return false;
        }
        if (ParameterSetIndex(codec, nal[0]) >= 0) {
            sets.append(reinterpret_cast<const char*>(kStartCode), sizeof kStartCode)
                .append(reinterpret_cast<const char*>(nal), static_cast<std::size_t>(end - nal));
        }
        return true;
    });
    return sets;
}

}  // namespace dvrexample

#endif  // DVRCORE_MEDIA_LEADING_PARAMETER_SETS_H
