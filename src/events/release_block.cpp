// Dropping one owner's reference to a payload block.
#include <cstdlib>

#include "dvrcore.h"

void dvrcore::ReleaseBlock(void* block, uint32_t owner)
{
    if (block == nullptr) {
        return;  // events without payload: nothing to count or free
    }
    if (!refBlocks.ReleaseRef(block, owner)) {
        return;
    }
    // The reader whose reply carried this block may send its next one.
    handleGate.BlockReleased(block);
    std::free(block);
}
