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

// The length of the well-formed UTF-8 sequence at `at`: 1 for ASCII, 0 when
// the bytes there are not UTF-8.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                             : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string SafeCameraName(const std::string& name)
{
    if (name.empty()) {
        return "camera";
    }
    std::string safe;
    for (std::size_t at = 0; at < name.size();) {
        const auto byte = static_cast<unsigned char>(name[at]);
        const std::size_t sequence = Utf8SequenceLength(name, at);
        if (sequence > 1) {
            safe.append(name, at, sequence);
            at += sequence;
            continue;
        }
        if (sequence == 0 || byte < 0x20 || byte == 0x7f || byte == '/' || byte == '%' || (at == 0 && byte == '.')) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            safe += escaped;
        } else {
            safe += static_cast<char>(byte);
        }
        ++at;
    }
    return safe;
}

std::string CameraNameFromDirectory(const std::string& directory)
{
    std::string name;
    for (std::size_t at = 0; at < directory.size(); ++at) {
        unsigned value = 0;
        if (directory[at] == '%' && at + 2 < directory.size() &&
            std::isxdigit(static_cast<unsigned char>(directory[at + 1])) != 0 &&
            std::isxdigit(static_cast<unsigned char>(directory[at + 2])) != 0 &&
            std::sscanf(directory.c_str() + at + 1, "%2X", &value) == 1) {
            name += static_cast<char>(value);
            at += 2;
        } else {
            name += directory[at];
        }
    }
    return name;
}

std::string CameraNameProblem(const std::string& name)
{
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return "the camera name holds a control character (byte " + std::to_string(byte) + ")";
        }
    }
    return {};
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

bool IsSegmentFileName(const std::string& name)
{
    const std::size_t extension = std::strlen(kSegmentExtension);
    return name.size() > extension && name.compare(name.size() - extension, extension, kSegmentExtension) == 0 &&
           SegmentStartFromName(name).has_value();
}

std::vector<std::string> CameraDirectories(const std::string& root)
{
    return Entries(root, true);
}

std::vector<SegmentFileEntry> ListSegmentFiles(const std::string& root)
{
    std::vector<SegmentFileEntry> files;
    for (const std::string& camera : Entries(root, true)) {
        for (const std::string& name : Entries(root + "/" + camera, false)) {
            if (IsSegmentFileName(name)) {
                files.push_back({camera, camera + "/" + name});
            }
        }
    }
    return files;
}

}  // namespace dvrexample
