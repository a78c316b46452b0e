// The one thread that reads every camera's RTSP connection in play: it waits
// on all their sockets with epoll and, once per tick (kTickMs), drains each
// readable socket into that camera's inbox with large reads, so one read
// carries many interleaved packets instead of one system call per packet
// piece. The pacing adds at most one tick of latency to a frame.
//
// A camera thread registers its socket (non-blocking) with an inbox it owns,
// takes the bytes with Take, and unregisters before it closes the socket or
// destroys the inbox; after Unregister returns the reactor no longer touches
// either. The reactor thread runs while any camera is registered with it
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

    // Reactor thread.
    void Put(const uint8_t* data, std::size_t size);
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

    static std::shared_ptr<IngestReactor> Shared();
    IngestReactor();
    ~IngestReactor();
    IngestReactor(const IngestReactor&) = delete;
    IngestReactor& operator=(const IngestReactor&) = delete;

    // Camera threads. Register fails (false) only when epoll refuses the socket.
    bool Register(int socket, Inbox& inbox);
    void Unregister(int socket);

private:
    void Run();
    void Drain(int socket, Inbox& inbox);

    int epoll_ = -1;
    bool stop_ = false;              // guarded by mutex_
    std::mutex mutex_;               // held by the reactor while it drains
    std::map<int, Inbox*> inboxes_;  // by socket; guarded by mutex_
    std::vector<uint8_t> scratch_;   // reactor thread only
    std::thread thread_;             // last: starts once everything above exists
};

}  // namespace dvrcamera

#endif  // DVRCORE_EXAMPLES_CAMERA_INGEST_REACTOR_H
