#include "rtsp_ingest.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace dvrcamera {

namespace {

constexpr int kRedirects = 3;
constexpr int kPollMs = 100;
// The demuxer's reads bypass the contexts' buffers (it reads packet by
// packet); they hold the description and the receiver reports going out.
constexpr int kIoBufferBytes = 8192;
constexpr int64_t kMaxKeepAliveNs = 10'000'000'000;
constexpr int kPortAttempts = 16;
constexpr int kUdpReceiveBuffer = 1 << 20;

void SetPort(sockaddr_storage& address, int port)
{
    if (address.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(static_cast<uint16_t>(port));
    } else {
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(static_cast<uint16_t>(port));
    }
}

// Binds `udp` to the address of `local` at `port` (0: any); the port bound, or -1.
int BindUdp(int udp, const sockaddr_storage& local, int port)
{
    sockaddr_storage address = local;
    SetPort(address, port);
    const socklen_t length = local.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (::bind(udp, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return -1;
    }
    socklen_t boundLength = sizeof address;
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&address), &boundLength);
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
}

int64_t MonoNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void RtspIngest::AvioFree::operator()(AVIOContext* context) const
{
    av_freep(&context->buffer);
    avio_context_free(&context);
}

RtspIngest::RtspIngest(AVIOInterruptCB interrupt, bool overUdp) : interrupt_(interrupt), overUdp_(overUdp) {}

RtspIngest::~RtspIngest()
{
    for (const Media& media : media_) {
        for (const int udp : {media.rtpSocket, media.rtcpSocket}) {
            if (udp >= 0) {
                if (registered_) {
                    reactor_->Unregister(udp);
                }
                ::close(udp);
            }
        }
    }
    if (registered_) {
        reactor_->Unregister(socket_);
    }
    if (socket_ >= 0) {
        if (!session_.empty()) {
            const std::string teardown = Request("TEARDOWN", controlUrl_, "");
            ::send(socket_, teardown.data(), teardown.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        ::close(socket_);
    }
}

bool RtspIngest::Interrupted() const
{
    return interrupt_.callback != nullptr && interrupt_.callback(interrupt_.opaque) != 0;
}

uint64_t RtspIngest::TakeSkipped()
{
    const uint64_t skipped = reader_.skipped() - skippedSeen_;
    skippedSeen_ = reader_.skipped();
    return skipped;
}

RtspIngest::Failure RtspIngest::StatusFailure(const std::string& method, int status)
{
    // What says that this client asked for what the camera does not do;
    // anything else fails libavformat's client alike, in its words.
    if (status == 405 || status == 455 || status == 461 || status == 501 || status == 505 || status == 551) {
        return {Outcome::kRefused, method + " answered " + std::to_string(status)};
    }
    if (status == 404) {
        return {Outcome::kCameraFailed, "no such stream (404)"};
    }
    const int error = status == 400   ? AVERROR_HTTP_BAD_REQUEST
                      : status == 403 ? AVERROR_HTTP_FORBIDDEN
                      : status < 500  ? AVERROR_HTTP_OTHER_4XX
                                      : AVERROR_HTTP_SERVER_ERROR;
    char reason[AV_ERROR_MAX_STRING_SIZE] = "";
    av_strerror(error, reason, sizeof reason);
    return {Outcome::kCameraFailed, reason};
}

RtspIngest::Outcome RtspIngest::Open(const std::string& url, AVFormatContext*& input, std::string& reason)
{
    try {
        std::string current = url;
        SdpSections sdp;
        std::string base;
        Describe(current, sdp, base);
        Setup(sdp, base);
        OpenDemuxer(input);
        const RtspResponse play = Transact("PLAY", controlUrl_, "Range: npt=0.000-\r\n");
        if (play.status != 200) {
            throw StatusFailure("PLAY", play.status);
        }
        reader_.Append(reinterpret_cast<const uint8_t*>(received_.data()), received_.size());
        received_.clear();
        Register();
        nextKeepAliveNs_ = MonoNs() + keepAliveNs_;
        return Outcome::kOpened;
    } catch (const Failure& failure) {
        if (input != nullptr) {
            avformat_close_input(&input);
        }
        reason = failure.reason;
        return failure.outcome;
    }
}

void RtspIngest::Register()
{
    reactor_ = IngestReactor::Shared();
    registered_ = reactor_->Register(socket_, inbox_,
                                     overUdp_ ? IngestReactor::Source::kControl : IngestReactor::Source::kStream);
    for (const Media& media : media_) {
        if (registered_ && overUdp_) {
            registered_ = reactor_->Register(media.rtpSocket, inbox_, IngestReactor::Source::kDatagrams, media.rtp) &&
                          reactor_->Register(media.rtcpSocket, inbox_, IngestReactor::Source::kDatagrams, media.rtcp);
        }
    }
    if (!registered_) {
        registered_ = true;  // unregisters whatever was, at destruction
        throw Failure{Outcome::kRefused, std::string("cannot wait on the connection: ") + std::strerror(errno)};
    }
}

void RtspIngest::Connect(const RtspUrl& url)
{
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found);
    if (resolved != 0) {
        throw Failure{Outcome::kCameraFailed, ::gai_strerror(resolved)};
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    int error = ECONNREFUSED;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS) {
            error = errno;
            ::close(fd);
            continue;
        }
        pollfd waiting{fd, POLLOUT, 0};
        while (::poll(&waiting, 1, kPollMs) == 0) {
            if (Interrupted()) {
                ::close(fd);
                throw Failure{Outcome::kCameraFailed, "no answer"};
            }
        }
        socklen_t length = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
            socket_ = fd;
            return;
        }
        ::close(fd);
    }
    throw Failure{Outcome::kCameraFailed, std::strerror(error)};
}

