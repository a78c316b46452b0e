// The one thread that reads every camera's RTSP connection in play: it waits
// on all their sockets with epoll and, once per tick (kTickMs), drains each
// readable socket into that camera's inbox with large reads, so one read
// carries many interleaved packets instead of one system call per packet
// piece, and wakes their camera threads together once all are read. The
// pacing adds at most one tick of latency to a frame.
//
// A camera thread registers its socket (non-blocking) with an inbox it owns,
// takes the bytes with Take, and unregisters before it closes the socket or
// destroys the inbox; after Unregister returns the reactor no longer touches
// either. A camera playing RTP over UDP registers its RTP and RTCP sockets as
// datagram sources, read with recvmmsg in batches of kDatagramBatch: each
// datagram reaches the inbox framed as an interleaved frame ('$', the
// channel it was registered with, 16-bit length), so the camera thread reads
// one byte stream either way; a datagram larger than kMaxDatagram is
// dropped. Its RTSP connection is then registered as control only: what
// comes on it (answers to keep-alives) is read and dropped, its end ends the
// inbox. The reactor thread runs while any camera is registered with it
// through Shared(), and is joined when the last holder lets go.
#ifndef DVRCORE_EXAMPLES_CAMERA_INGEST_REACTOR_H
#define DVRCORE_EXAMPLES_CAMERA_INGEST_REACTOR_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace dvrcamera {

// One connection's received bytes, between the reactor and its camera thread.
class Inbox {
public:
    // Camera thread: moves what arrived into `out` (appending; swapping
    // buffers with an empty `out`, so no copy); waits up to
    // `waitMs` when nothing did. False once the connection has ended and
    // nothing is left; `error` then says why (0: the camera closed it).
    bool Take(std::vector<uint8_t>& out, int waitMs);
    int error() const;

    // Reactor thread: Put adds bytes, Wake then wakes a camera thread
    // waiting in Take.
    void Put(const uint8_t* data, std::size_t size);
    void Wake();
    void End(int error);
    bool Full() const;

private:
    static constexpr std::size_t kMaxHeld = 8u << 20;  // a camera thread that stalls stops the reads
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<uint8_t> bytes_;  // guarded by mutex_
    bool ended_ = false;          // guarded by mutex_
    int error_ = 0;               // guarded by mutex_: errno of the read that ended it, 0 at end of stream
    bool waiting_ = false;        // guarded by mutex_: a camera thread waits in Take
};

class IngestReactor {
public:
    static constexpr int kTickMs = 40;
    static constexpr int kDatagramBatch = 64;
    static constexpr std::size_t kMaxDatagram = 4096;  // RTP over UDP keeps to the network's MTU

    enum class Source {
        kStream,     // interleaved RTSP: its bytes as they come
        kControl,    // RTSP with RTP over UDP: read and dropped
        kDatagrams,  // RTP or RTCP over UDP: each datagram framed on `channel`
    };

    static std::shared_ptr<IngestReactor> Shared();
    IngestReactor();
    ~IngestReactor();
    IngestReactor(const IngestReactor&) = delete;
    IngestReactor& operator=(const IngestReactor&) = delete;

    // Camera threads. Register fails (false) only when epoll refuses the socket.
    bool Register(int socket, Inbox& inbox, Source source = Source::kStream, int channel = 0);
    void Unregister(int socket);

private:
    struct Registration {
        Inbox* inbox;
        Source source;
        int channel;
    };
    void Run();
    void Drain(int socket, const Registration& registration);
    void DrainDatagrams(int socket, const Registration& registration);

    int epoll_ = -1;
    bool stop_ = false;                       // guarded by mutex_
    std::mutex mutex_;                        // held by the reactor while it drains
    std::map<int, Registration> registered_;  // by socket; guarded by mutex_
    std::vector<uint8_t> scratch_;            // reactor thread only
    std::vector<uint8_t> framed_;             // reactor thread only: a batch of datagrams, framed
    std::vector<Inbox*> touched_;             // reactor thread only: the inboxes read in this tick
    std::thread thread_;                      // last: starts once everything above exists
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_INGEST_REACTOR_H
