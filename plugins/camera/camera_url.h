// A camera's URL, split by libavformat's URL parser (av_url_split) into
// what FFmpeg connects to and what the log may show.
//
// The user information is everything between "://" and the last '@', so a
// password may hold '/', '@', ':', '#', '?' or '%' as they are or
// percent-encoded: the bytes that a URL cannot carry there are encoded
// (FFmpeg decodes them when it authenticates), escapes already there are
// kept. What is shown is scheme://host[:port]/path, never the user
// information.
#ifndef DVRCORE_PLUGINS_CAMERA_CAMERA_URL_H
#define DVRCORE_PLUGINS_CAMERA_CAMERA_URL_H

#include <string>

namespace dvrexample {

struct CameraUrl {
    bool wellFormed = false;  // rtsp:// or rtsps://, a host, no blanks
    std::string connect;      // for FFmpeg
    std::string shown;        // for logs and states
    // The parts av_url_split finds in `connect`, for a client of its own.
    std::string userInfo;  // user[:password], percent-encoded as `connect` carries it
    std::string host;      // without the brackets of an IPv6 address
    int port = -1;         // -1: none given
    std::string path;      // from the first '/', '?' or '#' on
};

CameraUrl ParseCameraUrl(const std::string& url);

}  // namespace dvrexample

#endif  // DVRCORE_PLUGINS_CAMERA_CAMERA_URL_H
