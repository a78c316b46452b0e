#include "http_session.h"

#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <cinttypes>
#include <cstdlib>
#include <limits>

#include "api_request.h"
#include "json_text.h"
#include "live_session.h"
#include "page_files.h"
#include "recorded_spans.h"
#include "segment_remuxer.h"
#include "web_stream.h"

namespace dvrweb {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using Response = http::response<http::string_body>;

constexpr std::size_t kPlaybackChunkBytes = 256 * 1024;
constexpr int64_t kMsToNs = 1000000;

const char* StatusName(uint32_t status)
{
    switch (status) {
    case DVR_CAMERA_CONNECTING:
        return "connecting";
    case DVR_CAMERA_RECORDING:
        return "recording";
    case DVR_CAMERA_RECONNECTING:
        return "reconnecting";
    case DVR_CAMERA_STOPPED:
        return "stopped";
    default:
        return "unknown";
    }
}

std::string Milliseconds(int64_t ns)
{
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64, ns / kMsToNs, (ns % kMsToNs) / 1000);
    return text;
}

// A name the index gave: relative, without a way up. Anything else is no
// file of the recordings.
bool IsRecordingName(const std::string& name)
{
    return !name.empty() && name[0] != '/' && name.find("..") == std::string::npos;
}

template <typename Stream>
Stream MakeStream(boost::asio::ip::tcp::socket&& socket, WebService& web)
{
    if constexpr (kIsTls<Stream>) {
        return Stream(std::move(socket), *web.tls);
    } else {
        return Stream(std::move(socket));
    }
}

template <typename Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(boost::asio::ip::tcp::socket&& socket, WebService& web)
        : stream_(MakeStream<Stream>(std::move(socket), web)), web_(web)
    {
        web_.connections.fetch_add(1);
        beast::error_code error;
        const auto endpoint = tcp().socket().remote_endpoint(error);
        address_ = error ? std::string("?") : endpoint.address().to_string();
    }
    ~HttpSession() { web_.connections.fetch_sub(1); }

    void Start()
    {
        if constexpr (kIsTls<Stream>) {
            tcp().expires_after(std::chrono::seconds(kRequestSeconds));
            stream_.async_handshake(boost::asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](const beast::error_code& error) {
                                        if (!error) {
                                            self->DoRead();
                                        }
                                    });
        } else {
            DoRead();
        }
    }

