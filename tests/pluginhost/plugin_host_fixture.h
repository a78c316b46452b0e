// A core over a private plugin layout, with its log captured and its clock
// under the test's control, and the call trace that the test plugins write.
#ifndef DVRCORE_TESTS_PLUGINHOST_PLUGIN_HOST_FIXTURE_H
#define DVRCORE_TESTS_PLUGINHOST_PLUGIN_HOST_FIXTURE_H

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core_process.h"
#include "dvrcore.h"

struct LogLine {
    uint32_t level;
    std::string text;
    bool operator==(const LogLine& other) const { return level == other.level && text == other.text; }
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line)
{
    return out << line.level << " " << line.text;
}

// Logs into a list (plugin threads log too) and reads a clock that advances
// by `clockStep` at every reading (main thread only).
class TestCore : public dvrcore {
public:
    explicit TestCore(std::string exePath) : dvrcore(std::move(exePath))
    {
        moduleNames.Set(CORE_PROVIDER_ID, "core");
        logLevels.Set(0, 0);  // the core's own level-0 messages pass
    }
    ~TestCore() override = default;

    Clock::time_point Now() override
    {
        now += clockStep;
        return now;
    }
    void WriteLog(uint32_t, uint32_t level, const char* text) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({level, text});
    }
    std::vector<LogLine> Lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The core's lines about one file name, in order.
    std::vector<LogLine> LinesAbout(const std::string& fileName)
    {
        std::vector<LogLine> about;
        for (const LogLine& line : Lines()) {
            if (line.text.find(" " + fileName) != std::string::npos ||
                line.text.find("'" + fileName + "'") != std::string::npos) {
                about.push_back(line);
            }
        }
        return about;
    }

    Clock::duration clockStep{0};

private:
    Clock::time_point now{};
    std::mutex mutex_;
    std::vector<LogLine> lines_;  // guarded by mutex_
};

class PluginHostTest : public ::testing::Test {
protected:
    PluginHostTest() : tracePath(layout.root() + "/trace"), core(std::make_unique<TestCore>(layout.executable()))
    {
        ::setenv("DVR_TEST_TRACE", tracePath.c_str(), 1);
    }
    ~PluginHostTest() override
    {
        Shutdown();
        core.reset();
        ::unsetenv("DVR_TEST_TRACE");
    }

    // Closes and unloads what is still loaded (plugin threads end at Close).
    void Shutdown()
    {
        if (!core->pluginList.empty()) {
            core->ClosePlugins();
            core->UnloadPlugins();
        }
    }
    // Replaces the core by a fresh one over the same layout.
    void RenewCore()
    {
        Shutdown();
        core.reset();
        core = std::make_unique<TestCore>(layout.executable());
    }
    void Add(const std::string& testPlugin, const std::string& fileName, bool protectedDir = false)
    {
        layout.AddPlugin(testPlugin, fileName, protectedDir);
    }
    std::string PluginFile(const std::string& fileName, bool protectedDir = false) const
    {
        return (protectedDir ? layout.protectedPluginDir() : layout.pluginDir()) + "/" + fileName;
    }
    std::vector<uint32_t> LoadedIds() const
    {
        std::vector<uint32_t> ids;
        for (const PLUGININFO& plugin : core->pluginList) {
            ids.push_back(plugin.info.id);
        }
        return ids;
    }
    const PLUGININFO& Loaded(const std::string& fileName) const
    {
        for (const PLUGININFO& plugin : core->pluginList) {
            if (plugin.filename == fileName) {
                return plugin;
            }
        }
        throw std::runtime_error(fileName + " not loaded");
    }
    std::string ModuleName(uint32_t id) const
    {
        char name[64];
        core->moduleNames.CopyName(id, name, sizeof name);
        return name;
    }
    // The trace lines that the test plugins wrote, in order.
    std::vector<std::string> Trace() const
    {
        std::vector<std::string> lines;
        std::istringstream in(dvrtest::ReadFile(tracePath));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    std::size_t TraceCount(const std::string& line) const
    {
        const std::vector<std::string> lines = Trace();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    // Position of the first `line` in the trace; the trace's size when absent.
    std::size_t TraceIndex(const std::string& line) const
    {
        const std::vector<std::string> lines = Trace();
        return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
    }
    // Waits (bounded) until the trace holds `line`.
    bool WaitForTrace(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (TraceCount(line) != 0) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Whether the dynamic loader still has the library mapped.
    static bool IsMapped(const std::string& path)
    {
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) {
            ::dlclose(handle);
        }
        return handle != nullptr;
    }

    dvrtest::CoreLayout layout;
    std::string tracePath;
    std::unique_ptr<TestCore> core;
};

#endif  // DVRCORE_TESTS_PLUGINHOST_PLUGIN_HOST_FIXTURE_H