std::string RtspIngest::Request(const std::string& method, const std::string& uri, const std::string& headers)
{
    std::string request =
        method + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(++sequence_) + "\r\nUser-Agent: dvrcore\r\n";
    if (authorize_) {
        request += "Authorization: " + Authorization(challenge_, url_, method, uri, ++nonceCount_) + "\r\n";
    }
    if (!session_.empty()) {
        request += "Session: " + session_ + "\r\n";
    }
    return request + headers + "\r\n";
}

void RtspIngest::SendAll(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t wrote = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote > 0) {
            sent += static_cast<std::size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            throw Failure{Outcome::kCameraFailed, std::strerror(errno)};
        }
        pollfd waiting{socket_, POLLOUT, 0};
        ::poll(&waiting, 1, kPollMs);
        if (Interrupted()) {
            throw Failure{Outcome::kCameraFailed, "no answer"};
        }
    }
}

RtspResponse RtspIngest::Transact(const std::string& method, const std::string& uri, const std::string& headers)
{
    for (int attempt = 0;; ++attempt) {
        SendAll(Request(method, uri, headers));
        RtspResponse response;
        for (;;) {
            const long taken =
                ParseRtspResponse(reinterpret_cast<const uint8_t*>(received_.data()), received_.size(), response);
            if (taken < 0) {
                throw Failure{Outcome::kRefused, "unreadable answer to " + method};
            }
            if (taken > 0) {
                received_.erase(0, static_cast<std::size_t>(taken));
                break;
            }
            char chunk[4096];
            const ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
            if (got > 0) {
                received_.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0) {
                throw Failure{Outcome::kCameraFailed, "the camera closed the connection"};
            } else if (errno != EAGAIN && errno != EINTR) {
                throw Failure{Outcome::kCameraFailed, std::strerror(errno)};
            } else {
                pollfd waiting{socket_, POLLIN, 0};
                ::poll(&waiting, 1, kPollMs);
                if (Interrupted()) {
                    throw Failure{Outcome::kCameraFailed, "no answer"};
                }
            }
        }
        if (response.status != 401 || attempt > 0 || url_.user.empty()) {
            if (response.status == 401) {
                throw Failure{Outcome::kCameraFailed, "access denied (401), check the user name and password"};
            }
            return response;
        }
        // A Digest challenge is preferred when the camera offers both.
        bool any = false;
        for (const auto& [name, value] : response.headers) {
            RtspChallenge challenge;
            if (name == "www-authenticate" && ParseChallenge(value, challenge) && (!any || challenge.digest)) {
                challenge_ = challenge;
                any = true;
            }
        }
        if (!any) {
            throw Failure{Outcome::kRefused, "no authentication scheme it knows"};
        }
        authorize_ = true;
        nonceCount_ = 0;
    }
}

