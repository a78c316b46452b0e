// The cameras that the stand-in gives the camera plugin (--camera and
// --camera-udp), as a parent service would: when the plugin asks for its
// cameras, one kCameraConfigure packet per camera (camera_config.h).
// Main thread of the stand-in only.
#ifndef DVRCORE_TOOLS_PARENT_STANDIN_CAMERA_LIST_H
#define DVRCORE_TOOLS_PARENT_STANDIN_CAMERA_LIST_H

#include <string>
#include <vector>

#include "camera_config.h"

class CameraList {
public:
    // Adds "[NAME=]URL"; false (with a message on standard error) when it
    // cannot be a camera: an empty URL, a name too long, too many cameras.
    bool Add(const std::string& spec, dvrexample::CameraTransport transport);
    bool empty() const { return cameras_.empty(); }
    // The packets for the camera plugin, in channel order.
    std::vector<dvrexample::CameraConfigPacket> Packets() const;
    // One line per camera for the terminal, without credentials.
    std::string Describe() const;

private:
    std::vector<dvrexample::CameraConfig> cameras_;
};

#endif  // DVRCORE_TOOLS_PARENT_STANDIN_CAMERA_LIST_H
