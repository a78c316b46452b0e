#include "camera_channel.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <random>

#include "log_message.h"
#include "parameter_sets.h"
#include "rtsp_ingest.h"

namespace dvrcamera {

namespace {

using dvrexample::CameraStatus;
using dvrexample::Codec;

int64_t MonoNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t RealNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct InputClose {
    void operator()(AVFormatContext* input) const { avformat_close_input(&input); }
};
struct ParserClose {
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

std::string NoAnswer()
{
    return "no answer within " + std::to_string(CameraChannel::kConnectSeconds) + " s";
}

Codec VideoCodec(AVCodecID id)
{
    return id == AV_CODEC_ID_H264 ? Codec::kH264 : id == AV_CODEC_ID_HEVC ? Codec::kH265 : Codec::kNone;
}

const char* CodecName(Codec codec)
{
    return codec == Codec::kH265 ? "H.265" : "H.264";
}

}  // namespace

struct CameraChannel::Session {
    std::unique_ptr<RtspIngest> ingest;  // before `input`, which reads through it
    std::unique_ptr<AVFormatContext, InputClose> input;
    std::unique_ptr<AVCodecParserContext, ParserClose> parser;
    std::unique_ptr<AVCodecContext, CodecContextFree> parserContext;
    std::unique_ptr<ParameterSets> sets;
    int video = -1;
    int audio = -1;
    Codec codec = Codec::kNone;
    int64_t firstFrameNs = 0;  // monotonic, 0 until a frame was raised
    std::string failure;       // why it ended, for the log
    bool fallBack = false;     // the own reader refused the camera: libavformat's RTSP client tries at once
    bool resyncLogged = false;
};

CameraChannel::CameraChannel(const dvrexample::CoreLink& link, const dvrexample::CameraConfig& config, ReadPath path,
                             std::function<uint32_t()> nextRun, std::shared_ptr<NewestWall> newestWall)
    : link_(link),
      config_(config),
      path_(path),
      url_(dvrexample::ParseCameraUrl(config.url)),
      silenceNs_(int64_t{config.silenceSeconds > 0 ? static_cast<int>(config.silenceSeconds) : kDefaultSilenceSeconds} *
                 1'000'000'000),
      clock_(std::move(nextRun), std::move(newestWall))
{
    state_.channel = config.channel;
    state_.status = CameraStatus::kConnecting;
    std::snprintf(state_.name, sizeof state_.name, "%s", config.name);
    thread_ = std::thread([this] { Run(); });
}

CameraChannel::~CameraChannel()
{
    RequestStop();
    thread_.join();
}

void CameraChannel::RequestStop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    wake_.notify_all();
}

void CameraChannel::PublishState()
{
    dvrexample::CameraState state;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state = state_;
    }
    _EventParmsIn in = link_.Event(dvrexample::kCameraStateType, dvrexample::kCameraStateFlag, &state, sizeof state);
    in.providerID = dvrexample::CameraProvider(config_.channel);
    link_.Raise(in);
}

void CameraChannel::SetStatus(CameraStatus status)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_.status == status) {
            return;
        }
        state_.status = status;
    }
    PublishState();
}

void CameraChannel::Log(int level, const char* format, ...) const
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogMessage(link_.id(), link_.fn(), level, "camera %s: %s", config_.name, text);
}

bool CameraChannel::WaitFor(int64_t ns)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::nanoseconds(ns), [this] { return stop_.load(); });
}

int CameraChannel::Interrupt(void* self)
{
    auto* channel = static_cast<CameraChannel*>(self);
    return channel->stop_ || MonoNs() > channel->deadlineNs_ ? 1 : 0;
}

