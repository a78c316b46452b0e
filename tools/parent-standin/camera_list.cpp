#include "camera_list.h"

#include <cstdio>
#include <cstring>

bool CameraList::Add(const std::string& spec, dvrexample::CameraTransport transport)
{
    // A name is what comes before the first '=', if that holds no ':' or '/'
    // (a URL may have '=' in its query).
    std::string name;
    std::string url = spec;
    const std::string::size_type equals = spec.find('=');
    if (equals != std::string::npos && spec.find_first_of(":/") > equals) {
        name = spec.substr(0, equals);
        url = spec.substr(equals + 1);
    }
    dvrexample::CameraConfig config{};
    if (url.empty() || url.size() >= sizeof config.url || name.size() >= sizeof config.name ||
        cameras_.size() >= dvrexample::kMaxCameras) {
        std::fprintf(stderr, "parent-standin: cannot take camera %s\n",
                     dvrexample::UrlWithoutCredentials(spec).c_str());
        return false;
    }
    config.channel = static_cast<uint32_t>(cameras_.size());
    config.enabled = 1;
    config.transport = transport;
    if (name.empty()) {
        name = "cam" + std::to_string(config.channel + 1);
    }
    std::memcpy(config.name, name.data(), name.size());
    std::memcpy(config.url, url.data(), url.size());
    cameras_.push_back(config);
    return true;
}

std::vector<dvrexample::CameraConfigPacket> CameraList::Packets() const
{
    std::vector<dvrexample::CameraConfigPacket> packets;
    for (const dvrexample::CameraConfig& config : cameras_) {
        dvrexample::CameraConfigPacket packet{};
        packet.header = {sizeof packet, dvrexample::kCameraIndex << 20, dvrexample::kCameraConfigure, 0};
        packet.config = config;
        packets.push_back(packet);
    }
    return packets;
}

std::string CameraList::Describe() const
{
    std::string text;
    for (const dvrexample::CameraConfig& config : cameras_) {
        text += "standin: camera " + std::string(config.name) + " on channel " + std::to_string(config.channel) + ": " +
                dvrexample::UrlWithoutCredentials(config.url) +
                (config.transport == dvrexample::CameraTransport::kUdp ? " over UDP\n" : " over TCP\n");
    }
    return text;
}
