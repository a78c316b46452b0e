// One live viewer: a WebSocket that carries the camera's MIME type and the
// wall time of the stream's time 0 (a text message) and then its fragmented MP4 (binary messages: the header, then
// one fragment per frame) for Media Source Extensions.
//
// The backlog is bounded in bytes (kMaxBacklogBytes) and in time
// (kMaxBacklogNs between the oldest waiting fragment and the newest): a
// viewer that falls behind loses what waits and skips to the next sync
// frame; one that falls behind kMaxSkips times within kSkipWindowNs is
// disconnected with the reason in the close frame. The recorder never
// waits for a viewer: the feed only hands fragments over.
//
// Network thread only.
#ifndef DVRCORE_WEB_LIVE_SESSION_H
#define DVRCORE_WEB_LIVE_SESSION_H

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <deque>
#include <memory>

#include "live_feed.h"
#include "web_service.h"
#include "web_stream.h"

namespace dvrweb {

// Over PlainStream or TlsStream (web_stream.h).
template <typename Stream>
class LiveSession : public LiveViewer, public std::enable_shared_from_this<LiveSession<Stream>> {
public:
    static constexpr std::size_t kMaxBacklogBytes = 8 << 20;
    static constexpr int64_t kMaxBacklogNs = 2000000000;
    static constexpr unsigned kMaxSkips = 3;
    static constexpr int64_t kSkipWindowNs = 30000000000;

    LiveSession(Stream&& stream, WebService& web, uint32_t channel);
    ~LiveSession() override;

    void Start(boost::beast::http::request<boost::beast::http::string_body> upgrade);

    void OnStart(const std::string& mime, double epochMs, const FragmentPtr& header) override;
    void OnFragment(const FragmentPtr& fragment) override;

private:
    struct Outgoing {
        FragmentPtr bytes;
        bool text = false;
    };

    void DoRead();
    void DoWrite();
    void Disconnect(const std::string& reason);

    boost::beast::websocket::stream<Stream> socket_;
    WebService& web_;
    const uint32_t channel_;
    boost::beast::flat_buffer readBuffer_;
    std::deque<Outgoing> queue_;  // front is being written while writing_
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool open_ = false;
    bool closing_ = false;
    bool waitingForSync_ = false;
    std::deque<int64_t> skips_;  // wall times of recent skips
};

extern template class LiveSession<PlainStream>;
extern template class LiveSession<TlsStream>;

}  // namespace dvrweb

#endif  // DVRCORE_WEB_LIVE_SESSION_H
