#include "live_session.h"

#include "json_text.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace dvrweb {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

template <typename Stream>
LiveSession<Stream>::LiveSession(Stream&& stream, WebService& web, uint32_t channel)
    : socket_(std::move(stream)), web_(web), channel_(channel)
{
    web_.connections.fetch_add(1);
}

template <typename Stream>
LiveSession<Stream>::~LiveSession()
{
    web_.connections.fetch_sub(1);
}

template <typename Stream>
void LiveSession<Stream>::Start(beast::http::request<beast::http::string_body> upgrade)
{
    beast::get_lowest_layer(socket_).expires_never();
    socket_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    socket_.binary(true);
    socket_.async_accept(upgrade, [self = this->shared_from_this()](const beast::error_code& error) {
        if (error) {
            return;
        }
        self->open_ = true;
        self->web_.feeds[self->channel_].Attach(self);
        self->DoRead();
        self->DoWrite();
    });
}

template <typename Stream>
void LiveSession<Stream>::DoRead()
{
    // The viewer sends nothing of use; reading notices its close.
    socket_.async_read(readBuffer_, [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
        if (error) {
            self->closing_ = true;
            self->web_.feeds[self->channel_].Detach(self.get());
            return;
        }
        self->readBuffer_.consume(self->readBuffer_.size());
        self->DoRead();
    });
}

template <typename Stream>
void LiveSession<Stream>::OnStart(const std::string& mime, double epochMs, const FragmentPtr& header)
{
    // A new stream replaces what waits of the old one.
    while (queue_.size() > (writing_ ? 1u : 0u)) {
        queuedBytes_ -= queue_.back().bytes->bytes.size();
        queue_.pop_back();
    }
    auto text = std::make_shared<LiveFragment>();
    char epoch[32];
    std::snprintf(epoch, sizeof epoch, "%.3f", epochMs);
    text->bytes = "{\"mime\":" + JsonString(mime) + ",\"epoch\":" + epoch + "}";
    queue_.push_back({text, true});
    queue_.push_back({header, false});
    queuedBytes_ += text->bytes.size() + header->bytes.size();
    waitingForSync_ = true;
    DoWrite();
}

template <typename Stream>
void LiveSession<Stream>::OnFragment(const FragmentPtr& fragment)
{
    if (closing_) {
        return;
    }
    if (waitingForSync_ && !fragment->sync) {
        return;
    }
    waitingForSync_ = false;
    const std::size_t first = writing_ ? 1 : 0;
    int64_t oldest = fragment->wallTimeNs;  // of the fragments that wait
    for (std::size_t i = first; i < queue_.size(); ++i) {
        if (queue_[i].bytes->wallTimeNs != 0) {
            oldest = queue_[i].bytes->wallTimeNs;
            break;
        }
    }
    const bool behind = queuedBytes_ + fragment->bytes.size() > kMaxBacklogBytes ||
                        fragment->wallTimeNs - oldest > kMaxBacklogNs;
    if (behind) {
        // Drop what waits (never the header: keep the first binary message
        // of a stream that has not been written yet) and go on at the next
        // sync frame.
        while (queue_.size() > first && queue_.back().bytes->wallTimeNs != 0) {
            queuedBytes_ -= queue_.back().bytes->bytes.size();
            queue_.pop_back();
        }
        skips_.push_back(fragment->wallTimeNs);
        while (!skips_.empty() && fragment->wallTimeNs - skips_.front() > kSkipWindowNs) {
            skips_.pop_front();
        }
        if (skips_.size() >= kMaxSkips) {
            Disconnect("too slow: fell behind " + std::to_string(skips_.size()) + " times in 30 s");
            return;
        }
        web_.Log(LOG_LEVEL_DETAIL, "live viewer of channel %u fell behind, skipping to the next sync frame",
                 static_cast<unsigned>(channel_));
        if (!fragment->sync) {
            waitingForSync_ = true;
            return;
        }
    }
    queue_.push_back({fragment, false});
    queuedBytes_ += fragment->bytes.size();
    DoWrite();
}

template <typename Stream>
void LiveSession<Stream>::DoWrite()
{
    if (writing_ || !open_ || closing_ || queue_.empty()) {
        return;
    }
    writing_ = true;
    const Outgoing& next = queue_.front();
    socket_.text(next.text);
    socket_.async_write(boost::asio::buffer(next.bytes->bytes),
                        [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
                            self->writing_ = false;
                            if (!self->queue_.empty()) {
                                self->queuedBytes_ -= self->queue_.front().bytes->bytes.size();
                                self->queue_.pop_front();
                            }
                            if (error) {
                                self->closing_ = true;
                                self->web_.feeds[self->channel_].Detach(self.get());
                                return;
                            }
                            self->DoWrite();
                        });
}

template <typename Stream>
void LiveSession<Stream>::Disconnect(const std::string& reason)
{
    web_.Log(LOG_LEVEL_INFO, "live viewer of channel %u disconnected: %s", static_cast<unsigned>(channel_),
             reason.c_str());
    closing_ = true;
    web_.feeds[channel_].Detach(this);
    // The message being written stays alive until its write ends.
    queue_.resize(writing_ ? 1 : 0);
    // Beast lets the close frame wait for a write under way.
    socket_.async_close(websocket::close_reason(websocket::close_code::policy_error, reason),
                        [self = this->shared_from_this()](const beast::error_code&) {});
}

template class LiveSession<PlainStream>;
template class LiveSession<TlsStream>;

}  // namespace dvrweb
