#include "recordings_layout.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace dvrexample {

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

std::vector<std::string> Entries(const std::string& dir, bool directories)
{
    std::vector<std::string> names;
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(stream)) {
        struct stat status {};
        if (entry->d_name[0] == '.' || ::stat((dir + "/" + entry->d_name).c_str(), &status) != 0) {
            continue;
        }
        if (directories ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode)) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string SafeCameraName(const std::string& name)
{
    std::string safe = name.empty() ? "camera" : name;
    for (char& c : safe) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
            c = '_';
        }
    }
    if (safe[0] == '.') {
        safe[0] = '_';
    }
    return safe;
}

std::string SegmentName(const std::string& safeCamera, int64_t startNs, int attempt)
{
    const std::time_t seconds = static_cast<std::time_t>(startNs / kNsPerSecond);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char stamp[64];
    const int ms = static_cast<int>(startNs % kNsPerSecond / kNsPerMs);
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    std::string name = safeCamera + "/" + safeCamera + "_" + stamp;
    if (attempt > 0) {
        name += "-" + std::to_string(attempt);
    }
    return name + kSegmentExtension;
}

std::optional<int64_t> SegmentStartFromName(const std::string& fileName)
{
    const std::size_t at = fileName.rfind('_');
    std::tm utc{};
    int ms = 0;
    int used = 0;
    if (at == std::string::npos ||
        std::sscanf(fileName.c_str() + at + 1, "%4d%2d%2dT%2d%2d%2d.%3dZ%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                    &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &ms, &used) != 7 ||
        used == 0) {
        return std::nullopt;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return static_cast<int64_t>(::timegm(&utc)) * kNsPerSecond + ms * kNsPerMs;
}

std::vector<SegmentFileEntry> ListSegmentFiles(const std::string& root)
{
    std::vector<SegmentFileEntry> files;
    for (const std::string& camera : Entries(root, true)) {
        for (const std::string& name : Entries(root + "/" + camera, false)) {
            const std::size_t extension = std::strlen(kSegmentExtension);
            if (name.size() > extension && name.compare(name.size() - extension, extension, kSegmentExtension) == 0 &&
                SegmentStartFromName(name)) {
                files.push_back({camera, camera + "/" + name});
            }
        }
    }
    return files;
}

}  // namespace dvrexample