void RtspIngest::Describe(std::string& url, SdpSections& sdp, std::string& base)
{
    for (int redirect = 0;; ++redirect) {
        if (!ParseRtspUrl(url, url_)) {
            throw Failure{Outcome::kRefused, "a URL it cannot read"};
        }
        Connect(url_);
        const RtspResponse options = Transact("OPTIONS", url_.plain, "");
        if (options.status == 200 && options.Header("public").find("GET_PARAMETER") != std::string::npos) {
            keepAlive_ = "GET_PARAMETER";
        }
        const RtspResponse describe = Transact("DESCRIBE", url_.plain, "Accept: application/sdp\r\n");
        if (describe.status >= 300 && describe.status < 400 && redirect < kRedirects &&
            !describe.Header("location").empty()) {
            std::string location = describe.Header("location");
            RtspUrl target;
            if (ParseRtspUrl(location, target) && target.userInfo.empty() && !url_.userInfo.empty()) {
                location = "rtsp://" + url_.userInfo + "@" + location.substr(7);  // keeps the credentials
            }
            url = location;
            authorize_ = false;
            continue;
        }
        if (describe.status != 200) {
            throw StatusFailure("DESCRIBE", describe.status);
        }
        sdp = SplitSdp(describe.body);
        base = describe.Header("content-base");
        if (base.empty()) {
            base = describe.Header("content-location");
        }
        if (base.empty()) {
            base = url_.plain;
        }
        return;
    }
}

