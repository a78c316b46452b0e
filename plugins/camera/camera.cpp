// RTSP camera plugin: pulls the cameras that the parent service configures
// (camera_config.h), one channel and one thread each (camera_channel.h), and
// raises their frames and states (camera_stream.h).
//
// Threads: the core's IPC thread delivers configuration packets (IOCTL), which
// start, replace and stop cameras; the worker thread asks the parent for the
// cameras at Open and raises every camera's state once a second; each camera's
// own thread raises its frames. Close stops and joins every camera, so nothing
// is raised after it returns.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "camera_channel.h"
#include "camera_config.h"
#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "log_message.h"
#include "plugin_settings.h"

namespace {

using dvrcamera::CameraChannel;
using dvrcamera::NewestWall;
using dvrcamera::ReadPath;
using dvrexample::kCameraId;

// camera.conf: how each camera's RTSP connection is read.
//   rtsp_reader = auto            own reader, libavformat's client when it cannot (default)
//   rtsp_reader.NAME = libavformat   that camera only: auto, own or libavformat
// DVRCORE_RTSP_READER overrides the default.
class ReadPaths {
public:
    void Read(const dvrexample::CoreLink& link)
    {
        int badLine = 0;
        DvrReadSettings(
            "camera.conf",
            [](const char* key, const char* value, void* context) {
                static_cast<ReadPaths*>(context)->Apply(key, value);
            },
            this, &badLine);
        if (badLine != 0) {
            problems_.push_back("camera.conf: line " + std::to_string(badLine) + " is not \"key = value\", skipped");
        }
        if (const char* value = std::getenv("DVRCORE_RTSP_READER"); value != nullptr && *value != '\0') {
            Apply("rtsp_reader", value);
        }
        for (const std::string& problem : problems_) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_ERROR, "%s", problem.c_str());
        }
    }

    ReadPath For(const std::string& name) const
    {
        const auto found = cameras_.find(name);
        return found != cameras_.end() ? found->second : default_;
    }

private:
    void Apply(const std::string& key, const std::string& value)
    {
        const ReadPath path = value == "own"           ? ReadPath::kOwn
                              : value == "libavformat" ? ReadPath::kLibavformat
                                                       : ReadPath::kAuto;
        if (key != "rtsp_reader" && key.rfind("rtsp_reader.", 0) != 0) {
            problems_.push_back("camera.conf: unknown setting " + key);
        } else if (value != "auto" && path == ReadPath::kAuto) {
            problems_.push_back("camera.conf: " + key + " = " + value + " is not auto, own or libavformat, ignored");
        } else if (key == "rtsp_reader") {
            default_ = path;
        } else {
            cameras_[key.substr(sizeof "rtsp_reader." - 1)] = path;
        }
    }

    ReadPath default_ = ReadPath::kAuto;
    std::map<std::string, ReadPath> cameras_;  // by camera name
    std::vector<std::string> problems_;
};

class Cameras {
public:
    explicit Cameras(const dvrexample::CoreLink& link) : link_(link) {}

    void Open()
    {
        avformat_network_init();
        paths_.Read(link_);
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = true;
        wake_.notify_all();
    }

