// One segment file of fragmented MP4, written through libavformat's mp4
// muxer straight to its final path.
//
// Create writes the header (ftyp, moov with an avc1 or hvc1 sample entry
// holding the parameter sets, and an mp4a one when the camera sends AAC) at
// once. Frames collect in the muxer until CutFragment writes them as one
// moof and mdat, in one write (the muxer's output gathers in memory until
// then); Sync makes what was written durable. The file never holds
// less than whole fragments at a point where Sync returned: a failed write
// cuts the file back to its last whole fragment, and a file that never got
// one is deleted, so no empty or unplayable file stays behind.
//
// Owned and called by the recorder's worker thread only.
#ifndef DVRCORE_EXAMPLES_RECORDER_FMP4_FILE_H
#define DVRCORE_EXAMPLES_RECORDER_FMP4_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera_stream.h"

struct AVFormatContext;
struct AVIOContext;

namespace dvrexample {

struct TrackSetup {
    Codec video = Codec::kNone;
    uint16_t width = 0;
    uint16_t height = 0;
    std::string parameterSets;  // Annex B: VPS (H.265), SPS, PPS
    bool audio = false;         // an AAC track with:
    uint32_t sampleRate = 0;
    std::string audioConfig;  // AudioSpecificConfig
};

class Fmp4File {
public:
    // Nothing, with `error` and `errorCode` (an errno value) set, when the
    // file cannot be made or its header cannot be written (no file is left
    // then).
    static std::unique_ptr<Fmp4File> Create(const std::string& path, const TrackSetup& tracks,
                                            const std::string& comment, std::string& error, int& errorCode);
    ~Fmp4File();  // closes without cutting: call Finish first to keep frames
    Fmp4File(const Fmp4File&) = delete;
    Fmp4File& operator=(const Fmp4File&) = delete;

    // `decodeTime` (written as is, so that a run's segments continue one
    // another), `compositionOffset` (presentation minus decode time) and
    // `duration` in media clock ticks. Decode times must rise.
    bool AddFrame(bool audio, const uint8_t* data, std::size_t size, int64_t decodeTime, int32_t compositionOffset,
                  uint32_t duration, bool sync);
    // Writes the frames added since the last cut as one fragment.
    bool CutFragment();
    bool Sync();
    // Cuts the last fragment and closes; false when the file had to be cut
    // back or deleted. Sync is not implied.
    bool Finish();

    bool fragmentEmpty() const { return framesInFragment_ == 0; }
    uint64_t bytes() const { return bytes_; }  // written, whole fragments and the header
    bool deleted() const { return deleted_; }  // Finish or a failure removed the file
    const std::string& error() const { return error_; }
    int errorCode() const { return writeErrno_; }  // errno of the failed write or sync, or 0

private:
    Fmp4File(const std::string& path, int fd);
    static int WritePacket(void* opaque, uint8_t* data, int size);
    // Hands what the muxer produced since the last call to the file in one write.
    bool WriteOut();
    bool Fail(const char* what, int code);
    void CutBack();

    std::string path_;
    int fd_;
    AVFormatContext* muxer_ = nullptr;
    AVIOContext* output_ = nullptr;
    std::vector<uint8_t> unwritten_;  // the muxer's output of the fragment being cut
    std::size_t lastWriteOut_ = 0;    // bytes of the last fragment: the next one's likely size
    uint64_t written_ = 0;            // bytes handed to the file
    uint64_t bytes_ = 0;              // at the end of the last whole fragment (or header)
    bool hasFragment_ = false;
    bool failed_ = false;
    bool deleted_ = false;
    int writeErrno_ = 0;
    unsigned framesInFragment_ = 0;
    std::string error_;
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDER_FMP4_FILE_H
