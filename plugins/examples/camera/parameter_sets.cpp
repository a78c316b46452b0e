#include "parameter_sets.h"

namespace dvrcamera {

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// Calls visit(header, nalBegin, nalEnd) for each NAL unit; nalBegin is the
// first byte after the start code.
template <typename Visit>
void ForEachNal(const uint8_t* bytes, std::size_t size, Visit&& visit)
{
    std::size_t begin = 0;
    bool inside = false;
    for (std::size_t i = 0; i + 3 <= size;) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            if (inside) {
                std::size_t end = i;
                while (end > begin && bytes[end - 1] == 0) {
                    --end;  // the leading zero of a four-byte start code, trailing zeros
                }
                visit(bytes + begin, bytes + end);
            }
            begin = i + 3;
            inside = true;
            i += 3;
        } else {
            ++i;
        }
    }
    if (inside && begin < size) {
        visit(bytes + begin, bytes + size);
    }
}

// Index into the set table (0 VPS, 1 SPS, 2 PPS), or -1.
int SetIndex(dvrexample::Codec codec, uint8_t header)
{
    if (codec == dvrexample::Codec::kH265) {
        const int type = (header >> 1) & 0x3F;
        return type >= 32 && type <= 34 ? type - 32 : -1;
    }
    const int type = header & 0x1F;
    return type == 7 ? 1 : type == 8 ? 2 : -1;
}

}  // namespace

UnitScan ParameterSets::Scan(const uint8_t* bytes, std::size_t size)
{
    UnitScan scan;
    ForEachNal(bytes, size, [&](const uint8_t* nal, const uint8_t* end) {
        if (nal == end) {
            return;
        }
        const int set = SetIndex(codec_, nal[0]);
        if (set >= 0) {
            scan.has[set] = true;
            const std::size_t length = static_cast<std::size_t>(end - nal);
            if (length <= kMaxSetBytes) {
                sets_[set].assign(kStartCode, kStartCode + 4);
                sets_[set].insert(sets_[set].end(), nal, end);
            }
            return;
        }
        if (codec_ == dvrexample::Codec::kH265) {
            const int type = (nal[0] >> 1) & 0x3F;
            if (type <= 31) {
                scan.picture = true;
                scan.sync = scan.sync || (type >= 16 && type <= 23);
            }
        } else {
            const int type = nal[0] & 0x1F;
            if (type >= 1 && type <= 5) {
                scan.picture = true;
                scan.sync = scan.sync || type == 5;
            }
        }
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