    void Close()
    {
        std::map<uint32_t, std::unique_ptr<CameraChannel>> stopping;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
            stopping.swap(channels_);
            wake_.notify_all();
        }
        for (auto& [channel, camera] : stopping) {
            camera->RequestStop();  // all at once; the joins below then take one short wait
        }
        stopping.clear();
        avformat_network_deinit();
    }

    // IPC thread: one packet from the parent.
    void OnPacket(const uint8_t* bytes, std::size_t length)
    {
        IpcPacketHeader header;
        std::memcpy(&header, bytes, sizeof header);
        if (header.packetType != dvrexample::kCameraConfigure || length != sizeof(dvrexample::CameraConfigPacket)) {
            LogMessage(link_.id(), link_.fn(), LOG_LEVEL_WARNING,
                       "ignored a packet of type 0x%x and %zu bytes (expected a camera configuration of %zu bytes)",
                       static_cast<unsigned>(header.packetType), length, sizeof(dvrexample::CameraConfigPacket));
            return;
        }
        dvrexample::CameraConfig config;
        std::memcpy(&config, bytes + IPC_HEADER_SIZE, sizeof config);
        config.name[sizeof config.name - 1] = '\0';
        config.url[sizeof config.url - 1] = '\0';
        if (config.channel >= dvrexample::kMaxCameras) {
            LogMessage(link_.id(), link_.fn(), LOG_LEVEL_WARNING, "ignored camera %s on channel %u (channels 0..%u)",
                       config.name, config.channel, dvrexample::kMaxCameras - 1);
            return;
        }
        if (config.name[0] == '\0') {
            std::snprintf(config.name, sizeof config.name, "cam%u", config.channel + 1);
        }
        std::unique_ptr<CameraChannel> replaced;
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return;
        }
        std::unique_ptr<CameraChannel>& slot = channels_[config.channel];
        replaced = std::move(slot);
        if (replaced) {
            replaced->RequestStop();
        }
        if (config.enabled != 0) {
            const uint32_t channel = config.channel;
            std::shared_ptr<NewestWall>& newestWall = newestWalls_[channel];
            if (!newestWall) {
                newestWall = std::make_shared<NewestWall>(0);
            }
            slot = std::make_unique<CameraChannel>(link_, config, paths_.For(config.name),
                                                   [this, channel] { return NextRun(channel); }, newestWall);
        } else {
            channels_.erase(config.channel);
        }
        // `replaced` joins its thread after the lock is released (declared first).
    }

    // Worker thread: from Open until Close.
    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return opened_ || closed_; });
        if (!closed_) {
            lock.unlock();
            IpcPacketHeader request{IPC_HEADER_SIZE, dvrexample::kCameraIndex << 20, dvrexample::kCameraConfigRequest,
                                    0};
            link_.SendToParent(&request, sizeof request);
            lock.lock();
        }
        while (!closed_) {
            for (auto& [channel, camera] : channels_) {
                camera->PublishState();
            }
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return closed_; });
        }
    }

private:
    // A camera's thread: the number of its next run. Runs rise per channel
    // across the channel's replacement, and start from the wall clock's
    // seconds, so that a restarted plugin never repeats a run a recorder
    // still holds (unless a camera started more runs than a second each).
    uint32_t NextRun(uint32_t channel)
    {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto seconds = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
        std::lock_guard<std::mutex> lock(runMutex_);
        uint32_t& last = lastRuns_[channel];
        last = std::max(last + 1, seconds);
        return last;
    }

    const dvrexample::CoreLink& link_;
    ReadPaths paths_;  // read at Open, before any camera starts
    std::mutex mutex_;
    std::condition_variable wake_;
    bool opened_ = false;                                          // guarded by mutex_
    bool closed_ = false;                                          // guarded by mutex_
    std::map<uint32_t, std::unique_ptr<CameraChannel>> channels_;  // by channel; guarded by mutex_
    std::map<uint32_t, std::shared_ptr<NewestWall>> newestWalls_;  // by channel; guarded by mutex_
    std::mutex runMutex_;
    std::map<uint32_t, uint32_t> lastRuns_;  // by channel; guarded by runMutex_
};

dvrexample::CoreLink link;
Cameras cameras(link);

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    link.Attach(parms->eventCallback, kCameraId);
    result->id = kCameraId;
    result->workerFlag = 1;
    // Close first: nothing is raised while the others wind down.
    dvrexample::SetCloseRank(*result, 0xF0000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    // FFmpeg's own messages may quote a URL with its password: the plugin
    // reports what matters itself.
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

int32_t Open(void*, void*)
{
    return dvrexample::Guarded([] {
        cameras.Open();
        return 0;
    });
}

int32_t Close(void*, void*)
{
    return dvrexample::Guarded([] {
        cameras.Close();
        return 0;
    });
}

int32_t IOCTL(void* in, void*)
{
    return dvrexample::Guarded([in] {
        const auto* parms = static_cast<IoctlParms*>(in);
        if (parms->command == IOCTL_WORKER_THREAD) {
            cameras.Run();
        } else if (parms->command == IOCTL_IPC_PACKET && parms->argData != nullptr &&
                   parms->argLength >= IPC_HEADER_SIZE) {
            cameras.OnPacket(static_cast<const uint8_t*>(parms->argData), parms->argLength);
        }
        return 0;
    });
}

}  // extern "C"
