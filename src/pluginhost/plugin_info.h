// The core's record of one loaded plugin, and how its entry points are called.
//
// Kept by value in `dvrcore::pluginList`. The record owns its two thread
// objects and its file name; the library mapping is released explicitly by
// the unload step, not by the destructor. Records move when the list grows or
// is sorted; a record must never be destroyed or overwritten while one of its
// threads is joinable (the standard thread rules end the process).
#ifndef DVRCORE_PLUGINHOST_PLUGIN_INFO_H
#define DVRCORE_PLUGINHOST_PLUGIN_INFO_H

#include <cstdint>
#include <string>
#include <thread>

#include "plugin_api.h"

struct PLUGININFO {
    void* library = nullptr;
    PluginEntryPoint load = nullptr;
    PluginEntryPoint unload = nullptr;
    PluginEntryPoint open = nullptr;
    PluginEntryPoint close = nullptr;
    PluginEntryPoint read = nullptr;
    PluginEntryPoint write = nullptr;
    PluginEntryPoint seek = nullptr;
    PluginEntryPoint ioctl = nullptr;
    std::thread workerThread;
    std::thread readerThread;
    LoadResult info{};     // the plugin's answer to Load, stored whole
    std::string filename;  // last path component, used in every message
    int32_t openCode = 0;
    int64_t loadTimeMs = 0;
    int64_t openTimeMs = 0;
    uint32_t libraryNumber = 0;  // in the plugin watch (plugin_watch.h)
};

// Calls an entry point; one that the plugin does not export is not called and
// counts as ENTRY_MISSING, leaving the output record as the caller prepared it.
inline int32_t CallEntry(PluginEntryPoint entry, void* in, void* out)
{
    return entry != nullptr ? entry(in, out) : ENTRY_MISSING;
}

// A call record as the core builds it: size and version set, the rest 0.
template <typename Record>
Record MakeRecord(uint32_t version)
{
    Record record{};
    record.size = sizeof record;
    record.version = version;
    return record;
}

// Call records as the core builds them: size and version set, the rest 0.
inline IoctlParms MakeIoctlParms(uint32_t command, void* data, uint32_t length)
{
    IoctlParms parms{};
    parms.size = sizeof parms;
    parms.version = 1;
    parms.command = command;
    parms.argSize = command == IOCTL_WORKER_THREAD ? 8 : 16;  // empty argument: 8
    parms.argVersion = 1;
    parms.argLength = length;
    parms.argData = data;
    return parms;
}

inline IoctlResult MakeIoctlResult(uint32_t command)
{
    IoctlResult result{};
    result.size = sizeof result;
    result.version = 1;
    result.command = command;
    result.resultSize = 8;
    result.resultVersion = 1;
    return result;
}

inline ReadParms MakeReadParms(uint32_t dataSize, void* data, void* handle)
{
    ReadParms parms{};
    parms.size = sizeof parms;
    parms.version = 1;
    parms.one = 1;
    parms.dataSize = dataSize;
    parms.data = data;
    parms.handle = handle;
    return parms;
}

inline ReadResult MakeReadResult()
{
    ReadResult result{};
    result.size = sizeof result;
    result.version = 1;
    return result;
}

#endif  // DVRCORE_PLUGINHOST_PLUGIN_INFO_H
