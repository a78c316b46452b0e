// Placeholder definitions, replaced as the event routing is completed.
#include <cstdlib>

#include "dvrcore.h"

RefBlockTable::RefBlockTable(EventFunction eventFn) : eventFn_(eventFn) {}
RefBlockTable::~RefBlockTable() = default;
void RefBlockTable::AddRef(void*, uint32_t, uint32_t) {}
bool RefBlockTable::ReleaseRef(void*, uint32_t) { return true; }
uint32_t RefBlockTable::BlockCount() const { return 0; }
uint32_t RefBlockTable::ByteCount() const { return 0; }
std::unordered_map<uint32_t, uint32_t> RefBlockTable::OwnerTally() const { return {}; }
std::string RefBlockTable::LeakReport() const { return {}; }

int FrameGate::Admit(uint32_t, uint32_t, uint8_t, bool) { return RESULT_OK; }
FrameGate::ThrottledCounts FrameGate::ThrottledFrames() const { return {0, 0}; }
void FrameGate::ResetThrottledFrames() {}

void HandleGate::Cancel(void*) {}
void HandleGate::Revive(void*) {}
void HandleGate::EnterReader() {}
void HandleGate::LeaveReader() {}
bool HandleGate::Admit(void*, void*) { return false; }
void HandleGate::BlockReleased(void*) {}

void dvrcore::ReleaseBlock(void* block, uint32_t owner)
{
    if (refBlocks.ReleaseRef(block, owner)) {
        std::free(block);
    }
}
void dvrcore::StartBroadcast(const _EventParmsIn&) {}
