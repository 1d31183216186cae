// MemSingleton: one allocation from Global.memPool shared by counted holders.
//
//   refCount 0, memory null      empty
//   refCount n > 0               n holders; memory is the first holder's
//                                allocation, or null if it failed (no retry
//                                until the count is back at 0)
#include "klor/klor_global.h"
#include "klor/klor_memory.h"

namespace KLOR {

void* MemSingleton::alloc(int length, const char* file, int line) {
    if (refCount == 0) memory = gGlobal->memPool->alloc(length, file, line, 0, false);
    ++refCount;
    return memory;
}

// Never takes the count below 0; on an empty count it still gives back a
// memory left in the holder.
void MemSingleton::free(const char* file, int line) {
    if (refCount != 0) {
        --refCount;
        if (refCount != 0) return;
    }
    if (memory != nullptr) {
        gGlobal->memPool->free(memory, file, line, 0);
        memory = nullptr;
    }
}

}  // namespace KLOR
