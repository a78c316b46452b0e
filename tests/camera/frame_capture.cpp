// Test plugin: writes every camera frame it receives to files in the core's
// working directory, for the camera tests to judge with independent readers.
//   capture-<channel>.video  the video access units, back to back (Annex B)
//   capture-<channel>.index  one CapturedFrame per video or audio frame
// Runs on the core's dispatcher thread (Write); each record is written whole.
#include <cstdio>
#include <map>

#include "camera_stream.h"
#include "captured_frame.h"
#include "event_match.h"
#include "plugin_api.h"

namespace {

struct Files {
    std::FILE* video = nullptr;
    std::FILE* index = nullptr;
};
std::map<uint32_t, Files> files;

std::FILE* Open(uint32_t channel, const char* kind)
{
    char name[64];
    std::snprintf(name, sizeof name, "capture-%u.%s", channel, kind);
    return std::fopen(name, "wb");
}

}  // namespace

extern "C" {

int32_t Load(void*, void* out)
{
    auto* result = static_cast<LoadResult*>(out);
    result->id = 0x00F10000;
    result->writerFlag = 1;
    dvrexample::Subscribe(*result, EVT_VIDEO, dvrexample::DispatchMatch(FLAG_FRAME));
    dvrexample::Subscribe(*result, EVT_AUDIO, dvrexample::DispatchMatch(FLAG_FRAME));
    return 0;
}

int32_t Write(void* in, void*)
{
    const auto* parms = static_cast<const WriteParms*>(in);
    if ((parms->flags & FLAG_FRAME) == 0 || parms->data == nullptr) {
        return 0;
    }
    const dvrexample::MediaFrame frame = dvrexample::LoadMediaFrame(*parms);
    Files& channel = files[frame.channel];
    if (channel.index == nullptr) {
        channel.video = Open(frame.channel, "video");
        channel.index = Open(frame.channel, "index");
        if (channel.video == nullptr || channel.index == nullptr) {
            return 0;
        }
    }
    const bool audio = parms->eventType == EVT_AUDIO;
    CapturedFrame record{frame, parms->dataSize, parms->syncFrame, static_cast<uint8_t>(audio ? 1 : 0), {}};
    if (!audio) {
        std::fwrite(parms->data, 1, parms->dataSize, channel.video);
        std::fflush(channel.video);
    }
    std::fwrite(&record, sizeof record, 1, channel.index);
    std::fflush(channel.index);
    return 0;
}

int32_t Unload(void*, void*)
{
    for (auto& [number, channel] : files) {
        if (channel.video != nullptr) {
            std::fclose(channel.video);
        }
        if (channel.index != nullptr) {
            std::fclose(channel.index);
        }
    }
    files.clear();
    return 0;
}

}  // extern "C"
