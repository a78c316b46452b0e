// Dropping one owner's reference to a payload block.
#include "dvrcore.h"

void dvrcore::ReleaseBlock(void* block, uint32_t owner)
{
    if (block == nullptr) {
        return;  // events without payload: nothing to count or free
    }
    RefBlockTable::Origin origin{};
    if (!refBlocks.ReleaseRef(block, owner, &origin)) {
        return;
    }
    // The reader whose reply carried this block may send its next one.
    handleGate.BlockReleased(block);
    block_homes::SendHome(block, origin.size, origin.home);
}
