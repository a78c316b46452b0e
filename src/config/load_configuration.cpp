// Reading product.xml and core.xml at start-up.
#include "configuration_schema.h"
#include "dvrcore.h"
#include "log_message.h"
#include "supervision_settings.h"
#include "xml_file.h"

void dvrcore::LoadConfiguration()
{
    XmlDocument product;
    if (LoadFile(product, PRODUCT_FILE)) {
        const TiXmlElement* root = product.RootElement();
        const TiXmlElement* identity = root != nullptr ? root->FirstChildElement("Product") : nullptr;
        if (identity != nullptr) {
            if (const char* family = identity->Attribute("Family")) {
                productName = family;
            }
            if (const char* version = identity->Attribute("Version")) {
                versionText = version;
            }
        }
    }

    // A broken core.xml still holds the elements parsed before the error;
    // they are applied as if the file ended there.
    XmlDocument configuration;
    LoadFile(configuration, CONFIGURATION_FILE);
    const TiXmlElement* vgil = configuration.FirstChildElement("Vgil");
    if (vgil == nullptr) {
        if (configuration.Error()) {
            LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR, "Failed to load/parse core.xml %d - %s.",
                       configuration.ErrorId(), configuration.ErrorDesc());
        } else {
            LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR,
                       "Failed to load core.xml, missing Vgil node.");
        }
        return;
    }

    const TiXmlElement* memory = vgil->FirstChildElement("Memory");
    int throttling = 0;
    if (memory != nullptr && memory->QueryIntAttribute("Throttling", &throttling) == TIXML_SUCCESS) {
        memoryMonitor = throttling != 0;
    }

    ReadSupervisionSettings(*this, *vgil);

    const TiXmlElement* modules = vgil->FirstChildElement("Modules");
    if (modules == nullptr) {
        return;
    }
    ForEachConfiguredLevel(*modules, [this](const ConfiguredLevel& entry) {
        // -1 asks for the plugin's default; the file may name one. It is not
        // range-checked: the table keeps its low byte.
        int fallback = LogLevelTable::kNoThreshold;
        if (entry.element->QueryIntAttribute("LogLevelDefault", &fallback) != TIXML_SUCCESS) {
            fallback = LogLevelTable::kNoThreshold;
        }
        logLevels.Set(entry.index,
                      static_cast<int8_t>(entry.level != LogLevelTable::kNoThreshold ? entry.level : fallback));
    });
}
