// The configuration document (saved to core.xml and published) and the
// memory status document.
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "configuration_schema.h"
#include "dvrcore.h"
#include "log_message.h"
#include "supervision_settings.h"
#include "xml_file.h"

namespace {

// Flags of every document event the core raises.
constexpr uint32_t kDocumentEventFlags = 0x1000010;
// Open code shown for plugin files that failed to load.
constexpr int kFailedOpenCode = 79;

// Integers are written as the signed value of their low 32 bits.
int Low32(int64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

struct PluginEntry {
    int id;
    std::string filename;
    int loadTimeMs;
    int openTimeMs;
    int openCode;
    int logLevel;
    int logLevelDefault;
};

TiXmlElement* AddPlugin(TiXmlElement& module, const PluginEntry& entry)
{
    TiXmlElement* plugin = AddElement(module, "Plugin");
    plugin->SetAttribute("ID", entry.id);
    plugin->SetAttribute("Filename", entry.filename);
    plugin->SetAttribute("Opened", 1);
    plugin->SetAttribute("LoadTimeMs", entry.loadTimeMs);
    plugin->SetAttribute("OpenTimeMs", entry.openTimeMs);
    plugin->SetAttribute("OpenCode", entry.openCode);
    plugin->SetAttribute("LogLevel", entry.logLevel);
    plugin->SetAttribute("LogLevelDefault", entry.logLevelDefault);
    return plugin;
}

TiXmlElement* AddModule(TiXmlElement& modules, int id, const std::string& name, const std::string& version)
{
    TiXmlElement* module = AddElement(modules, "Module");
    module->SetAttribute("ID", id);
    module->SetAttribute("Name", name);
    module->SetAttribute("Version", version);
    return module;
}

std::string FileNameOf(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// The memory switch, the core and every plugin with their results and
// thresholds, the parent service, the plugin files that failed to load and
// those left unloaded in quarantine.
void BuildConfiguration(dvrcore& core, XmlDocument& document)
{
    const int coreId = Low32(CORE_PROVIDER_ID);
    std::string parentFilename;
    std::string parentVersion;
    {
        // The IPC reader stores them on ioThread.
        std::lock_guard<std::mutex> lock(core.queueMutex);
        parentFilename = core.parentFilename;
        parentVersion = core.parentVersion;
    }

    TiXmlElement* root = StartDocument(document, "Vgil");
    root->SetAttribute("Delta", 0);
    TiXmlElement* memory = AddElement(*root, "Memory");
    memory->SetAttribute("ID", coreId);
    memory->SetAttribute("Throttling", core.memoryMonitor ? 1 : 0);

    TiXmlElement* modules = AddElement(*root, "Modules");
    TiXmlElement* coreModule = AddModule(*modules, coreId, "Core", core.versionText);
    AddPlugin(*coreModule,
              {coreId, FileNameOf(core.exePath), 0, 0, 0, core.logLevels.Get(0), core.defaultLogLevels.Get(0)});
    uint32_t totalLoadTimeMs = 0;
    uint32_t totalOpenTimeMs = 0;
    {
        std::shared_lock<std::shared_mutex> lock(core.pluginListMutex);
        for (const PLUGININFO& plugin : core.pluginList) {
            const uint32_t index = PROVIDER_INDEX(plugin.info.id);
            AddPlugin(*coreModule,
                      {Low32(plugin.info.id), plugin.filename, Low32(plugin.loadTimeMs), Low32(plugin.openTimeMs),
                       plugin.openCode, core.logLevels.Get(index), core.defaultLogLevels.Get(index)});
            totalLoadTimeMs += static_cast<uint32_t>(plugin.loadTimeMs);
            totalOpenTimeMs += static_cast<uint32_t>(plugin.openTimeMs);
        }
    }
    modules->SetAttribute("TotalLoadTimeMs", Low32(totalLoadTimeMs));
    modules->SetAttribute("TotalOpenTimeMs", Low32(totalOpenTimeMs));

    if (!parentVersion.empty()) {
        TiXmlElement* library = AddElement(*coreModule, "Library");
        library->SetAttribute("Name", "vigild");
        library->SetAttribute("Filename", parentFilename);
        library->SetAttribute("Version", parentVersion);
    }
    int number = 1;
    for (const auto& failed : core.failedPlugins) {
        AddPlugin(*coreModule, {number++, failed.first, 0, 0, kFailedOpenCode, LogLevelTable::kNoThreshold,
                                LogLevelTable::kNoThreshold});
    }
    // Only the main thread wrote the list, before any document was built.
    for (const std::string& held : core.quarantine.Held()) {
        AddPlugin(*coreModule,
                  {0, held, 0, 0, kFailedOpenCode, LogLevelTable::kNoThreshold, LogLevelTable::kNoThreshold})
            ->SetAttribute("Quarantined", 1);
    }
    number = 1;
    for (const auto& failed : core.failedPlugins) {
        AddModule(*modules, number++, failed.first, failed.second);
    }
}

}  // namespace

void dvrcore::SaveConfiguration()
{
    XmlDocument document;
    BuildConfiguration(*this, document);
    TiXmlNode* supervision = WriteSupervisionSettings(*this, *document.RootElement());
    if (!SaveFile(document, CONFIGURATION_FILE)) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR, "Failed to save config %d - %s",
                   document.ErrorId(), document.ErrorDesc());
    }
    if (supervision != nullptr) {
        document.RootElement()->RemoveChild(supervision);
    }
    // Plugins learn the product identity from the published copy only.
    TiXmlElement* product = AddElement(*document.RootElement(), "Product");
    product->SetAttribute("Family", productName);
    product->SetAttribute("Version", versionText);
    PublishDocument(document, EVT_CONFIG);
}

void dvrcore::PublishMemoryStatus()
{
    XmlDocument document;
    TiXmlElement* memory = AddElement(*StartDocument(document, "Vgil"), "Memory");
    memory->SetAttribute("ID", Low32(CORE_PROVIDER_ID));
    memory->SetAttribute("Throttling", throttling ? 1 : 0);
    memory->SetAttribute("Time", Low32(static_cast<int64_t>(WallTime())));
    PublishDocument(document, EVT_STATUS);
}

void dvrcore::PublishDocument(TiXmlDocument& document, uint32_t eventType)
{
    std::string text = PrintCompact(document);
    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.dataSize = static_cast<uint32_t>(text.size());
    in.data = text.data();
    in.providerID = CORE_PROVIDER_ID;
    in.eventType = eventType;
    in.flags = kDocumentEventFlags;
    _EventParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    // The entry copies what it keeps; a refused document is simply lost.
    PluginEvent(&in, &out);
}
