// The web plugin: a page for live view and playback in a browser
// (docs/viewing.md), served over HTTP on a thread of its own.
//
// Write, on the core's dispatcher thread, takes the cameras' video and sound frames,
// their states and the catalog's recordings lists. A video frame's block is
// kept (never copied) and posted to the network thread, which muxes it once
// for all of the camera's live viewers, or with no viewer keeps it until the
// next sync frame (live_feed.h), and gives the block back; at most
// kMaxPendingFrames per camera wait so, and a frame beyond them is left to
// the recorder alone (the feed then waits for the next sync frame). So the
// recorder, which keeps its own reference, never waits for a viewer.
//
// Open reads web.conf and starts listening; Close stops the listener, the
// network thread and the media thread, and gives back every block still
// held.
#include <sodium.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "camera_stream.h"
#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "http_server.h"
#include "log_message.h"
#include "recorder_events.h"
#include "recording_settings.h"
#include "web_service.h"
#include "web_settings.h"
#include "web_stream.h"

namespace {

using dvrweb::kWebId;

constexpr int kMaxPendingFrames = 50;

dvrexample::CoreLink coreLink;

// A payload block this plugin kept, given back when the last holder lets go.
class KeptBlock {
public:
    explicit KeptBlock(void* block) : block_(block) {}
    ~KeptBlock() { coreLink.ReleaseBlock(block_); }
    KeptBlock(const KeptBlock&) = delete;
    KeptBlock& operator=(const KeptBlock&) = delete;

private:
    void* block_;
};

class WebPlugin {
public:
    void Open()
    {
        if (sodium_init() < 0) {
            Log(LOG_LEVEL_ERROR, "web: libsodium cannot start; not serving");
            return;
        }
        const dvrweb::WebSettings settings = dvrweb::ReadWebSettings();
        for (const std::string& problem : settings.problems) {
            Log(LOG_LEVEL_WARNING, "web: %s", problem.c_str());
        }
        const bool loopback = dvrweb::IsLoopbackAddress(settings.address);
        if (!loopback && settings.users.empty()) {
            Log(LOG_LEVEL_ERROR,
                "web: listening on %s needs at least one user in web.conf (see web-user); not serving",
                settings.address.c_str());
            return;
        }
        std::unique_ptr<boost::asio::ssl::context> tls;
        if (!settings.tlsCertificate.empty() || !settings.tlsKey.empty()) {
            // Plain HTTP where TLS was asked for would put passwords in clear.
            std::string error = "tls_certificate and tls_key go together";
            if (settings.tlsCertificate.empty() || settings.tlsKey.empty() ||
                (tls = dvrweb::MakeTlsContext(settings.tlsCertificate, settings.tlsKey, error)) == nullptr) {
                Log(LOG_LEVEL_ERROR, "web: %s; not serving", error.c_str());
                return;
            }
        } else if (!loopback) {
            Log(LOG_LEVEL_WARNING,
                "web: listening on %s without TLS: passwords, cookies and video cross the network in clear",
                settings.address.c_str());
        }
        auto service = std::make_unique<dvrweb::WebService>(
            coreLink, std::make_unique<dvrweb::WebAccess>(settings.users, loopback),
            dvrexample::ReadRecordingSettings().root);
        service->tls = std::move(tls);
        auto server = std::make_unique<dvrweb::HttpServer>(*service);
        std::string error;
        if (!server->Listen(settings.address, settings.port, error)) {
            Log(LOG_LEVEL_ERROR, "web: cannot listen on %s port %u: %s", settings.address.c_str(),
                static_cast<unsigned>(settings.port), error.c_str());
            return;
        }
        const bool v6 = settings.address.find(':') != std::string::npos;
        Log(LOG_LEVEL_INFO, "web: serving the page at %s://%s%s%s:%u/", service->tls ? "https" : "http",
            v6 ? "[" : "", settings.address.c_str(),
            v6 ? "]" : "", static_cast<unsigned>(server->port()));
        dvrweb::WebService& web = *service;
        std::lock_guard<std::mutex> lock(mutex_);
        service_ = std::move(service);
        server_ = std::move(server);
        thread_ = std::thread([&web] { web.io.run(); });
    }