private:
    beast::tcp_stream& tcp() { return beast::get_lowest_layer(stream_); }

    void DoRead()
    {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        tcp().expires_after(std::chrono::seconds(kRequestSeconds));
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
                             self->OnRead(error);
                         });
    }

    void OnRead(const beast::error_code& error)
    {
        if (error == http::error::end_of_stream) {
            return EndConnection(stream_, this->shared_from_this());
        }
        if (error) {
            // Too long, malformed or too slow: one answer if it can still be
            // read, then the connection goes.
            if (error == http::error::header_limit || error == http::error::body_limit) {
                keepAlive_ = false;
                Reply(Error(http::status::payload_too_large, "request too large"));
            } else if (error != beast::error::timeout && error.category() == http::make_error_code(http::error::bad_target).category()) {
                keepAlive_ = false;
                Reply(Error(http::status::bad_request, "malformed request"));
            }
            return;
        }
        request_ = parser_->release();
        keepAlive_ = request_.keep_alive();
        Route();
    }

    void Route()
    {
        const std::optional<ApiTarget> target = ParseTarget(std::string_view(request_.target().data(), request_.target().size()));
        if (!target) {
            return Reply(Error(http::status::bad_request, "malformed target"));
        }
        const http::verb method = request_.method();
        const std::string& path = target->path;
        if (method == http::verb::post && path == "/api/login") {
            return Login();
        }
        if (method != http::verb::get && method != http::verb::head && method != http::verb::post) {
            return Reply(Error(http::status::method_not_allowed, "method not allowed"));
        }
        for (const PageFile& file : PageFiles()) {
            if (path == file.path || (path == "/" && file.path == "/index.html")) {
                Response response = Base(http::status::ok, std::string(file.type));
                response.body() = std::string(file.body);
                return Reply(std::move(response));
            }
        }
        if (path.compare(0, 5, "/api/") != 0) {
            return Reply(Error(http::status::not_found, "not found"));
        }
        user_ = web_.access->UserOf(std::string(request_[http::field::cookie]), WebAccess::Clock::now());
        if (path == "/api/session") {
            return Reply(Json(http::status::ok, std::string("{\"open\":") + (web_.access->open() ? "true" : "false") +
                                                    ",\"user\":" + (user_ ? JsonString(*user_) : "null") + "}"));
        }
        if (!web_.access->open() && !user_) {
            return Reply(Error(http::status::unauthorized, "log in first"));
        }
        if (method == http::verb::post && path == "/api/logout") {
            web_.access->Logout(std::string(request_[http::field::cookie]));
            Response response = Json(http::status::ok, "{}");
            response.set(http::field::set_cookie, std::string(kSessionCookie) + "=; Max-Age=0" + CookieAttributes());
            return Reply(std::move(response));
        }
        if (method == http::verb::post) {
            return Reply(Error(http::status::method_not_allowed, "method not allowed"));
        }
        if (path == "/api/cameras") {
            return Cameras();
        }
        const std::optional<std::string> camera = ParseCameraName(QueryValue(*target, "camera"));
        if (!camera) {
            return Reply(Error(http::status::bad_request, "camera: a camera's name"));
        }
        const std::optional<dvrexample::CameraState> state = web_.cameras.Find(*camera);
        if (!state) {
            return Reply(Error(http::status::not_found, "no such camera"));
        }
        if (path == "/api/live") {
            return Live(state->channel);
        }
        if (path == "/api/recordings") {
            const std::optional<int64_t> from = ParseTimeMs(QueryValue(*target, "from"));
            const std::optional<int64_t> to = ParseTimeMs(QueryValue(*target, "to"));
            if (!from || !to || *to <= *from || *to - *from > kMaxRangeMs) {
                return Reply(Error(http::status::bad_request, "from, to: milliseconds since 1970, from < to, at most 31 days"));
            }
            return Recordings(*camera, *from * kMsToNs, *to * kMsToNs);
        }
        if (path == "/api/playback" || path == "/api/clip") {
            const std::optional<int64_t> start = ParseTimeMs(QueryValue(*target, "start"));
            const std::optional<int64_t> duration = ParseDurationSeconds(QueryValue(*target, "duration"));
            if (!start || !duration) {
                return Reply(Error(http::status::bad_request, "start: milliseconds since 1970; duration: 1 to 3600 seconds"));
            }
            return Playback(*camera, *start * kMsToNs, *duration * 1000 * kMsToNs, path == "/api/clip");
        }
        return Reply(Error(http::status::not_found, "not found"));
    }

    // ---- Answers

    Response Base(http::status status, const std::string& type) const
    {
        Response response(status, request_.version());
        response.set(http::field::server, "dvrcore");
        response.set(http::field::content_type, type);
        response.set("Content-Security-Policy",
                     "default-src 'self'; media-src 'self' blob:; img-src 'self' data:; object-src 'none'; "
                     "base-uri 'none'; frame-ancestors 'none'; form-action 'self'");
        response.set("X-Content-Type-Options", "nosniff");
        response.set("Referrer-Policy", "no-referrer");
        response.set(http::field::cache_control, "no-store");
        if constexpr (kIsTls<Stream>) {
            response.set(http::field::strict_transport_security, "max-age=31536000");
        }
        response.keep_alive(keepAlive_);
        return response;
    }

    // Over TLS the browser never sends the session cookie in clear.
    static std::string CookieAttributes()
    {
        return std::string("; Path=/; HttpOnly; SameSite=Strict") + (kIsTls<Stream> ? "; Secure" : "");
    }

    Response Json(http::status status, std::string body) const
    {
        Response response = Base(status, "application/json");
        response.body() = std::move(body);
        return response;
    }

    Response Error(http::status status, const char* why) const
    {
        return Json(status, std::string("{\"error\":") + JsonString(why) + "}");
    }

    void Reply(Response&& response)
    {
        auto held = std::make_shared<Response>(std::move(response));
        if (request_.method() == http::verb::head) {
            held->content_length(held->body().size());
            held->body().clear();
        } else {
            held->prepare_payload();
        }
        http::async_write(stream_, *held, [self = this->shared_from_this(), held](const beast::error_code& error, std::size_t) {
            self->AfterReply(error, held->need_eof());
        });
    }

    void AfterReply(const beast::error_code& error, bool close)
    {
        if (error || close || !keepAlive_) {
            return EndConnection(stream_, this->shared_from_this());
        }
        DoRead();
    }

    // ---- Login: the password is checked on the media thread, after the
    // address's delay.

    void Login()
    {
        const std::optional<std::map<std::string, std::string>> form = ParseForm(request_.body());
        const auto field = [&form](const char* key) -> std::string {
            if (!form) {
                return {};
            }
            const auto found = form->find(key);
            return found == form->end() ? std::string() : found->second;
        };
        const std::string user = field("user");
        const std::string password = field("password");
        if (user.empty() || password.empty()) {
            return Reply(Error(http::status::bad_request, "user and password, as a form"));
        }
        auto timer = std::make_shared<boost::asio::steady_timer>(stream_.get_executor());
        timer->expires_after(web_.access->LoginDelay(address_, WebAccess::Clock::now()));
        timer->async_wait([self = this->shared_from_this(), timer, user, password](const beast::error_code&) {
            boost::asio::post(self->web_.media, [self, user, password] {
                const bool passed = self->web_.access->CheckPassword(user, password);
                boost::asio::post(self->stream_.get_executor(), [self, user, passed] { self->Admit(user, passed); });
            });
        });
    }

    void Admit(const std::string& user, bool passed)
    {
        const std::optional<std::string> token = web_.access->Admit(address_, user, passed, WebAccess::Clock::now());
        if (!token) {
            web_.Log(LOG_LEVEL_WARNING, "failed login from %s", address_.c_str());
            return Reply(Error(http::status::forbidden, "wrong user or password"));
        }
        Response response = Json(http::status::ok, "{\"user\":" + JsonString(user) + "}");
        response.set(http::field::set_cookie,
                     std::string(kSessionCookie) + "=" + *token + CookieAttributes());
        Reply(std::move(response));
    }

    // ---- Cameras: their states and, from the catalog, what each recorded.

    void Cameras()
    {
        const std::vector<dvrexample::CameraState> cameras = web_.cameras.All();
        if (cameras.empty()) {
            return Reply(Json(http::status::ok, "[]"));
        }
        struct Gathered {
            std::vector<std::string> items;
            std::size_t left;
        };
        auto gathered = std::make_shared<Gathered>(Gathered{std::vector<std::string>(cameras.size()), cameras.size()});
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            const dvrexample::CameraState camera = cameras[i];
            web_.queries.Ask(camera.name, 0, std::numeric_limits<int64_t>::max(),
                             [self = this->shared_from_this(), gathered, camera, i](Segments segments, bool) {
                                 gathered->items[i] = self->CameraJson(camera, segments);
                                 if (--gathered->left == 0) {
                                     std::string body = "[";
                                     for (const std::string& item : gathered->items) {
                                         body += (body.size() > 1 ? "," : "") + item;
                                     }
                                     self->Reply(self->Json(http::status::ok, body + "]"));
                                 }
                             });
        }
    }

    std::string CameraJson(const dvrexample::CameraState& camera, const Segments& segments) const
    {
        uint64_t bytes = 0;
        int64_t first = 0;
        int64_t last = 0;
        for (const dvrexample::RecordingEntry& entry : segments) {
            bytes += entry.bytes;
            first = first == 0 ? entry.startNs : std::min(first, entry.startNs);
            last = std::max(last, entry.endNs);
        }
        const std::string& mime = web_.feeds[camera.channel].mime();
        const char* codec = camera.videoCodec == dvrexample::Codec::kH265   ? "h265"
                            : camera.videoCodec == dvrexample::Codec::kH264 ? "h264"
                                                                            : "none";
        return "{\"channel\":" + std::to_string(camera.channel) + ",\"name\":" + JsonString(camera.name) +
               ",\"status\":\"" + StatusName(static_cast<uint32_t>(camera.status)) + "\",\"codec\":\"" + codec +
               "\",\"width\":" + std::to_string(camera.width) + ",\"height\":" + std::to_string(camera.height) +
               ",\"mime\":" + (mime.empty() ? "null" : JsonString(mime)) + ",\"recorded\":{\"bytes\":" +
               std::to_string(bytes) + ",\"first\":" + (first == 0 ? "null" : Milliseconds(first)) +
               ",\"last\":" + (last == 0 ? "null" : Milliseconds(last)) + "}}";
    }

    // ---- Recordings: spans and gaps.

    void Recordings(const std::string& camera, int64_t fromNs, int64_t toNs)
    {
        web_.queries.Ask(camera, fromNs, toNs, [self = this->shared_from_this(), camera, fromNs, toNs](Segments segments, bool complete) {
            const std::vector<RecordedSpan> spans = MergeSpans(std::move(segments));
            std::string body = "{\"camera\":" + JsonString(camera) + ",\"from\":" + Milliseconds(fromNs) +
                               ",\"to\":" + Milliseconds(toNs) + ",\"complete\":" + (complete ? "true" : "false") +
                               ",\"spans\":[";
            for (std::size_t i = 0; i < spans.size(); ++i) {
                body += std::string(i > 0 ? "," : "") + "{\"start\":" + Milliseconds(spans[i].startNs) +
                        ",\"end\":" + Milliseconds(spans[i].endNs) + ",\"bytes\":" + std::to_string(spans[i].bytes) +
                        ",\"segments\":" + std::to_string(spans[i].segments) + "}";
            }
            body += "],\"gaps\":[";
            const std::vector<TimeGap> gaps = GapsBetween(spans, fromNs, toNs);
            for (std::size_t i = 0; i < gaps.size(); ++i) {
                body += std::string(i > 0 ? "," : "") + "{\"start\":" + Milliseconds(gaps[i].startNs) +
                        ",\"end\":" + Milliseconds(gaps[i].endNs) + "}";
            }
            self->Reply(self->Json(http::status::ok, body + "]}"));
        });
    }

    // ---- Live view: the upgrade goes to a LiveSession.

    void Live(uint32_t channel)
    {
        if (!beast::websocket::is_upgrade(request_)) {
            return Reply(Error(http::status::upgrade_required, "live view is a WebSocket"));
        }
        // A page of another site may not open it with this browser's cookie.
        const beast::string_view origin = request_[http::field::origin];
        const beast::string_view host = request_[http::field::host];
        const std::size_t scheme = origin.find("://");
        if (!origin.empty() && (scheme == beast::string_view::npos || origin.substr(scheme + 3) != host)) {
            return Reply(Error(http::status::forbidden, "another site's page"));
        }
        std::make_shared<LiveSession<Stream>>(std::move(stream_), web_, channel)->Start(std::move(request_));
    }

    // ---- Playback and clips: the segments from the catalog, remuxed on the
    // media thread.

    void Playback(const std::string& camera, int64_t startNs, int64_t lengthNs, bool clip)
    {
        const int64_t endNs = startNs + lengthNs;
        web_.queries.Ask(camera, startNs, endNs, [self = this->shared_from_this(), camera, startNs, endNs, clip](Segments segments, bool) {
            std::vector<SegmentFile> files;
            for (const dvrexample::RecordingEntry& entry : segments) {
                if (IsRecordingName(entry.name)) {
                    files.push_back({self->web_.recordingsRoot + "/" + entry.name, entry.startNs, entry.endNs});
                }
            }
            if (files.empty()) {
                return self->Reply(self->Error(http::status::not_found, "nothing recorded there"));
            }
            auto spans = std::make_shared<std::vector<RecordedSpan>>(MergeSpans(std::move(segments)));
            auto remuxer = std::make_shared<SegmentRemuxer>(std::move(files), startNs, endNs);
            boost::asio::post(self->web_.media, [self, remuxer, spans, camera, startNs, clip] {
                if (clip) {
                    self->MakeClip(remuxer, camera, startNs);
                } else {
                    self->OpenPlayback(remuxer, spans, startNs);
                }
            });
        });
    }

    // Media thread.
    void OpenPlayback(const std::shared_ptr<SegmentRemuxer>& remuxer,
                      const std::shared_ptr<std::vector<RecordedSpan>>& spans, int64_t startNs)
    {
        std::string error;
        std::shared_ptr<Mp4Output> output;
        if (remuxer->Open()) {
            output = Mp4Output::Fragmented(remuxer->video(), remuxer->audio(), error);
        }
        auto header = std::make_shared<std::string>(output ? output->TakeBytes() : std::string());
        const std::string mime = output ? MimeType(remuxer->video(), remuxer->audio()) : std::string();
        boost::asio::post(stream_.get_executor(), [self = this->shared_from_this(), remuxer, output, header, spans, startNs, mime] {
            if (!output) {
                return self->Reply(self->Error(http::status::not_found, remuxer->error().c_str()));
            }
            self->StartPlayback(remuxer, output, header, *spans, startNs, mime);
        });
    }

    void StartPlayback(const std::shared_ptr<SegmentRemuxer>& remuxer, const std::shared_ptr<Mp4Output>& output,
                       const std::shared_ptr<std::string>& header, const std::vector<RecordedSpan>& spans,
                       int64_t startNs, const std::string& mime)
    {
        // Where the stream's time lands on the wall clock: each span starts
        // where the one before it ended in stream time; the gaps are left
        // out and named.
        std::string timeline;
        std::string gaps;
        double streamSeconds = remuxer->firstFrameTime();
        int64_t previousEnd = 0;
        for (const RecordedSpan& span : spans) {
            const int64_t from = std::max(span.startNs, remuxer->firstFrameNs());
            if (span.endNs <= from) {
                continue;
            }
            if (previousEnd != 0) {
                gaps += (gaps.empty() ? "" : ",") + Milliseconds(previousEnd) + "-" + Milliseconds(span.startNs);
            }
            char anchor[64];
            std::snprintf(anchor, sizeof anchor, "%.3f@", streamSeconds);
            timeline += (timeline.empty() ? "" : ",") + (anchor + Milliseconds(from));
            streamSeconds += static_cast<double>(span.endNs - from) / 1e9;
            previousEnd = span.endNs;
        }
        response_ = std::make_shared<http::response<http::empty_body>>(http::status::ok, request_.version());
        const Response base = Base(http::status::ok, "video/mp4");
        for (const auto& field : base) {
            response_->set(field.name_string(), field.value());
        }
        char offset[32];
        std::snprintf(offset, sizeof offset, "%.6f",
                      remuxer->firstFrameTime() + static_cast<double>(startNs - remuxer->firstFrameNs()) / 1e9);
        response_->set("X-Playback-Mime", mime);
        response_->set("X-Playback-Offset", offset);
        response_->set("X-Playback-First", Milliseconds(remuxer->firstFrameNs()));
        response_->set("X-Playback-Timeline", timeline);
        response_->set("X-Playback-Gaps", gaps);
        response_->chunked(true);
        keepAlive_ = false;
        response_->keep_alive(false);
        serializer_ = std::make_shared<http::response_serializer<http::empty_body>>(*response_);
        http::async_write_header(stream_, *serializer_,
                                 [self = this->shared_from_this(), remuxer, output, header](const beast::error_code& error, std::size_t) {
                                     if (!error) {
                                         self->SendChunk(remuxer, output, header);
                                     }
                                 });
    }

    void SendChunk(const std::shared_ptr<SegmentRemuxer>& remuxer, const std::shared_ptr<Mp4Output>& output,
                   const std::shared_ptr<std::string>& bytes)
    {
        if (bytes->empty()) {
            if (remuxer->done()) {
                if (!remuxer->error().empty()) {
                    web_.Log(LOG_LEVEL_WARNING, "playback stopped: %s", remuxer->error().c_str());
                }
                boost::asio::async_write(stream_, http::make_chunk_last(),
                                         [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
                                             self->AfterReply(error, true);
                                         });
                return;
            }
            return NextChunk(remuxer, output);
        }
        tcp().expires_after(std::chrono::seconds(60));
        boost::asio::async_write(stream_, http::make_chunk(boost::asio::buffer(*bytes)),
                                 [self = this->shared_from_this(), remuxer, output, bytes](const beast::error_code& error, std::size_t) {
                                     if (!error) {
                                         self->NextChunk(remuxer, output);
                                     }
                                 });
    }

    void NextChunk(const std::shared_ptr<SegmentRemuxer>& remuxer, const std::shared_ptr<Mp4Output>& output)
    {
        boost::asio::post(web_.media, [self = this->shared_from_this(), remuxer, output] {
            if (!remuxer->done()) {
                remuxer->Step(*output, kPlaybackChunkBytes, true);
            }
            auto bytes = std::make_shared<std::string>(output->TakeBytes());
            boost::asio::post(self->stream_.get_executor(), [self, remuxer, output, bytes] {
                self->SendChunk(remuxer, output, bytes);
            });
        });
    }

    // Media thread: the whole clip into a temporary file, then sent.
    void MakeClip(const std::shared_ptr<SegmentRemuxer>& remuxer, const std::string& camera, int64_t startNs)
    {
        const char* directory = std::getenv("TMPDIR");
        std::string path = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") + "/dvrcore-clip-XXXXXX";
        const int fd = ::mkstemp(path.data());
        std::string error;
        bool made = fd >= 0;
        if (made) {
            ::close(fd);
        }
        std::unique_ptr<Mp4Output> output;
        made = made && remuxer->Open() && (output = Mp4Output::File(path, remuxer->video(), remuxer->audio(), error)) != nullptr;
        while (made && !remuxer->done()) {
            made = remuxer->Step(*output, kPlaybackChunkBytes, false);
        }
        made = made && output->Finish();
        output.reset();
        auto body = std::make_shared<http::response<http::file_body>>(http::status::ok, request_.version());
        beast::error_code opened;
        if (made) {
            body->body().open(path.c_str(), beast::file_mode::scan, opened);
        }
        if (fd >= 0) {
            ::unlink(path.c_str());  // open or not, it goes with the last reference
        }
        boost::asio::post(stream_.get_executor(), [self = this->shared_from_this(), body, made, opened, camera, startNs, remuxer] {
            if (!made || opened) {
                return self->Reply(self->Error(http::status::not_found, remuxer->error().empty() ? "cannot make the clip" : remuxer->error().c_str()));
            }
            const Response base = self->Base(http::status::ok, "video/mp4");
            for (const auto& field : base) {
                body->set(field.name_string(), field.value());
            }
            std::string safe;
            for (const char c : camera) {
                safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
            }
            body->set(http::field::content_disposition,
                      "attachment; filename=\"" + safe + "_" + std::to_string(startNs / 1000000000) + ".mp4\"");
            body->prepare_payload();
            self->tcp().expires_after(std::chrono::minutes(10));
            http::async_write(self->stream_, *body, [self, body](const beast::error_code& error, std::size_t) {
                self->AfterReply(error, body->need_eof());
            });
        });
    }

    Stream stream_;
    WebService& web_;
    std::string address_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    bool keepAlive_ = false;
    std::optional<std::string> user_;
    std::shared_ptr<http::response<http::empty_body>> response_;
    std::shared_ptr<http::response_serializer<http::empty_body>> serializer_;
};

}  // namespace

void ServeConnection(boost::asio::ip::tcp::socket&& socket, WebService& web)
{
    if (web.tls != nullptr) {
        std::make_shared<HttpSession<TlsStream>>(std::move(socket), web)->Start();
    } else {
        std::make_shared<HttpSession<PlainStream>>(std::move(socket), web)->Start();
    }
}

}  // namespace dvrweb
