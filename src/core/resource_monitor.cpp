// Placeholder definitions, replaced as the resource monitor is completed.
#include "dvrcore.h"

void dvrcore::OnTimer(const boost::system::error_code&) {}
void dvrcore::SetLowMemory(bool) {}
uint32_t dvrcore::ReadResidentBytes() { return 0; }
