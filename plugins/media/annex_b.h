// H.264 and H.265 access units in Annex B form: the NAL units between start
// codes, and what a NAL unit's header says about it.
#ifndef DVRCORE_EXAMPLES_ANNEX_B_H
#define DVRCORE_EXAMPLES_ANNEX_B_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "camera_stream.h"

namespace dvrexample {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// Calls visit(begin, end) for each NAL unit of `bytes`, from the first byte
// after its start code to the next start code (without the zero byte of a
// four-byte start code, or trailing zeros), while visit returns true.
template <typename Visit>
void ForEachNalUnit(const uint8_t* bytes, std::size_t size, Visit&& visit)
{
    std::size_t begin = 0;
    bool inside = false;
    // A start code ends in the byte 1: memchr finds those candidates many
    // bytes at a time, and only they are checked for the two zeros before.
    for (std::size_t i = 2; i < size;) {
        const void* one = std::memchr(bytes + i, 1, size - i);
        if (one == nullptr) {
            break;
        }
        i = static_cast<std::size_t>(static_cast<const uint8_t*>(one) - bytes);
        if (bytes[i - 1] != 0 || bytes[i - 2] != 0) {
            ++i;
            continue;
        }
        if (inside) {
            std::size_t end = i - 2;
            while (end > begin && bytes[end - 1] == 0) {
                --end;
            }
            if (!visit(bytes + begin, bytes + end)) {
                return;
            }
        }
        begin = i + 1;
        inside = true;
        i += 3;
    }
    if (inside && begin < size) {
        visit(bytes + begin, bytes + size);
    }
}

// Where a parameter set goes in decoding order: 0 VPS (H.265 only), 1 SPS,
// 2 PPS; -1 for any other unit.
inline int ParameterSetIndex(Codec codec, uint8_t header)
{
    if (codec == Codec::kH265) {
        const int type = (header >> 1) & 0x3F;
        return type >= 32 && type <= 34 ? type - 32 : -1;
    }
    const int type = header & 0x1F;
    return type == 7 ? 1 : type == 8 ? 2 : -1;
}

struct NalPicture {
    bool picture = false;     // a slice of a picture
    bool sync = false;        // of an IDR (H.264) or IRAP (H.265) picture
    bool firstSlice = false;  // the picture's first: a new access unit
};

// What the NAL unit [nal, end) (header first, non-empty) is.
inline NalPicture PictureOf(Codec codec, const uint8_t* nal, const uint8_t* end)
{
    NalPicture kind;
    if (codec == Codec::kH265) {
        const int type = (nal[0] >> 1) & 0x3F;
        kind.picture = type <= 31;
        kind.sync = type >= 16 && type <= 23;
        // first_slice_segment_in_pic_flag, after the two-byte header.
        kind.firstSlice = kind.picture && end - nal > 2 && (nal[2] & 0x80) != 0;
    } else {
        const int type = nal[0] & 0x1F;
        kind.picture = type >= 1 && type <= 5;
        kind.sync = type == 5;
        // first_mb_in_slice, ue(v): 0 is the single bit 1.
        kind.firstSlice = kind.picture && end - nal > 1 && (nal[1] & 0x80) != 0;
    }
    return kind;
}

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_ANNEX_B_H
