// The dispatcher: delivers queued events on the main thread.
#include <cstdlib>

#include "dvrcore.h"

void dvrcore::DispatchEvents()
{
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        if (eventQueue.empty()) {
            if (stopRequested) {
                return;
            }
            dispatcherWaiting = true;
            queueCond.wait(lock);
            dispatcherWaiting = false;
            continue;
        }
        _EventParmsIn event = eventQueue.front();
        eventQueue.pop_front();
        lock.unlock();
        refBlocks.AddRef(event.data, event.dataSize, CORE_PROVIDER_ID);
        ReleaseBlock(event.data, CORE_PROVIDER_ID);
        lock.lock();
    }
}
