// What core.xml and configuration updates have in common: the file names and
// the rule that turns a `Plugin` element into a log threshold.
//
// `Vgil`/`Modules`/`Module`/`Plugin` elements carry a provider id (`ID`) and a
// threshold (`LogLevel`). Only plugin ids configure a threshold this way: ids
// below 0x40000 never do (the entries that the core writes for plugin files
// that failed to load carry 1, 2, ...), nor ids whose table index (bits 16..27)
// lies beyond the level tables. Header-only; no state.
#ifndef DVRCORE_CONFIG_CONFIGURATION_SCHEMA_H
#define DVRCORE_CONFIG_CONFIGURATION_SCHEMA_H

#include <tinyxml.h>

#include <cstdint>

#include "plugin_api.h"

// Both are looked up in the working directory.
constexpr const char* CONFIGURATION_FILE = "core.xml";
constexpr const char* PRODUCT_FILE = "product.xml";

// The smallest provider id that a `Plugin` element may configure.
constexpr uint32_t FIRST_CONFIGURABLE_PROVIDER = 0x40000;

// One `Plugin` element that sets a threshold.
struct ConfiguredLevel {
    uint32_t index;               // into the level tables
    int level;                    // -1..100; -1 means no threshold of its own
    const TiXmlElement* element;  // the element, for further attributes
};

// Reads one `Plugin` element: false when `ID` or `LogLevel` is missing or not
// a number, or outside the rule above.
inline bool ReadConfiguredLevel(const TiXmlElement& plugin, ConfiguredLevel* entry)
{
    int id = 0;
    int level = 0;
    if (plugin.QueryIntAttribute("ID", &id) != TIXML_SUCCESS ||
        plugin.QueryIntAttribute("LogLevel", &level) != TIXML_SUCCESS) {
        return false;
    }
    // Ids are written as signed numbers; their 32 bits count. An index within
    // the tables also means that bits 24..27 are clear.
    const auto provider = static_cast<uint32_t>(id);
    const uint32_t index = PROVIDER_INDEX(provider);
    if (provider < FIRST_CONFIGURABLE_PROVIDER || index >= LOG_LEVEL_TABLE_SIZE || level < -1 || level > 100) {
        return false;
    }
    *entry = ConfiguredLevel{index, level, &plugin};
    return true;
}

// Calls `apply(const ConfiguredLevel&)` for every valid `Plugin` child of
// every `Module` child of `modules`, in document order.
template <typename Apply>
void ForEachConfiguredLevel(const TiXmlElement& modules, Apply apply)
{
    for (const TiXmlElement* module = modules.FirstChildElement("Module"); module != nullptr;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
             plugin = plugin->NextSiblingElement("Plugin")) {
            ConfiguredLevel entry{};
            if (ReadConfiguredLevel(*plugin, &entry)) {
                apply(entry);
            }
        }
    }
}

#endif  // DVRCORE_CONFIG_CONFIGURATION_SCHEMA_H
