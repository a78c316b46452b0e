// The camera's own RTSP reader: it sets up the session itself (OPTIONS,
// DESCRIBE, SETUP of the first video and sound, PLAY; Basic and Digest
// authentication; redirects), hands the connection to the ingest reactor,
// which reads it with large paced reads, and opens FFmpeg's SDP demuxer on
// the session's description with custom I/O: the demuxer reads one RTP or
// RTCP packet per read from the camera's bytes, so depayloading and parsing
// stay FFmpeg's, and its RTCP receiver reports go back interleaved.
//
// Over UDP (asked for with `overUdp`) it sets up each media with a pair of
// UDP sockets on consecutive ports (client_port), which the reactor reads in
// batches and frames like interleaved packets, so the demuxer's reads are
// the same; receiver reports go to the camera's RTCP port (server_port).
//
// Owned by one camera thread, which also runs every callback. Keep-alives
// (GET_PARAMETER when the camera offers it, else OPTIONS) go out at a third of
// the session's timeout, at most every 10 s, from the demuxer's reads. The
// connection is torn down (TEARDOWN, best effort) at destruction, which must
// come after the demuxer that reads through it is closed.
#ifndef DVRCORE_EXAMPLES_CAMERA_RTSP_INGEST_H
#define DVRCORE_EXAMPLES_CAMERA_RTSP_INGEST_H

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ingest_reactor.h"
#include "interleaved_reader.h"
#include "rtsp_messages.h"

extern "C" {
#include <libavformat/avio.h>
}

struct AVFormatContext;

namespace dvrcamera {

class RtspIngest {
public:
    enum class Outcome {
        kOpened,
        kCameraFailed,  // what FFmpeg's RTSP client would fail on alike (refused, 401, 404, no answer)
        kRefused,       // what this reader cannot take: FFmpeg's RTSP client should try
    };

    RtspIngest(AVIOInterruptCB interrupt, bool overUdp);
    ~RtspIngest();
    RtspIngest(const RtspIngest&) = delete;
    RtspIngest& operator=(const RtspIngest&) = delete;

    // Sets up the session and opens the demuxer on it: `input` is then open
    // (the caller closes it before destroying this). Otherwise `reason` says
    // why, in the log's words.
    Outcome Open(const std::string& url, AVFormatContext*& input, std::string& reason);

    // Bytes skipped to find the next interleaved frame since the last call.
    uint64_t TakeSkipped();

private:
    struct Media {
        int rtp = -1;  // interleaved channels; over UDP the channels the reactor frames with
        int rtcp = -1;
        int rtpSocket = -1;  // over UDP
        int rtcpSocket = -1;
        sockaddr_storage reportsTo{};  // the camera's RTCP port; family AF_UNSPEC when it named none
    };
    struct Failure {
        Outcome outcome;
        std::string reason;
    };

    static Failure StatusFailure(const std::string& method, int status);
    void Connect(const RtspUrl& url);
    RtspResponse Transact(const std::string& method, const std::string& uri, const std::string& headers);
    std::string Request(const std::string& method, const std::string& uri, const std::string& headers);
    void SendAll(const std::string& bytes);
    void Describe(std::string& url, SdpSections& sdp, std::string& base);
    void Setup(const SdpSections& sdp, const std::string& base);
    // The transport asked for in the SETUP of the media at `channel`, making
    // its UDP sockets when over UDP.
    std::string RequestTransport(Media& media, int channel);
    void AcceptTransport(Media& media, const std::string& transport);
    void Register();
    void OpenDemuxer(AVFormatContext*& input);
    void KeepAlive();
    bool Interrupted() const;

    static int ReadDescription(void* self, uint8_t* buffer, int size);
    static int ReadPacket(void* self, uint8_t* buffer, int size);
    static int WritePacket(void* self, uint8_t* buffer, int size);

    const AVIOInterruptCB interrupt_;
    const bool overUdp_;
    std::shared_ptr<IngestReactor> reactor_;
    int socket_ = -1;
    bool registered_ = false;
    RtspUrl url_;
    std::string controlUrl_;  // the PLAY and keep-alive URL
    std::string session_;
    std::string keepAlive_ = "OPTIONS";
    int64_t keepAliveNs_ = 10'000'000'000;
    int64_t nextKeepAliveNs_ = 0;
    uint32_t sequence_ = 0;
    bool authorize_ = false;
    RtspChallenge challenge_;
    uint32_t nonceCount_ = 0;
    std::string received_;  // bytes of the handshake not taken yet
    std::string sdpText_;   // what the demuxer reads as its description
    std::size_t sdpRead_ = 0;
    std::vector<Media> media_;  // in the order of the description's media
    int lastMedia_ = 0;         // the media of the last packet read: receiver reports go to its RTCP channel

    Inbox inbox_;
    InterleavedReader reader_;
    std::vector<uint8_t> taken_;
    uint64_t skippedSeen_ = 0;
    struct AvioFree {
        void operator()(AVIOContext* context) const;
    };
    std::unique_ptr<AVIOContext, AvioFree> sdpIo_;
    std::unique_ptr<AVIOContext, AvioFree> packetIo_;
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_RTSP_INGEST_H
