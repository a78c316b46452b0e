#include "supervision_settings.h"

#include "dvrcore.h"

void ReadSupervisionSettings(dvrcore& core, const TiXmlElement& vgil)
{
    const TiXmlElement* element = vgil.FirstChildElement(SUPERVISION_ELEMENT);
    if (element == nullptr) {
        return;
    }
    core.supervisionElement = std::make_unique<TiXmlElement>(*element);
    int stallMs = 0;
    if (element->QueryIntAttribute("StallMs", &stallMs) == TIXML_SUCCESS && stallMs >= 0) {
        core.pluginWatch.SetStallThreshold(stallMs);
    }
    int seconds = 0;
    if (element->QueryIntAttribute("AccountingSeconds", &seconds) == TIXML_SUCCESS && seconds >= 0) {
        core.accounting.SetPeriod(std::chrono::seconds(seconds));
    }
}

TiXmlNode* WriteSupervisionSettings(const dvrcore& core, TiXmlElement& root)
{
    return core.supervisionElement != nullptr ? root.InsertEndChild(*core.supervisionElement) : nullptr;
}
