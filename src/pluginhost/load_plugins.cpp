// Mapping, binding and identifying the plugin libraries.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "dvrcore.h"
#include "library_image.h"
#include "log_message.h"
#include "plugin_scan.h"
#include "timed_call.h"

namespace {

struct EntryName {
    const char* name;
    PluginEntryPoint PLUGININFO::*field;
};

// Looked up in this order; only "Load" is required.
constexpr EntryName kEntryNames[] = {
    {"Load", &PLUGININFO::load},   {"Unload", &PLUGININFO::unload}, {"Open", &PLUGININFO::open},
    {"Close", &PLUGININFO::close}, {"Read", &PLUGININFO::read},     {"Write", &PLUGININFO::write},
    {"Seek", &PLUGININFO::seek},   {"IOCTL", &PLUGININFO::ioctl},
};

// A default of 0 means "none"; one outside -1..100 is ignored. A level that
// the configuration already set is kept.
void ApplyDefaultLevel(dvrcore& core, uint32_t index, int32_t level)
{
    if (level == 0 || level < -1 || level > LOG_LEVEL_CRITICAL) {
        return;
    }
    core.defaultLogLevels.Set(index, static_cast<int8_t>(level));
    if (core.logLevels.Get(index) == LogLevelTable::kNoThreshold) {
        core.logLevels.Set(index, static_cast<int8_t>(level));
    }
}

// "0x00420000", as the log lines write an id.
std::string HexId(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(id));
    return text;
}

// Who holds `id` already, for the refusal of a second holder: the core, or
// an accepted plugin's file (the list is only written by this thread).
std::string IdHolder(const dvrcore& core, uint32_t id)
{
    if (id == CORE_PROVIDER_ID) {
        return "the core itself";
    }
    for (const PLUGININFO& plugin : core.pluginList) {
        if (plugin.info.id == id) {
            return plugin.filename;
        }
    }
    return "another module";
}

// Loads one library; a refused or broken one is logged and closed again.
// The refusals are also kept for the plugin listing, each with `reason`.
void LoadPlugin(dvrcore& core, const std::filesystem::path& path)
{
    const std::string fileName = path.filename().string();
    // A truncated file would crash the loader rather than fail it.
    std::string failure = CheckLibraryImage(path.string());
    void* library = failure.empty() ? ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (library == nullptr) {
        if (failure.empty()) {
            const char* reason = ::dlerror();
            failure = reason != nullptr ? reason : "";
        }
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "Core: Failed to load plugin '%s': %s",
                   fileName.c_str(), failure.c_str());
        core.failedPlugins[fileName] = failure;
        return;
    }
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_DETAIL, "Core: Loaded plugin: %s", fileName.c_str());

    PLUGININFO plugin;
    plugin.library = library;
    plugin.libraryNumber = core.pluginWatch.RegisterLibrary(fileName.c_str(), library);
    // A refused library's code is no plugin's any more.
    const auto refuse = [&core, &plugin, &fileName](std::string reason) {
        core.pluginWatch.ForgetLibrary(plugin.libraryNumber);
        ::dlclose(plugin.library);
        core.refusedPlugins.emplace_back(fileName, std::move(reason));
    };
    for (const EntryName& entry : kEntryNames) {
        plugin.*entry.field = reinterpret_cast<PluginEntryPoint>(::dlsym(library, entry.name));
    }
    if (plugin.load == nullptr) {
        refuse("does not export \"Load\"");
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL,
                   "Core: Failed to load plugin: %s (missing symbol)", fileName.c_str());
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR,
                   "plugin %s does not export \"Load\" (the one required entry point, a C function)", fileName.c_str());
        return;
    }

    LoadParms parms = MakeRecord<LoadParms>(3);
    parms.coreContext = &core;
    parms.eventCallback = CoreEventCallback;
    LoadResult result = MakeRecord<LoadResult>(2);
    const int32_t returned =
        TimedCall(core, plugin.libraryNumber, PluginCall::kLoad, plugin.load, &parms, &result, plugin.loadTimeMs);
    const uint32_t id = result.id;
    if (returned != 0 || result.error != 0) {
        refuse("Load returned " + std::to_string(returned) + " error " + std::to_string(result.error));
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "plugin %s load returned %d error %d",
                   fileName.c_str(), returned, result.error);
        return;
    }
    if (core.moduleNames.Contains(id)) {
        const std::string holder = IdHolder(core, id);
        refuse("its ID " + HexId(id) + " is held by " + holder);
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING, "plugin %s ID 0x%08lX already loaded",
                   fileName.c_str(), static_cast<unsigned long>(id));
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING,
                   "plugin %s refused: its ID 0x%08lX is held by %s", fileName.c_str(), static_cast<unsigned long>(id),
                   holder.c_str());
        return;
    }
    const uint32_t index = PROVIDER_INDEX(id);
    if (index >= LOG_LEVEL_TABLE_SIZE) {
        refuse("its ID " + HexId(id) + " exceeds the log level array size");
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL,
                   "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff",
                   fileName.c_str(), static_cast<unsigned long>(id));
        return;
    }

    ApplyDefaultLevel(core, index, result.defaultLogLevel);
    core.moduleNames.Set(id, PluginModuleName(fileName));
    plugin.info = result;
    plugin.filename = fileName;
    plugin.openCode = 0;
    if (result.workerFlag != 0) {
        core.ProvideWorkerThread(plugin);
    }
    std::unique_lock<std::shared_mutex> lock(core.pluginListMutex);
    core.pluginList.push_back(std::move(plugin));
}

}  // namespace

bool dvrcore::LoadPlugins()
{
    for (const std::filesystem::path& path : FindPlugins(exePath)) {
        if (quarantine.Admits(path)) {
            LoadPlugin(*this, path);
        }
    }
    return !pluginList.empty();
}
