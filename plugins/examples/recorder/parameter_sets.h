// The parameter sets in front of a sync frame (camera_stream.h): the NAL
// units before its first picture slice, VPS, SPS and PPS for H.265, SPS and
// PPS for H.264, in Annex B form. A recorder starts a file with them and
// starts a new one when they change.
#ifndef DVRCORE_EXAMPLES_RECORDER_PARAMETER_SETS_H
#define DVRCORE_EXAMPLES_RECORDER_PARAMETER_SETS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "camera_stream.h"

namespace dvrexample {

inline std::string ParameterSets(Codec codec, const uint8_t* data, std::size_t size)
{
    static constexpr char kStartCode[] = {0, 0, 0, 1};
    std::string sets;
    std::size_t at = 0;
    // Start of the NAL unit after the start code at or after `from`; `size`
    // when there is none.
    const auto nextUnit = [&](std::size_t from) {
        for (std::size_t i = from; i + 3 <= size; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
                return i + 3;
            }
        }
        return size;
    };
    for (std::size_t unit = nextUnit(at); unit < size; unit = at) {
        at = nextUnit(unit);
        std::size_t end = at < size ? at - 3 : size;
        while (end > unit && data[end - 1] == 0) {
            --end;  // the zero byte of a four-byte start code, or trailing zeros
        }
        const uint8_t header = data[unit];
        const unsigned type = codec == Codec::kH265 ? (header >> 1) & 0x3F : header & 0x1F;
        const bool picture = codec == Codec::kH265 ? type < 32 : type >= 1 && type <= 5;
        if (picture) {
            break;
        }
        const bool parameterSet = codec == Codec::kH265 ? type >= 32 && type <= 34 : type == 7 || type == 8;
        if (parameterSet) {
            sets.append(kStartCode, sizeof kStartCode).append(reinterpret_cast<const char*>(data + unit), end - unit);
        }
    }
    return sets;
}

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDER_PARAMETER_SETS_H
