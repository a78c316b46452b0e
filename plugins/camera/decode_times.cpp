#include "decode_times.h"

#include <algorithm>
#include <functional>
#include <vector>

namespace dvrcamera {

int64_t DecodeTimes::Next(int64_t pts, int64_t frameTicks)
{
    if (!recent_.empty() && (pts - recent_.back() > kJumpTicks || recent_.back() - pts > kJumpTicks)) {
        recent_.clear();  // not reordering but a jump, which the media clock bridges
    }
    const bool first = recent_.empty();
    recent_.push_back(pts);
    if (recent_.size() > kWindow) {
        recent_.pop_front();
    }
    std::vector<int64_t> latest(recent_.begin(), recent_.end());
    int64_t dts;
    if (latest.size() > kReorderDepth) {
        std::nth_element(latest.begin(), latest.begin() + kReorderDepth, latest.end(), std::greater<int64_t>());
        dts = latest[kReorderDepth];
    } else {
        // Fewer frames than the reordering: one frame period apart, up to
        // the first's presentation time, where a stream that does not
        // reorder goes on.
        dts = recent_.front() - static_cast<int64_t>(kReorderDepth + 1 - latest.size()) * frameTicks;
    }
    if (!first && dts <= last_) {
        dts = last_ + 1;  // a timestamp that repeats: the media clock bridges it
    }
    last_ = dts;
    return dts;
}

}  // namespace dvrcamera