void CameraChannel::Run()
{
    // The name goes out before any frame: events keep their order through
    // the core's one queue, so a recorder never files a frame under a
    // camera it cannot name yet.
    PublishState();
    if (!url_.wellFormed) {
        Log(LOG_LEVEL_ERROR, "malformed URL %s (expected rtsp://[user:password@]host[:port]/path), not started",
            url_.shown.c_str());
        SetStatus(CameraStatus::kStopped);
        return;
    }
    std::mt19937 random(std::random_device{}());
    int64_t delay = kFirstDelayNs;
    bool failureLogged = false;
    while (!stop_) {
        Session session;
        Connect(session);
        if (session.failure.empty()) {
            Pull(session);
        }
        FlushPending(lastDuration_);
        if (stop_) {
            break;
        }
        // Set up, its codec fit, yet no picture: perhaps what the own reader
        // feeds the demuxer differs from what libavformat's client would.
        if (session.ingest && session.sets && session.firstFrameNs == 0 && path_ == ReadPath::kAuto) {
            RefuseOwnReader("no picture came through it (" + session.failure + ")");
            continue;
        }
        if (session.fallBack) {
            continue;
        }
        if (session.firstFrameNs != 0) {
            Log(LOG_LEVEL_WARNING, "stream lost (%s), reconnecting", session.failure.c_str());
            lost_ = true;
            failureLogged = true;  // the attempts until recovery stay quiet
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++state_.reconnects;
            }
            if (MonoNs() - session.firstFrameNs >= kHealthyNs) {
                delay = kFirstDelayNs;
            }
        } else if (!failureLogged) {
            Log(LOG_LEVEL_WARNING, "cannot record %s: %s; retrying", url_.shown.c_str(), session.failure.c_str());
            failureLogged = true;
        }
        SetStatus(CameraStatus::kReconnecting);
        // Equal jitter: half the delay fixed, half random, so that cameras
        // lost together do not all come back in the same instant.
        const int64_t wait = delay / 2 + std::uniform_int_distribution<int64_t>(0, delay / 2)(random);
        delay = std::min(delay * 2, kMaxDelayNs);
        if (!WaitFor(wait)) {
            break;
        }
    }
    SetStatus(CameraStatus::kStopped);
}

void CameraChannel::RefuseOwnReader(const std::string& reason)
{
    ownRefused_ = true;
    Log(LOG_LEVEL_WARNING, "reading %s through libavformat's RTSP client instead of the own reader: %s",
        url_.shown.c_str(), reason.c_str());
}

void CameraChannel::OpenOwn(Session& session)
{
    if (config_.url[4] != ':') {
        if (path_ == ReadPath::kAuto) {
            ownRefused_ = true;  // rtsps:// is libavformat's by design: nothing to report
        }
        return;
    }
    session.ingest = std::make_unique<RtspIngest>(AVIOInterruptCB{&CameraChannel::Interrupt, this},
                                                  config_.transport == dvrexample::CameraTransport::kUdp);
    AVFormatContext* input = nullptr;
    std::string reason;
    const RtspIngest::Outcome outcome = session.ingest->Open(url_.connect, input, reason);
    if (outcome == RtspIngest::Outcome::kOpened) {
        session.input.reset(input);
        return;
    }
    session.ingest.reset();
    if (outcome == RtspIngest::Outcome::kRefused && path_ == ReadPath::kAuto && !stop_) {
        RefuseOwnReader(reason);
        session.fallBack = true;
        session.failure = reason;
        return;
    }
    session.failure = Interrupt(this) != 0 ? NoAnswer() : reason;
}

void CameraChannel::Connect(Session& session)
{
    deadlineNs_ = MonoNs() + int64_t{kConnectSeconds} * 1'000'000'000;
    if (path_ != ReadPath::kLibavformat && !ownRefused_) {
        OpenOwn(session);
    }
    if (!session.input && session.failure.empty()) {
        OpenLibavformat(session);
    }
    if (!session.failure.empty()) {
        return;
    }
    AVFormatContext* input = session.input.get();
    session.video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (session.video < 0) {
        session.failure = "the stream has no video";
        return;
    }
    const AVCodecParameters* video = input->streams[session.video]->codecpar;
    session.codec = VideoCodec(video->codec_id);
    if (session.codec == Codec::kNone) {
        session.failure =
            std::string("video in ") + avcodec_get_name(video->codec_id) + " is neither H.264 nor H.265, not recorded";
        return;
    }
    if (lastCodec_ != Codec::kNone && lastCodec_ != session.codec) {
        // The recorder starts a new segment at the new parameter sets.
        Log(LOG_LEVEL_WARNING, "video codec changed from %s to %s, starting a new run", CodecName(lastCodec_),
            CodecName(session.codec));
    }
    lastCodec_ = session.codec;
    session.audio = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, session.video, nullptr, 0);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (static_cast<int>(i) != session.video && static_cast<int>(i) != session.audio) {
            input->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    session.sets = std::make_unique<ParameterSets>(session.codec);
    if (video->extradata_size > 4 && video->extradata[0] == 0) {  // Annex B sets from the SDP
        session.sets->Scan(video->extradata, static_cast<std::size_t>(video->extradata_size));
    }
    // The parser reads the picture size from the SPS; it decodes nothing.
    session.parser.reset(av_parser_init(video->codec_id));
    session.parserContext.reset(avcodec_alloc_context3(nullptr));
    if (!session.parser || !session.parserContext ||
        avcodec_parameters_to_context(session.parserContext.get(), video) < 0) {
        session.failure = "out of memory";
        return;
    }
    session.parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    clock_.Break();
    waitSync_ = true;
    recorded_ = false;
    untimedLogged_ = false;
    lastTimed_ = true;
    decodeTimes_.Reset();
}

