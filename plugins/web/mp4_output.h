// MP4 written by libavformat's mp4 muxer, a video track and, when given, a
// sound track: fragmented into memory for a stream (the caller takes the
// bytes after each fragment), or a whole file with its index in front for a
// download. Packets come in the 90 kHz media clock, stream index 0 for video
// and 1 for sound. One owner, one thread at a time; a failure is sticky and
// named by error().
#ifndef DVRCORE_WEB_MP4_OUTPUT_H
#define DVRCORE_WEB_MP4_OUTPUT_H

#include <cstdint>
#include <memory>
#include <string>

struct AVCodecParameters;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace dvrweb {

class Mp4Output {
public:
    ~Mp4Output();
    Mp4Output(const Mp4Output&) = delete;
    Mp4Output& operator=(const Mp4Output&) = delete;

    // A fragmented stream; its header (ftyp, moov) is in TakeBytes() at once.
    // `audio` may be null: no sound track.
    static std::unique_ptr<Mp4Output> Fragmented(const AVCodecParameters& video, const AVCodecParameters* audio,
                                                 std::string& error);
    // A file at `path` (created), finished by Finish().
    static std::unique_ptr<Mp4Output> File(const std::string& path, const AVCodecParameters& video,
                                           const AVCodecParameters* audio, std::string& error);

    // `packet` with pts, dts and duration in 90 kHz ticks and its stream
    // index; its data is taken. A sound packet without a sound track is
    // dropped.
    bool Write(AVPacket& packet);
    // Fragmented: ends the fragment, whose bytes are then in TakeBytes().
    bool CutFragment();
    bool Finish();
    std::string TakeBytes();
    const std::string& error() const { return error_; }

private:
    Mp4Output() = default;
    static std::unique_ptr<Mp4Output> Create(const char* path, const AVCodecParameters& video,
                                             const AVCodecParameters* audio, const char* flags, std::string& error);
    static int Collect(void* opaque, uint8_t* data, int size);
    bool Fail(const char* what, int code);

    AVFormatContext* muxer_ = nullptr;
    AVIOContext* memory_ = nullptr;  // fragmented output, or null for a file
    std::string bytes_;
    std::string error_;
};

// The MIME type with codecs parameter for MediaSource of a stream whose
// sample entries `video` and `audio` (may be null) describe, e.g.
// video/mp4; codecs="avc1.640028, mp4a.40.2".
std::string MimeType(const AVCodecParameters& video, const AVCodecParameters* audio);

}  // namespace dvrweb

#endif  // DVRCORE_WEB_MP4_OUTPUT_H