    // Dispatcher thread.
    bool Take(const WriteParms& parms)
    {
        if (parms.data == nullptr) {
            return false;
        }
        if ((parms.eventType & (EVT_VIDEO | EVT_AUDIO)) != 0 && (parms.flags & FLAG_FRAME) != 0) {
            return TakeFrame(parms);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (service_ == nullptr) {
            return false;
        }
        if (Is(parms, dvrexample::kCameraStateType, dvrexample::kCameraStateFlag, sizeof(dvrexample::CameraState))) {
            dvrexample::CameraState state;
            std::memcpy(&state, parms.data, sizeof state);
            service_->cameras.Update(state);
        } else if (Is(parms, dvrexample::kDiskType, dvrexample::kRecordingsListFlag,
                      sizeof(dvrexample::RecordingsList))) {
            dvrexample::RecordingsList list;
            std::memcpy(&list, parms.data, sizeof list);
            service_->queries.OnList(parms.handle, list);
        }
        return false;
    }

    void Close()
    {
        std::unique_ptr<dvrweb::WebService> service;
        std::unique_ptr<dvrweb::HttpServer> server;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            service.swap(service_);
            server.swap(server_);
        }
        if (service == nullptr) {
            return;
        }
        boost::asio::post(service->io, [&server] { server->Stop(); });
        service->io.stop();
        thread_.join();
        service->media.join();
        service->queries.CancelAll();
        server.reset();
        service.reset();  // the handlers it still holds give their blocks back
        Log(LOG_LEVEL_INFO, "web: stopped");
    }

private:
    static bool Is(const WriteParms& parms, uint32_t type, uint32_t flag, std::size_t size)
    {
        return (parms.eventType & type) != 0 && (parms.flags & flag) != 0 && parms.dataSize >= size;
    }

    template <typename... Args>
    static void Log(int level, const char* format, Args... args)
    {
        LogMessage(coreLink.id(), coreLink.fn(), level, format, args...);
    }

    // Dispatcher thread: true when the block is kept.
    bool TakeFrame(const WriteParms& parms)
    {
        const uint32_t channel = dvrexample::CameraChannel(parms.providerID);
        if (channel >= dvrexample::kMaxCameras) {
            return false;
        }
        if (pending_[channel].load() >= kMaxPendingFrames) {
            lost_[channel] = true;
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (service_ == nullptr) {
            return false;
        }
        pending_[channel].fetch_add(1);
        auto block = std::make_shared<KeptBlock>(parms.data);
        const dvrexample::MediaFrame frame = dvrexample::LoadMediaFrame(parms);
        const bool lost = lost_[channel];
        lost_[channel] = false;
        dvrweb::WebService& web = *service_;
        boost::asio::post(web.io, [this, &web, block, frame, channel, lost, data = parms.data,
                                   size = parms.dataSize, sync = parms.syncFrame != 0,
                                   audio = (parms.eventType & EVT_AUDIO) != 0] {
            web.feeds[channel].OnFrame(frame, block, static_cast<const uint8_t*>(data), size, sync, audio, lost);
            pending_[channel].fetch_sub(1);
        });
        return true;
    }

    std::mutex mutex_;
    std::unique_ptr<dvrweb::WebService> service_;  // guarded by mutex_ (the pointer; the service guards itself)
    std::unique_ptr<dvrweb::HttpServer> server_;   // guarded by mutex_
    std::thread thread_;                           // Open and Close
    std::array<std::atomic<int>, dvrexample::kMaxCameras> pending_{};  // frames posted, not yet muxed
    std::array<bool, dvrexample::kMaxCameras> lost_{};                 // dispatcher thread
};

WebPlugin plugin;

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    coreLink.Attach(parms->eventCallback, kWebId);
    result->id = kWebId;
    result->writerFlag = 1;
    dvrexample::Subscribe(*result, EVT_VIDEO, dvrexample::DispatchMatch(FLAG_FRAME));
    dvrexample::Subscribe(*result, EVT_AUDIO, dvrexample::DispatchMatch(FLAG_FRAME));
    dvrexample::Subscribe(*result, dvrexample::kCameraStateType, dvrexample::DispatchMatch(dvrexample::kCameraStateFlag));
    dvrexample::Subscribe(*result, dvrexample::kDiskType, dvrexample::DispatchMatch(dvrexample::kRecordingsListFlag));
    // Before the recorder and the catalog: no viewer outlives what it reads.
    dvrexample::SetCloseRank(*result, 0xE8000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

int32_t Open(void*, void*)
{
    return dvrexample::Guarded([] {
        plugin.Open();
        return 0;
    });
}

int32_t Write(void* in, void* out)
{
    return dvrexample::Guarded([in, out] {
        auto* result = static_cast<WriteResult*>(out);
        result->keep = plugin.Take(*static_cast<const WriteParms*>(in)) ? 1 : 0;
        return 0;
    });
}

int32_t Close(void*, void*)
{
    return dvrexample::Guarded([] {
        plugin.Close();
        return 0;
    });
}

}  // extern "C"
