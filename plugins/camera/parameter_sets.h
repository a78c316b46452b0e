// The codec parameter sets of one video stream (VPS for H.265, SPS, PPS), so
// that every sync frame can carry them.
//
// Access units are Annex B byte streams. Scan() reads the NAL unit types of a
// unit, keeps any parameter set it carries as the stream's newest, and tells
// whether the unit holds a picture, whether that picture is a sync point
// (IDR for H.264, IRAP for H.265), and whether the unit only continues the
// previous one's picture. Completed() gives the unit with the known sets in
// front unless it carries them all. Camera thread only; each set is capped at kMaxSetBytes.
#ifndef DVRCORE_EXAMPLES_CAMERA_PARAMETER_SETS_H
#define DVRCORE_EXAMPLES_CAMERA_PARAMETER_SETS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera_stream.h"

namespace dvrcamera {

struct UnitScan {
    bool picture = false;
    bool sync = false;
    bool continuation = false;            // its first slice is not a picture's first
    bool has[3] = {false, false, false};  // VPS, SPS, PPS
};

class ParameterSets {
public:
    static constexpr std::size_t kMaxSetBytes = 4096;

    explicit ParameterSets(dvrexample::Codec codec) : codec_(codec) {}

    // Also takes the sets announced out of band (the SDP), in Annex B form.
    UnitScan Scan(const uint8_t* bytes, std::size_t size);
    // True when every set that a sync frame needs is known.
    bool Known() const;
    // `unit` preceded by the sets that `scan` says it lacks.
    void Completed(const UnitScan& scan, const uint8_t* unit, std::size_t size, std::vector<uint8_t>& out) const;

private:
    dvrexample::Codec codec_;
    std::vector<uint8_t> sets_[3];  // VPS, SPS, PPS with a four-byte start code; empty when unknown
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_PARAMETER_SETS_H
