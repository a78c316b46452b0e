// Configuration updates: deltas of log thresholds sent as EVT_CONFIG text.
#include "configuration_schema.h"
#include "dvrcore.h"
#include "xml_document.h"

void dvrcore::ApplyConfiguration(const std::string& text)
{
    // From a malformed text, what was parsed before the error still counts.
    XmlDocument document;
    document.Parse(text.c_str());
    const TiXmlElement* root = document.RootElement();
    if (root == nullptr) {
        return;
    }
    // The configuration the core publishes itself comes back here with
    // Delta 0 and is ignored.
    int delta = 0;
    if (root->QueryIntAttribute("Delta", &delta) != TIXML_SUCCESS || delta == 0) {
        return;
    }
    const TiXmlElement* modules = root->FirstChildElement("Modules");
    if (modules == nullptr) {
        return;
    }
    bool changed = false;
    ForEachConfiguredLevel(*modules, [this, &changed](const ConfiguredLevel& entry) {
        if (logLevels.Get(entry.index) == entry.level) {
            return;
        }
        logLevels.Set(entry.index, static_cast<int8_t>(entry.level));
        // -1 means back to the plugin's default threshold.
        if (logLevels.Get(entry.index) == LogLevelTable::kNoThreshold) {
            logLevels.Set(entry.index, defaultLogLevels.Get(entry.index));
        }
        changed = true;
    });
    if (changed) {
        SaveConfiguration();
    }
}
