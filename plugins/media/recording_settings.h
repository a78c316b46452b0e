// Where the recordings go and how much room they may take: the recorder's
// settings file, "recorder.conf" beside core.xml (plugin_settings.h), read
// by the recorder and the catalog at Open. An environment variable of the
// same meaning overrides a setting, for runs by hand and tests.
//
//   recordings = DIR          DVRCORE_RECORDINGS          default "recordings"
//   segment_seconds = N       DVRCORE_SEGMENT_SECONDS     default 60
//   camera_quota_mb = N       DVRCORE_CAMERA_QUOTA_MB     default 0: no quota
//   disk_low_water_mb = N     DVRCORE_DISK_LOW_WATER_MB   default 5 % of the
//                                                          file system
//   disk_reserve_minutes = N  DVRCORE_DISK_RESERVE_MINUTES default 5: free
//                             space kept for this long of the cameras'
//                             measured bitrate, besides the low-water mark
#ifndef DVRCORE_EXAMPLES_RECORDING_SETTINGS_H
#define DVRCORE_EXAMPLES_RECORDING_SETTINGS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dvrexample {

constexpr char kRecorderSettingsFile[] = "recorder.conf";

struct RecordingSettings {
    std::string root = "recordings";
    uint64_t segmentSeconds = 60;
    uint64_t cameraQuotaMb = 0;
    std::optional<uint64_t> diskLowWaterMb;
    uint64_t diskReserveMinutes = 5;
    // What was wrong with the file or a variable, one line each, for the
    // log; the defaults stand in for what they name.
    std::vector<std::string> problems;
};

// The settings from `file` and the environment.
RecordingSettings ReadRecordingSettings(const char* file = kRecorderSettingsFile);

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_RECORDING_SETTINGS_H
