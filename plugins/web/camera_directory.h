// The cameras as their CameraState events (camera_stream.h) describe them:
// written on the core's dispatcher thread, read on the network thread.
#ifndef DVRCORE_WEB_CAMERA_DIRECTORY_H
#define DVRCORE_WEB_CAMERA_DIRECTORY_H

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera_stream.h"

namespace dvrweb {

class CameraDirectory {
public:
    // Dispatcher thread.
    void Update(const dvrexample::CameraState& state)
    {
        if (state.channel >= dvrexample::kMaxCameras) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        cameras_[state.channel] = state;
        cameras_[state.channel]->name[sizeof state.name - 1] = '\0';
    }

    // The known cameras, by channel.
    std::vector<dvrexample::CameraState> All() const
    {
        std::vector<dvrexample::CameraState> all;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::optional<dvrexample::CameraState>& camera : cameras_) {
            if (camera) {
                all.push_back(*camera);
            }
        }
        return all;
    }

    // The camera named `name`.
    std::optional<dvrexample::CameraState> Find(const std::string& name) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::optional<dvrexample::CameraState>& camera : cameras_) {
            if (camera && name == camera->name) {
                return camera;
            }
        }
        return std::nullopt;
    }

private:
    mutable std::mutex mutex_;
    std::array<std::optional<dvrexample::CameraState>, dvrexample::kMaxCameras> cameras_;  // guarded by mutex_
};

}  // namespace dvrweb

#endif  // DVRCORE_WEB_CAMERA_DIRECTORY_H
