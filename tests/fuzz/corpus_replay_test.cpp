// Every committed fuzz input, seeds and crash regressions alike, replayed
// through its target in the normal test run of every build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core_process.h"
#include "fuzz_targets.h"

namespace {

namespace fs = std::filesystem;

// The inputs of one target, in name order: corpus/<target> and
// regressions/<target>.
std::vector<fs::path> Inputs(const std::string& target)
{
    std::vector<fs::path> inputs;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path directory = fs::path(DVRCORE_FUZZ_DATA) / kind / target;
        if (!fs::is_directory(directory)) {
            continue;
        }
        for (const auto& entry : fs::directory_iterator(directory)) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

// A broken invariant aborts the program; the name of the input that did it
// is the last line on standard error.
void Replay(const std::string& target, int (*function)(const uint8_t*, std::size_t))
{
    const std::vector<fs::path> inputs = Inputs(target);
    ASSERT_FALSE(inputs.empty()) << "no inputs for " << target;
    for (const fs::path& path : inputs) {
        std::fprintf(stderr, "replaying %s\n", path.c_str());
        const std::string bytes = dvrtest::ReadFile(path.string());
        EXPECT_EQ(function(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0) << path;
    }
}

TEST(FuzzInputs, IpcReaderReplays)
{
    Replay("ipc_reader", dvrfuzz::FuzzIpcReader);
}

TEST(FuzzInputs, ConfigurationReplays)
{
    Replay("configuration", dvrfuzz::FuzzConfiguration);
}

TEST(FuzzInputs, PluginEventReplays)
{
    Replay("plugin_event", dvrfuzz::FuzzPluginEvent);
}

TEST(FuzzInputs, RtspReaderReplays)
{
    Replay("rtsp_reader", dvrfuzz::FuzzRtspReader);
}

}  // namespace
