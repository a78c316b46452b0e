// A TCP proxy in front of the test camera server that spoils what it
// forwards the way faulty cameras do, for the camera plugin's own RTSP
// reader. Real sockets both ways; its threads end at destruction.
//
// kGarbage: once the camera plays, every 40th interleaved frame gets company
// in front of it, in turn: junk text, an Annex B start code and slice bytes,
// a frame on a channel nobody set up, a frame too short to be RTP, and one
// frame whose length says 24 bytes more than it has. CutMidFrame() then ends
// the connections in the middle of a frame; later connections pass clean.
// kRefuseOwnReader: a connection whose first request comes from the plugin's
// own reader (User-Agent dvrcore) is answered with bytes that are no RTSP;
// libavformat's client passes through.
#ifndef DVRCORE_TESTS_CAMERA_SPOILING_PROXY_H
#define DVRCORE_TESTS_CAMERA_SPOILING_PROXY_H

#include <atomic>
#include <string>
#include <thread>
#include <vector>

class SpoilingProxy {
public:
    enum class Mode { kGarbage, kRefuseOwnReader };

    SpoilingProxy(const std::string& upstreamPort, Mode mode);
    ~SpoilingProxy();
    SpoilingProxy(const SpoilingProxy&) = delete;
    SpoilingProxy& operator=(const SpoilingProxy&) = delete;

    std::string port() const { return std::to_string(port_); }
    void CutMidFrame() { cut_ = true; }
    // Spoilers sent so far.
    int spoiled() const { return spoiled_; }

private:
    void Accept();
    void Forward(int client);

    const std::string upstreamPort_;
    const Mode mode_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::atomic<bool> spoiling_{true};  // until the cut
    std::atomic<int> spoiled_{0};
    std::vector<std::thread> connections_;  // accept thread only, joined at destruction
    std::thread acceptor_;
};

#endif  // DVRCORE_TESTS_CAMERA_SPOILING_PROXY_H