void CameraChannel::OpenLibavformat(Session& session)
{
    AVFormatContext* input = avformat_alloc_context();
    if (input == nullptr) {
        session.failure = "out of memory";
        return;
    }
    input->interrupt_callback = {&CameraChannel::Interrupt, this};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", config_.transport == dvrexample::CameraTransport::kUdp ? "udp" : "tcp", 0);
    av_dict_set(&options, "timeout", std::to_string(int64_t{kConnectSeconds} * 1000000).c_str(), 0);  // socket I/O, µs
    av_dict_set(&options, "reorder_queue_size", "64", 0);  // UDP: packets held for reordering
    av_dict_set(&options, "buffer_size", "1048576", 0);    // UDP: socket receive buffer
    av_dict_set(&options, "max_delay", "500000", 0);       // UDP: longest wait for a late packet
    av_dict_set(&options, "allowed_media_types", "video+audio", 0);
    const int opened = avformat_open_input(&input, url_.connect.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {  // FFmpeg freed the context
        char reason[AV_ERROR_MAX_STRING_SIZE] = "";
        av_strerror(opened, reason, sizeof reason);
        session.failure = opened == AVERROR_HTTP_UNAUTHORIZED ? "access denied (401), check the user name and password"
                          : opened == AVERROR_HTTP_NOT_FOUND  ? "no such stream (404)"
                          : opened == AVERROR_EXIT            ? NoAnswer()
                                                              : reason;
        return;
    }
    session.input.reset(input);
}

void CameraChannel::Pull(Session& session)
{
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    deadlineNs_ = MonoNs() + silenceNs_;
    while (packet && !stop_) {
        const int got = av_read_frame(session.input.get(), packet.get());
        if (got < 0) {
            char reason[AV_ERROR_MAX_STRING_SIZE] = "";
            av_strerror(got, reason, sizeof reason);
            session.failure = got == AVERROR_EOF ? "the camera ended the stream"
                              : got == AVERROR_EXIT
                                  ? "no picture for " + std::to_string(silenceNs_ / 1'000'000'000) + " s"
                                  : reason;
            break;
        }
        if (packet->stream_index == session.video) {
            OnVideo(session, *packet);
        } else if (packet->stream_index == session.audio) {
            OnAudio(session, *packet);
        }
        if (session.ingest && session.ingest->TakeSkipped() > 0 && !session.resyncLogged) {
            session.resyncLogged = true;
            Log(LOG_LEVEL_WARNING, "bytes between interleaved frames skipped, read on from the next frame");
        }
        av_packet_unref(packet.get());
    }
}

void CameraChannel::OnVideo(Session& session, const AVPacket& packet)
{
    const auto size = static_cast<std::size_t>(packet.size);
    const uint32_t sequence = videoSequence_++;
    if (size > kMaxUnitBytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++state_.framesDropped;
        waitSync_ = true;
        return;
    }
    const UnitScan scan = session.sets->Scan(packet.data, size);
    if (!scan.picture) {
        --videoSequence_;  // parameter sets alone, or bytes that hold no picture
        return;
    }
    // The picture size changes only with a new SPS: the parser reads a unit
    // that carries one (or any unit until it knows the size), so the scan
    // above stays the one pass over every unit's bytes.
    if (scan.has[1] || session.parser->width <= 0) {
        uint8_t* parsed = nullptr;
        int parsedSize = 0;
        av_parser_parse2(session.parser.get(), session.parserContext.get(), &parsed, &parsedSize, packet.data,
                         packet.size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    }
    const int width = session.parser->width;
    const int height = session.parser->height;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (width > 0 && height > 0 && (width != state_.width || height != state_.height)) {
            const int oldWidth = state_.width;
            const int oldHeight = state_.height;
            state_.width = static_cast<uint16_t>(width);
            state_.height = static_cast<uint16_t>(height);
            state_.videoCodec = session.codec;
            lock.unlock();
            if (oldWidth != 0 && pending_.valid) {
                Log(LOG_LEVEL_WARNING, "picture size changed from %dx%d to %dx%d, starting a new run", oldWidth,
                    oldHeight, width, height);
                clock_.Break();
            }
        }
    }

    const AVStream* stream = session.input->streams[session.video];
    const int64_t mono = MonoNs();
    deadlineNs_ = mono + silenceNs_;
    if (pending_.valid && scan.continuation) {
        --videoSequence_;
        AppendToPending(session, scan, packet.data, size);
        return;
    }
    // The parser knows no timestamp for a session's first unit; the RTP
    // clock starts there. A unit without one follows the last at the frame rate.
    const bool timed = packet.pts != AV_NOPTS_VALUE;
    if (!timed && session.firstFrameNs != 0 && !untimedLogged_) {
        untimedLogged_ = true;
        Log(LOG_LEVEL_WARNING, "frames without a timestamp, placed one frame period after the last");
    }
    const int64_t pts =
        timed ? av_rescale_q(packet.pts, stream->time_base, {1, static_cast<int>(dvrexample::kMediaClockHz)})
        : session.firstFrameNs != 0 ? lastPts_ + lastDuration_
                                    : 0;
    if (timed && !lastTimed_) {
        decodeTimes_.Reset();  // the unit before had no timestamp of its own
    }
    const bool jumpExpected = timed && !lastTimed_;
    lastTimed_ = timed;
    lastPts_ = pts;
    // RTP carries presentation times; frames come in decode order.
    const int64_t dts = decodeTimes_.Next(pts, lastDuration_);
    if (jumpExpected) {
        // In hindsight the untimed unit came one frame period before this one.
        videoTimeline_.lastPts = dts - lastDuration_;
    }
    const int64_t previousMono = videoTimeline_.lastMonoNs;
    const FrameTime time = clock_.Place(videoTimeline_, dts, RealNs(), mono, true);
    if (time.bridged && !jumpExpected && jumpLoggedRun_ != time.run) {
        jumpLoggedRun_ = time.run;  // once a run: a camera that always jumps would flood the log
        Log(LOG_LEVEL_WARNING, "timestamps %s by %.3f s where %.3f s passed; media time follows real time",
            time.jumpTicks > 0 ? "jumped forward" : "went back",
            static_cast<double>(std::llabs(time.jumpTicks)) / dvrexample::kMediaClockHz,
            static_cast<double>(mono - previousMono) / 1e9);
    }
    if (time.run != run_) {
        FlushPending(lastDuration_);
        run_ = time.run;
        waitSync_ = true;  // every run starts with a sync frame
    } else if (pending_.valid) {
        const uint64_t step = time.mediaTime - pending_.frame.decodeTime;
        if (time.mediaTime > pending_.frame.decodeTime && step < dvrexample::kMediaClockHz * 10) {
            lastDuration_ = static_cast<uint32_t>(step);
        }
        FlushPending(lastDuration_);
    }

    // This unit waits for its successor, which tells its duration.
    pending_.scan = scan;
    pending_.sync = scan.sync && session.sets->Known();
    if (pending_.sync) {
        session.sets->Completed(scan, packet.data, size, pending_.bytes);
    } else {
        pending_.bytes.assign(packet.data, packet.data + size);
    }
    dvrexample::MediaFrame& frame = pending_.frame;
    frame = {};
    // Shown later than decoded by as much as the stream reorders.
    // An untimed unit is shown when it is decoded, before any that follow.
    const int32_t composition =
        timed ? static_cast<int32_t>(std::clamp<int64_t>(pts - dts, 0, dvrexample::kMediaClockHz)) : 0;
    frame.timeFlags = dvrexample::kFrameDecodeTime;
    frame.decodeTime = time.mediaTime;
    frame.compositionOffset = composition;
    frame.mediaTime = time.mediaTime + static_cast<uint64_t>(composition);
    frame.wallTimeNs = time.wallTimeNs + TicksToNs(composition);
    clock_.Shown(frame.wallTimeNs);
    frame.channel = config_.channel;
    frame.run = time.run;
    frame.sequence = sequence;
    frame.codec = session.codec;
    frame.width = static_cast<uint16_t>(width > 0 ? width : 0);
    frame.height = static_cast<uint16_t>(height > 0 ? height : 0);
    pending_.valid = true;
    if (session.firstFrameNs == 0) {
        session.firstFrameNs = mono;
    }
}

void CameraChannel::AppendToPending(Session& session, const UnitScan& scan, const uint8_t* data, std::size_t size)
{
    if (pending_.bytes.size() + size > kMaxUnitBytes) {
        pending_.valid = false;
        waitSync_ = true;
        std::lock_guard<std::mutex> lock(mutex_);
        ++state_.framesDropped;
        return;
    }
    UnitScan& whole = pending_.scan;
    whole.sync = whole.sync || scan.sync;
    for (std::size_t set = 0; set < sizeof whole.has; ++set) {
        whole.has[set] = whole.has[set] || scan.has[set];
    }
    if (pending_.sync || !whole.sync || !session.sets->Known()) {
        pending_.bytes.insert(pending_.bytes.end(), data, data + size);
        return;
    }
    // The sync slice came in a later part: the sets go in front of the whole.
    std::vector<uint8_t> unit = std::move(pending_.bytes);
    unit.insert(unit.end(), data, data + size);
    session.sets->Completed(whole, unit.data(), unit.size(), pending_.bytes);
    pending_.sync = true;
}

void CameraChannel::FlushPending(uint32_t duration)
{
    if (!pending_.valid) {
        return;
    }
    pending_.valid = false;
    pending_.frame.duration = duration;
    RaiseVideo(pending_);
}

void CameraChannel::RaiseVideo(Pending& unit)
{
    if (waitSync_ && !unit.sync) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++state_.framesDropped;
        return;
    }
    const int result = RaiseFrame(EVT_VIDEO, unit.bytes.data(), unit.bytes.size(), unit.sync, unit.frame);
    if (result == RESULT_OK) {
        waitSync_ = false;
        if (!recorded_) {
            recorded_ = true;
            if (lost_) {
                Log(LOG_LEVEL_WARNING, "recording again");
                lost_ = false;
            } else {
                Log(LOG_LEVEL_INFO, "recording %s (%s %ux%u)", url_.shown.c_str(), CodecName(unit.frame.codec),
                    unit.frame.width, unit.frame.height);
            }
            SetStatus(CameraStatus::kRecording);
        }
    } else if (result == RESULT_NO_SYNC_FRAME || result == RESULT_FRAME_LIMIT || result == RESULT_THROTTLED) {
        waitSync_ = true;
    }
}

int CameraChannel::RaiseFrame(uint32_t type, const uint8_t* bytes, std::size_t size, bool sync,
                              const dvrexample::MediaFrame& frame)
{
    _EventParmsIn in = link_.Event(type, FLAG_FRAME, bytes, size);
    in.providerID = dvrexample::CameraProvider(config_.channel);
    in.syncFrame = sync ? 1 : 0;
    dvrexample::StoreMediaFrame(in, frame);
    const int result = link_.Raise(in);
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == RESULT_OK) {
        ++state_.framesRaised;
        state_.bytesRaised += size;
    } else {
        ++state_.framesDropped;
    }
    return result;
}

