// Finding the recorder's segment files on disk (layout: segment_format.h).
//
// `root` is the recordings directory: kRecordingsDir for the plugins, which
// run in the core's working directory. Plain POSIX directory calls; errors
// make a directory look empty. Used by the recorder (numbering and rotation)
// and the catalog (disk usage), each on its own thread.
#ifndef DVRCORE_EXAMPLES_SEGMENT_STORE_H
#define DVRCORE_EXAMPLES_SEGMENT_STORE_H

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "segment_format.h"

namespace dvrexample {

struct SegmentFile {
    uint32_t number;
    uint64_t bytes;
};

inline std::string ChannelDir(const std::string& root, uint32_t channel)
{
    char name[16];
    std::snprintf(name, sizeof name, "/ch%02" PRIu32, channel);
    return root + name;
}

inline std::string SegmentPath(const std::string& root, uint32_t channel, uint32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "/%08" PRIu32 "%s", number, kSegmentSuffix);
    return ChannelDir(root, channel) + name;
}

// Names of the entries of `dir` (without "." and "..").
inline std::vector<std::string> DirectoryEntries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(stream);
    return names;
}

// The segments of one channel, oldest (lowest number) first.
inline std::vector<SegmentFile> ListSegments(const std::string& root, uint32_t channel)
{
    std::vector<SegmentFile> segments;
    const std::string dir = ChannelDir(root, channel);
    for (const std::string& name : DirectoryEntries(dir)) {
        unsigned number = 0;
        char suffix[8] = {};
        struct stat status {};
        if (std::sscanf(name.c_str(), "%8u%7s", &number, suffix) == 2 && std::strcmp(suffix, kSegmentSuffix) == 0 &&
            ::stat((dir + "/" + name).c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            segments.push_back({number, static_cast<uint64_t>(status.st_size)});
        }
    }
    std::sort(segments.begin(), segments.end(),
              [](const SegmentFile& a, const SegmentFile& b) { return a.number < b.number; });
    return segments;
}

// Channels that have a directory under `root`, in ascending order.
inline std::vector<uint32_t> ListChannels(const std::string& root)
{
    std::vector<uint32_t> channels;
    for (const std::string& name : DirectoryEntries(root)) {
        unsigned channel = 0;
        char rest = 0;
        if (std::sscanf(name.c_str(), "ch%2u%c", &channel, &rest) == 1) {
            channels.push_back(channel);
        }
    }
    std::sort(channels.begin(), channels.end());
    return channels;
}

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_SEGMENT_STORE_H
