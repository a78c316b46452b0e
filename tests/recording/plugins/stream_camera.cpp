// A camera for the recording tests: raises the access units of H.264 or H.265
// elementary-stream files, made by the test with the ffmpeg tool, exactly as
// the RTSP camera plugin does (camera_stream.h), looping each file, 25 frames
// a second in real time, with wall times from the system clock.
//
// DVRCORE_TEST_STREAMS="name=file[,name=file...]" names the cameras (channel
// 0, 1, ...); the codec comes from the extension (.h264, .h265). With
// DVRCORE_TEST_RUN_FRAMES=N every camera starts a new run after each N
// frames, as after a reconnection: media time restarts and a second passes
// without frames. At Close it writes "<name> raised <frames>" per camera to
// stream-camera.txt in the working directory.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "camera_stream.h"
#include "plugin_api.h"

namespace {

using namespace dvrexample;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kFrameTicks = kMediaClockHz / 25;

struct Unit {
    std::string bytes;
    bool sync;
};

struct Camera {
    std::string name;
    Codec codec = Codec::kNone;
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<Unit> units;
    uint64_t raised = 0;
    uint64_t dropped = 0;
    bool waitingForSync = false;
};

EventFunction raise = nullptr;
std::atomic<bool> stopping{false};
std::vector<Camera> cameras;

bool ReadUnits(const std::string& path, Camera& camera)
{
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
        return false;
    }
    avformat_find_stream_info(input, nullptr);
    camera.width = static_cast<uint16_t>(input->streams[0]->codecpar->width);
    camera.height = static_cast<uint16_t>(input->streams[0]->codecpar->height);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        camera.units.push_back(
            {std::string(reinterpret_cast<char*>(packet->data), packet->size), (packet->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return !camera.units.empty() && camera.units[0].sync;
}

int Raise(_EventParmsIn& in)
{
    _EventParmsOut out{sizeof out, 1, RESULT_OK};
    raise(&in, &out);
    return out.result;
}

_EventParmsIn Record(uint32_t provider, uint32_t type, uint32_t flags, const void* data, std::size_t size)
{
    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.providerID = provider;
    in.eventType = type;
    in.flags = flags;
    in.data = const_cast<void*>(data);
    in.dataSize = static_cast<uint32_t>(size);
    return in;
}

void RaiseState(uint32_t channel, const Camera& camera)
{
    CameraState state{};
    state.channel = channel;
    state.status = CameraStatus::kRecording;
    std::strncpy(state.name, camera.name.c_str(), sizeof state.name - 1);
    state.videoCodec = camera.codec;
    state.width = camera.width;
    state.height = camera.height;
    state.framesRaised = camera.raised;
    state.framesDropped = camera.dropped;
    _EventParmsIn in = Record(kCameraId, kCameraStateType, kCameraStateFlag, &state, sizeof state);
    Raise(in);
}

void Run()
{
    const char* runText = std::getenv("DVRCORE_TEST_RUN_FRAMES");
    const uint64_t runFrames = runText != nullptr ? std::strtoull(runText, nullptr, 10) : 0;
    const Clock::time_point start = Clock::now();
    const auto wallNow = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    int64_t anchor = wallNow();
    uint32_t run = 1;
    uint64_t runStart = 0;
    Clock::duration pause{};
    for (uint64_t i = 0; !stopping.load(); ++i) {
        if (runFrames > 0 && i > 0 && i % runFrames == 0) {
            ++run;
            runStart = i;
            pause += std::chrono::seconds(1);
            std::this_thread::sleep_until(start + pause + i * std::chrono::milliseconds(40));
            anchor = wallNow();
        }
        if (i % 25 == 0) {
            for (uint32_t channel = 0; channel < cameras.size(); ++channel) {
                RaiseState(channel, cameras[channel]);
            }
        }
        for (uint32_t channel = 0; channel < cameras.size(); ++channel) {
            Camera& camera = cameras[channel];
            const Unit& unit = camera.units[i % camera.units.size()];
            MediaFrame frame{};
            frame.mediaTime = (i - runStart) * kFrameTicks;
            frame.wallTimeNs = anchor + static_cast<int64_t>(frame.mediaTime) * 1000000000 / kMediaClockHz;
            frame.channel = channel;
            frame.run = run;
            frame.sequence = static_cast<uint32_t>(i);
            frame.duration = kFrameTicks;
            frame.codec = camera.codec;
            frame.width = camera.width;
            frame.height = camera.height;
            if (camera.waitingForSync && !unit.sync) {
                ++camera.dropped;
                continue;
            }
            _EventParmsIn in =
                Record(CameraProvider(channel), EVT_VIDEO, FLAG_FRAME, unit.bytes.data(), unit.bytes.size());
            in.syncFrame = unit.sync ? 1 : 0;
            StoreMediaFrame(in, frame);
            const int result = Raise(in);
            camera.waitingForSync = result != RESULT_OK;
            camera.raised += result == RESULT_OK ? 1 : 0;
            camera.dropped += result == RESULT_OK ? 0 : 1;
        }
        std::this_thread::sleep_until(start + pause + (i + 1) * std::chrono::milliseconds(40));
    }
}

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* result = static_cast<LoadResult*>(out);
    raise = static_cast<LoadParms*>(in)->eventCallback;
    result->id = kCameraId;
    result->workerFlag = 1;
    result->typeMasks[5] = 0xF0000000u;  // close first
    const char* streams = std::getenv("DVRCORE_TEST_STREAMS");
    std::stringstream list(streams != nullptr ? streams : "");
    for (std::string item; std::getline(list, item, ',');) {
        const std::size_t equals = item.find('=');
        Camera camera;
        camera.name = item.substr(0, equals);
        const std::string path = item.substr(equals + 1);
        camera.codec = path.size() > 5 && path.compare(path.size() - 5, 5, ".h265") == 0 ? Codec::kH265 : Codec::kH264;
        if (equals == std::string::npos || !ReadUnits(path, camera)) {
            result->error = 1;
            return 0;
        }
        cameras.push_back(std::move(camera));
    }
    return 0;
}

int32_t Close(void*, void*)
{
    stopping = true;
    return 0;
}

int32_t IOCTL(void* in, void*)
{
    if (static_cast<IoctlParms*>(in)->command == IOCTL_WORKER_THREAD) {
        Run();
        if (std::FILE* report = std::fopen("stream-camera.txt", "w")) {
            for (const Camera& camera : cameras) {
                std::fprintf(report, "%s raised %llu\n", camera.name.c_str(),
                             static_cast<unsigned long long>(camera.raised));
            }
            std::fclose(report);
        }
    }
    return 0;
}

}  // extern "C"
