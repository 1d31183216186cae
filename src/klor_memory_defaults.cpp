// The callbacks a pool holds after construction and after close(): the
// system heap, through the operating-system layer. Arguments pass unchanged.
#include "klor/klor_memory.h"
#include "klor/klor_os.h"

namespace KLOR {

void* Memory_DefaultMalloc(unsigned int size, unsigned int type) {
    return KLOR_OS_Memory_Alloc(static_cast<int>(size), type);
}

void* Memory_DefaultRealloc(void* memory, unsigned int size, unsigned int type) {
    return KLOR_OS_Memory_Realloc(memory, static_cast<int>(size), type);
}

void Memory_DefaultFree(void* memory, unsigned int type) { KLOR_OS_Memory_Free(memory, type); }

}  // namespace KLOR
