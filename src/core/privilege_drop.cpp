// Placeholder definitions, replaced as the privilege drop is completed.
#include "privilege_drop.h"

bool DropPrivileges() { return true; }
void SetCapabilities(uint32_t) {}
