#include "recording_settings.h"

#include <cstdlib>

#include "plugin_settings.h"

namespace dvrexample {

namespace {

struct Reading {
    RecordingSettings settings;
    std::string source;  // of the setting being read, for the problems
};

constexpr uint64_t kLongestSegmentSeconds = 24 * 60 * 60;

// A whole number of at most 12 digits (megabytes of that many still fit in
// bytes), or nothing.
std::optional<uint64_t> WholeNumber(const std::string& text)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::strtoull(text.c_str(), nullptr, 10);
}

void Apply(Reading& reading, const std::string& key, const std::string& value)
{
    RecordingSettings& settings = reading.settings;
    if (key == "recordings") {
        if (value.empty()) {
            settings.problems.push_back(reading.source + ": an empty recordings directory, kept " + settings.root);
        } else {
            settings.root = value;
        }
        return;
    }
    uint64_t* target = key == "segment_seconds"   ? &settings.segmentSeconds
                       : key == "camera_quota_mb" ? &settings.cameraQuotaMb
                       : key == "disk_reserve_minutes" ? &settings.diskReserveMinutes
                                                  : nullptr;
    if (target == nullptr && key != "disk_low_water_mb") {
        settings.problems.push_back(reading.source + ": unknown setting " + key);
        return;
    }
    const std::optional<uint64_t> number = WholeNumber(value);
    if (!number || (target == &settings.segmentSeconds && (*number == 0 || *number > kLongestSegmentSeconds))) {
        settings.problems.push_back(reading.source + ": " + key + " = " + value + " is not a valid number, ignored");
    } else if (target != nullptr) {
        *target = *number;
    } else {
        settings.diskLowWaterMb = number;
    }
}

}  // namespace

RecordingSettings ReadRecordingSettings(const char* file)
{
    Reading reading;
    reading.source = file;
    int badLine = 0;
    DvrReadSettings(
        file,
        [](const char* key, const char* value, void* context) { Apply(*static_cast<Reading*>(context), key, value); },
        &reading, &badLine);
    if (badLine != 0) {
        reading.settings.problems.push_back(std::string(file) + ": line " + std::to_string(badLine) +
                                            " is not \"key = value\", skipped");
    }
    static const char* const kVariables[][2] = {{"recordings", "DVRCORE_RECORDINGS"},
                                                {"segment_seconds", "DVRCORE_SEGMENT_SECONDS"},
                                                {"camera_quota_mb", "DVRCORE_CAMERA_QUOTA_MB"},
                                                {"disk_low_water_mb", "DVRCORE_DISK_LOW_WATER_MB"},
                                                {"disk_reserve_minutes", "DVRCORE_DISK_RESERVE_MINUTES"}};
    for (const auto& [key, variable] : kVariables) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            reading.source = variable;
            Apply(reading, key, value);
        }
    }
    return reading.settings;
}

}  // namespace dvrexample
