// Placeholder definitions, replaced as the configuration is completed.
#include "dvrcore.h"

void dvrcore::LoadConfiguration() {}
void dvrcore::SaveConfiguration() {}
void dvrcore::ApplyConfiguration(const std::string&) {}
void dvrcore::PublishDocument(TiXmlDocument&, uint32_t) {}
void dvrcore::PublishMemoryStatus() {}
