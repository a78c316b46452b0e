#include "segment_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

extern "C" {
#include <libavformat/avformat.h>
}

#include "recordings_layout.h"

namespace dvrexample {

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

bool IsType(const uint8_t* box, const char* type)
{
    return std::memcmp(box + 4, type, 4) == 0;
}

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

}  // namespace

std::optional<uint64_t> CutTornTail(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    uint64_t at = 0;
    uint64_t kept = 0;
    bool header = false;
    bool fragmentOpen = false;
    uint8_t box[16];
    while (size >= 0 && at + 8 <= static_cast<uint64_t>(size) &&
           ::pread(fd, box, sizeof box, static_cast<off_t>(at)) >= 8) {
        uint64_t length = (uint64_t{box[0]} << 24) | (uint64_t{box[1]} << 16) | (uint64_t{box[2]} << 8) | box[3];
        if (length == 1) {
            length = 0;
            for (int i = 8; i < 16; ++i) {
                length = length << 8 | box[i];
            }
        }
        if (length < 8 || at + length > static_cast<uint64_t>(size)) {
            break;  // torn, or not a box at all
        }
        at += length;
        if (IsType(box, "moov")) {
            header = true;
        } else if (IsType(box, "moof")) {
            fragmentOpen = header;
        } else if (IsType(box, "mdat") && fragmentOpen) {
            fragmentOpen = false;
            kept = at;
        }
    }
    bool cut = true;
    if (kept > 0 && static_cast<off_t>(kept) < size) {
        cut = ::ftruncate(fd, static_cast<off_t>(kept)) == 0 && ::fdatasync(fd) == 0;
    }
    ::close(fd);
    return cut ? std::optional<uint64_t>(kept) : std::nullopt;
}

std::string SegmentComment(uint32_t run, int64_t mediaStart)
{
    char text[64];
    std::snprintf(text, sizeof text, "run=%" PRIu32 " media=%" PRId64, run, mediaStart);
    return text;
}

std::optional<SegmentRow> ProbeSegment(const std::string& root, const std::string& camera, const std::string& name)
{
    const std::string path = root + "/" + name;
    const std::optional<int64_t> startNs = SegmentStartFromName(name);
    AVFormatContext* opened = nullptr;
    if (!startNs || avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) {
        return std::nullopt;
    }
    const std::unique_ptr<AVFormatContext, InputCloser> input(opened);
    const int video = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) {
        return std::nullopt;
    }
    const AVRational timeBase = input->streams[video]->time_base;
    SegmentRow row;
    row.name = name;
    row.camera = camera;
    row.startNs = *startNs;
    if (const AVDictionaryEntry* comment = av_dict_get(input->metadata, "comment", nullptr, 0)) {
        std::sscanf(comment->value, "run=%" SCNu32 " media=%" SCNd64, &row.run, &row.mediaStart);
    }
    // Times in the file are the run's (the first frame's need not be 0) and,
    // with B-frames, come in decode order: spans are measured in
    // presentation time from the first frame's.
    std::optional<int64_t> first;
    int64_t last = 0;  // the latest shown frame's start
    int64_t end = 0;   // ... and end
    AVPacket* packet = av_packet_alloc();
    while (packet != nullptr && av_read_frame(input.get(), packet) >= 0) {
        const int64_t shown = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (packet->stream_index == video && shown != AV_NOPTS_VALUE) {
            if (!first && packet->dts != AV_NOPTS_VALUE) {
                row.decodeStart = av_rescale_q(packet->dts, timeBase, AVRational{1, 90000});
            }
            first = first.value_or(shown);
            last = std::max(last, shown - *first);
            end = std::max(end, shown + packet->duration - *first);
            if ((packet->flags & AV_PKT_FLAG_KEY) != 0) {
                const int64_t ms = av_rescale_q(shown - *first, timeBase, AVRational{1, 1000});
                row.syncTimes += (row.syncTimes.empty() ? "" : ",") + std::to_string(ms);
            }
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    if (!first) {
        return std::nullopt;
    }
    // Ends at its last frame's wall time, as the recorder indexes it.
    row.endNs = row.startNs + av_rescale_q(last, timeBase, AVRational{1, static_cast<int>(kNsPerSecond)});
    row.mediaEnd = row.mediaStart + av_rescale_q(end, timeBase, AVRational{1, 90000});
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        row.bytes = static_cast<uint64_t>(status.st_size);
    }
    return row;
}

}  // namespace dvrexample