void CameraChannel::OnAudio(Session& session, const AVPacket& packet)
{
    const AVStream* stream = session.input->streams[session.audio];
    const AVCodecParameters* audio = stream->codecpar;
    if (audio->codec_id != AV_CODEC_ID_AAC) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++state_.audioFramesSkipped;
        }
        if (!audioSkipLogged_) {
            audioSkipLogged_ = true;
            Log(LOG_LEVEL_INFO, "audio in %s is left out (only AAC is recorded)", avcodec_get_name(audio->codec_id));
        }
        return;
    }
    const uint32_t sequence = audioSequence_++;
    if (waitSync_ || audio->sample_rate <= 0 || packet.pts == AV_NOPTS_VALUE) {
        return;  // audio joins a run once its video does
    }
    const int64_t pts = av_rescale_q(packet.pts, stream->time_base, {1, static_cast<int>(dvrexample::kMediaClockHz)});
    const FrameTime time = clock_.Place(audioTimeline_, pts, RealNs(), MonoNs(), false);
    if (time.run != run_) {
        return;
    }
    dvrexample::MediaFrame frame{};
    frame.mediaTime = time.mediaTime;
    frame.wallTimeNs = time.wallTimeNs;
    frame.timeFlags = dvrexample::kFrameDecodeTime;
    frame.decodeTime = time.mediaTime;
    frame.channel = config_.channel;
    frame.run = time.run;
    frame.sequence = sequence;
    const int samples = audio->frame_size > 0 ? audio->frame_size : 1024;
    frame.duration = static_cast<uint32_t>(int64_t{samples} * dvrexample::kMediaClockHz / audio->sample_rate);
    frame.codec = Codec::kAac;
    frame.sampleRate = static_cast<uint32_t>(audio->sample_rate);
    const auto configSize = static_cast<std::size_t>(std::max(audio->extradata_size, 0));
    frame.audioConfigSize = static_cast<uint8_t>(std::min(configSize, sizeof frame.audioConfig));
    std::copy(audio->extradata, audio->extradata + frame.audioConfigSize, frame.audioConfig);
    RaiseFrame(EVT_AUDIO, packet.data, static_cast<std::size_t>(packet.size), false, frame);
}

}  // namespace dvrcamera