void RtspIngest::Setup(const SdpSections& sdp, const std::string& base)
{
    const SdpMedia* chosen[2] = {nullptr, nullptr};
    for (const char* type : {"video", "audio"}) {
        const auto found = std::find_if(sdp.media.begin(), sdp.media.end(),
                                        [type](const SdpMedia& media) { return media.type == type; });
        if (found != sdp.media.end()) {
            chosen[chosen[0] == nullptr ? 0 : 1] = &*found;
        }
    }
    if (chosen[0] == nullptr || chosen[0]->type != "video") {
        throw Failure{Outcome::kRefused, "no video in the description"};
    }
    if (chosen[1] != nullptr && chosen[1]->payloadType == chosen[0]->payloadType) {
        // FFmpeg's SDP demuxer tells the streams apart by payload type.
        throw Failure{Outcome::kRefused,
                      "video and sound share RTP payload type " + std::to_string(chosen[0]->payloadType)};
    }
    sdpText_ = sdp.session;
    int timeoutSeconds = 60;
    for (const SdpMedia* media : chosen) {
        if (media == nullptr) {
            continue;
        }
        // Kept at once: the destructor closes its sockets whatever happens.
        media_.emplace_back();
        Media& set = media_.back();
        const int channel = static_cast<int>(media_.size() - 1) * 2;
        const RtspResponse reply = Transact("SETUP", ControlUrl(base, media->control),
                                            "Transport: " + RequestTransport(set, channel) + "\r\n");
        if (reply.status != 200) {
            throw StatusFailure("SETUP", reply.status);
        }
        AcceptTransport(set, reply.Header("transport"));
        // Some cameras hand out a new session id with each SETUP: the newest counts.
        std::string id;
        ParseSession(reply.Header("session"), id, timeoutSeconds);
        if (!id.empty()) {
            session_ = id;
        }
        sdpText_ += media->text;
    }
    if (session_.empty()) {
        throw Failure{Outcome::kRefused, "no session id"};
    }
    std::vector<int> channels;
    for (const Media& media : media_) {
        channels.insert(channels.end(), {media.rtp, media.rtcp});
    }
    reader_.SetChannels(channels);
    controlUrl_ = ControlUrl(base, sdp.control);
    keepAliveNs_ = std::min(int64_t{timeoutSeconds} * 1'000'000'000 / 3, kMaxKeepAliveNs);
}

std::string RtspIngest::RequestTransport(Media& media, int channel)
{
    media.rtp = channel;
    media.rtcp = channel + 1;
    if (!overUdp_) {
        return "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(channel) + "-" + std::to_string(channel + 1);
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
    // RTP on an even port, RTCP on the next: the system picks the first,
    // and when the next is taken or the first is odd, again.
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        for (int* udp : {&media.rtpSocket, &media.rtcpSocket}) {
            if (*udp >= 0) {
                ::close(*udp);
            }
            *udp = ::socket(local.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (*udp < 0) {
                throw Failure{Outcome::kRefused, std::string("cannot open a UDP socket: ") + std::strerror(errno)};
            }
            // Room for a burst of a key frame between two ticks of the reactor.
            const int bytes = kUdpReceiveBuffer;
            ::setsockopt(*udp, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        }
        const int port = BindUdp(media.rtpSocket, local, 0);
        if (port > 0 && port % 2 == 0 && BindUdp(media.rtcpSocket, local, port + 1) > 0) {
            return "RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" + std::to_string(port + 1);
        }
    }
    throw Failure{Outcome::kRefused, "no pair of UDP ports for RTP and RTCP"};
}

void RtspIngest::AcceptTransport(Media& media, const std::string& transport)
{
    if (!overUdp_) {
        if (!ParseInterleaved(transport, media.rtp, media.rtcp) && transport.find("client_port") != std::string::npos) {
            throw Failure{Outcome::kRefused, "the camera chose RTP over UDP"};
        }
        return;
    }
    if (transport.find("interleaved") != std::string::npos) {
        throw Failure{Outcome::kRefused, "the camera chose interleaved RTP when asked for UDP"};
    }
    int rtp = 0;
    int rtcp = 0;
    if (ParseServerPorts(transport, rtp, rtcp)) {
        socklen_t length = sizeof media.reportsTo;
        ::getpeername(socket_, reinterpret_cast<sockaddr*>(&media.reportsTo), &length);
        SetPort(media.reportsTo, rtcp);
    }
}

void RtspIngest::OpenDemuxer(AVFormatContext*& input)
{
    for (auto* io : {&sdpIo_, &packetIo_}) {
        const bool packets = io == &packetIo_;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
        io->reset(buffer == nullptr
                      ? nullptr
                      : avio_alloc_context(buffer, kIoBufferBytes, packets ? 1 : 0, this,
                                           packets ? &RtspIngest::ReadPacket : &RtspIngest::ReadDescription,
                                           packets ? &RtspIngest::WritePacket : nullptr, nullptr));
        if (!*io) {
            av_free(buffer);
            throw Failure{Outcome::kCameraFailed, "out of memory"};
        }
    }
    input = avformat_alloc_context();
    if (input == nullptr) {
        throw Failure{Outcome::kCameraFailed, "out of memory"};
    }
    input->pb = sdpIo_.get();
    input->flags |= AVFMT_FLAG_CUSTOM_IO;
    input->interrupt_callback = interrupt_;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "sdp_flags", "custom_io", 0);
    av_dict_set(&options, "allowed_media_types", "video+audio", 0);
    // TCP delivers in order; over UDP the demuxer reorders as libavformat's
    // own client does.
    av_dict_set(&options, "reorder_queue_size", overUdp_ ? "64" : "0", 0);
    if (overUdp_) {
        av_dict_set(&options, "max_delay", "500000", 0);  // longest wait for a late packet
    }
    const int opened = avformat_open_input(&input, nullptr, av_find_input_format("sdp"), &options);
    av_dict_free(&options);
    if (opened < 0) {  // FFmpeg freed the context
        input = nullptr;
        char reason[AV_ERROR_MAX_STRING_SIZE] = "";
        av_strerror(opened, reason, sizeof reason);
        throw Failure{Outcome::kRefused, std::string("the SDP demuxer refused the description: ") + reason};
    }
    if (input->nb_streams != media_.size()) {
        throw Failure{Outcome::kRefused, "the SDP demuxer found " + std::to_string(input->nb_streams) +
                                             " streams in a description of " + std::to_string(media_.size())};
    }
    input->pb = packetIo_.get();
    sdpIo_.reset();
}

void RtspIngest::KeepAlive()
{
    const int64_t now = MonoNs();
    if (now < nextKeepAliveNs_) {
        return;
    }
    nextKeepAliveNs_ = now + keepAliveNs_;
    // Its answer comes interleaved with the media; the reader skips it.
    const std::string request = Request(keepAlive_, controlUrl_, "");
    ::send(socket_, request.data(), request.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

int RtspIngest::ReadDescription(void* self, uint8_t* buffer, int size)
{
    auto* ingest = static_cast<RtspIngest*>(self);
    const std::size_t left = ingest->sdpText_.size() - ingest->sdpRead_;
    const std::size_t copied = std::min(left, static_cast<std::size_t>(size));
    if (copied == 0) {
        return AVERROR_EOF;
    }
    std::memcpy(buffer, ingest->sdpText_.data() + ingest->sdpRead_, copied);
    ingest->sdpRead_ += copied;
    return static_cast<int>(copied);
}

int RtspIngest::ReadPacket(void* self, uint8_t* buffer, int size)
{
    auto* ingest = static_cast<RtspIngest*>(self);
    for (;;) {
        InterleavedReader::Frame frame;
        while (ingest->reader_.Next(frame)) {
            const auto media = std::find_if(ingest->media_.begin(), ingest->media_.end(), [&frame](const Media& m) {
                return m.rtp == frame.channel || m.rtcp == frame.channel;
            });
            if (media == ingest->media_.end() || frame.size > static_cast<std::size_t>(size)) {
                continue;  // a channel not set up, or a packet larger than any the demuxer takes
            }
            ingest->lastMedia_ = static_cast<int>(media - ingest->media_.begin());
            std::memcpy(buffer, frame.data, frame.size);
            return static_cast<int>(frame.size);
        }
        ingest->KeepAlive();
        if (ingest->Interrupted()) {
            return AVERROR_EXIT;
        }
        // taken_ is empty here (Append empties it): the inbox's bytes are
        // swapped in, not copied.
        if (!ingest->inbox_.Take(ingest->taken_, kPollMs)) {
            const int error = ingest->inbox_.error();
            return error == 0 ? AVERROR_EOF : AVERROR(error);
        }
        ingest->reader_.Append(ingest->taken_);
    }
}

// The demuxer writes a report in pieces into the context's buffer and then
// flushes it: one call is one RTCP compound packet.
int RtspIngest::WritePacket(void* self, uint8_t* buffer, int size)
{
    auto* ingest = static_cast<RtspIngest*>(self);
    if (size <= 0 || size > 0xFFFF || ingest->media_.empty()) {
        return size;
    }
    const Media& media = ingest->media_[static_cast<std::size_t>(ingest->lastMedia_)];
    if (ingest->overUdp_) {
        if (media.reportsTo.ss_family != AF_UNSPEC) {
            ::sendto(media.rtcpSocket, buffer, static_cast<std::size_t>(size), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&media.reportsTo), sizeof media.reportsTo);
        }
        return size;
    }
    std::string frame(4, '\0');
    frame[0] = '$';
    frame[1] = static_cast<char>(media.rtcp);
    frame[2] = static_cast<char>(size >> 8);
    frame[3] = static_cast<char>(size & 0xFF);
    frame.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
    // A report that does not fit the socket now is skipped: the next one follows.
    ::send(ingest->socket_, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return size;
}

}  // namespace dvrcamera
