// Dropping one owner's reference to a payload block.
#include "dvrcore.h"

namespace {

void GiveBack(dvrcore& core, void* block, const RefBlockTable::Origin& origin)
{
    // The reader whose reply carried this block may send its next one.
    core.handleGate.BlockReleased(block);
    block_homes::SendHome(block, origin.size, origin.home);
}

}  // namespace

void dvrcore::ReleaseBlock(void* block, uint32_t owner)
{
    RefBlockTable::Origin origin{};
    // Events without payload: nothing to count or free.
    if (block != nullptr && refBlocks.ReleaseRef(block, owner, &origin)) {
        GiveBack(*this, block, origin);
    }
}

void dvrcore::ReleaseBlock(void* block, const std::vector<uint32_t>& owners)
{
    RefBlockTable::Origin origin{};
    if (block != nullptr && refBlocks.ReleaseRefs(block, owners, &origin)) {
        GiveBack(*this, block, origin);
    }
}
