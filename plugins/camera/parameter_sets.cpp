#include "parameter_sets.h"

#include "annex_b.h"

namespace dvrcamera {

UnitScan ParameterSets::Scan(const uint8_t* bytes, std::size_t size)
{
    UnitScan scan;
    dvrexample::ForEachNalUnit(bytes, size, [&](const uint8_t* nal, const uint8_t* end) {
        if (nal == end) {
            return true;
        }
        const int set = dvrexample::ParameterSetIndex(codec_, nal[0]);
        if (set >= 0) {
            scan.has[set] = true;
            if (static_cast<std::size_t>(end - nal) <= kMaxSetBytes) {
                sets_[set].assign(dvrexample::kStartCode, dvrexample::kStartCode + sizeof dvrexample::kStartCode);
                sets_[set].insert(sets_[set].end(), nal, end);
            }
            return true;
        }
        const dvrexample::NalPicture kind = dvrexample::PictureOf(codec_, nal, end);
        if (kind.picture && !scan.picture) {
            scan.continuation = !kind.firstSlice;
        }
        scan.picture = scan.picture || kind.picture;
        scan.sync = scan.sync || kind.sync;
        return true;
    });
    return scan;
}

bool ParameterSets::Known() const
{
    return (codec_ != dvrexample::Codec::kH265 || !sets_[0].empty()) && !sets_[1].empty() && !sets_[2].empty();
}

void ParameterSets::Completed(const UnitScan& scan, const uint8_t* unit, std::size_t size,
                              std::vector<uint8_t>& out) const
{
    out.clear();
    // All sets, in decoding order, unless the unit has every one it needs.
    const bool complete = (codec_ != dvrexample::Codec::kH265 || scan.has[0]) && scan.has[1] && scan.has[2];
    for (int set = 0; set < 3 && !complete; ++set) {
        out.insert(out.end(), sets_[set].begin(), sets_[set].end());
    }
    out.insert(out.end(), unit, unit + size);
}

}  // namespace dvrcamera
