// Placeholder definitions, replaced as the plugin host is completed.
#include "dvrcore.h"

bool dvrcore::LoadPlugins() { return false; }
void dvrcore::OpenPlugins() {}
bool dvrcore::ClosePlugins() { return true; }
bool dvrcore::UnloadPlugins() { return true; }
void dvrcore::ProvideWorkerThread(PLUGININFO&) {}
void dvrcore::StartAsyncReader(PLUGININFO&) {}
