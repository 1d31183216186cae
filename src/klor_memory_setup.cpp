// Construction and set-up of a MemPool: the three modes are entered here.
//
// What each set-up writes ("close": the value the close() run first left;
// "kept": not written):
//
//   field                            ctor      close     init        initCustom
//   -------------------------------  --------  --------  ----------  ----------
//   bitmap                           0         null      close       new
//   blockBase                        0         null      close       base
//   blockMode                        0         0         close       1
//   poolBytes, blockCount            0         0         close       computed
//   blocksInUse, peakBlocks,
//     peakBytes                      0         0         0           0
//   slotBytes[0..32], threadIds      0         0         0           0
//   sideBytes, sidePeakBytes         0         kept      0           kept
//   peakBlockBytes, wastedBytes,
//     firstFreeHint                  0         kept      0           0
//   callbacks                        defaults  defaults  close       null
//   region                           null      kept      new handle  close
//   crit                             null      freed     memory      allocated
//   blockSize                        0         kept      close       blockSize
//
// The constructor zero-fills the whole object first, so blockMode reads 0
// and every field has a defined value before the first operation.
// slotBytes[32], the overflow slot, is cleared with the other 32 entries.
#include <cstdint>
#include <cstring>

#include "klor/klor_memory.h"
#include "klor/region_alloc.h"
#include "klor_memory_internal.h"

namespace KLOR {

using namespace pool_detail;

namespace {

void clearSlots(MemPool& pool) {
    std::memset(pool.slotBytes, 0, sizeof(pool.slotBytes));
    std::memset(pool.threadIds, 0, sizeof(pool.threadIds));
}

void clearMainCounters(MemPool& pool) {
    pool.blocksInUse = 0;
    pool.peakBlocks = 0;
    pool.peakBytes = 0;
    clearSlots(pool);
}

void setDefaultCallbacks(MemPool& pool) {
    pool.mallocCallback = &Memory_DefaultMalloc;
    pool.reallocCallback = &Memory_DefaultRealloc;
    pool.freeCallback = &Memory_DefaultFree;
}

// The lock's storage form is told by its address: a memory-form section
// always lives in gMemoryCrit, an allocated one never does.
bool isMemoryForm(const KLOR_OS_CRITICALSECTION* crit) {
    return static_cast<const void*>(crit) == static_cast<const void*>(&gMemoryCrit);
}

constexpr uintptr_t kRegionAlignment = 256;

}  // namespace

MemPool::MemPool() {
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    setDefaultCallbacks(*this);
    region = nullptr;
    crit = nullptr;
}

MemPool::~MemPool() { close(); }

void MemPool::close() {
    if (blockMode != 0 && bitmap != nullptr) {
        gGlobal->memPool->free(bitmap, kPoolTagFile, kLineBitmapFree, 0);
    }
    bitmap = nullptr;
    blockBase = nullptr;
    blockMode = 0;
    poolBytes = 0;
    blockCount = 0;
    clearMainCounters(*this);
    setDefaultCallbacks(*this);
    if (crit != nullptr) {
        KLOR_OS_CriticalSection_Free(crit, isMemoryForm(crit));
        crit = nullptr;
    }
}

// Example: memory 16 bytes past a multiple of 256, length 10000, unit 256 ->
// base = memory + 240, capacity = (10000 - 240) & -256 = 9728.
// The callback fields keep the defaults close() set: the region serves only
// once the owner has cleared all three.
KLOR_RESULT MemPool::init(void* memory, int length, int unit) {
    if (memory == nullptr || length == 0) return KLOR_ERR_NO_MEMORY;
    close();

    const uintptr_t address = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t base = (address + kRegionAlignment - 1) & ~(kRegionAlignment - 1);
    const uint32_t skipped = static_cast<uint32_t>(base - address);
    const int capacity =
        static_cast<int>((static_cast<uint32_t>(length) - skipped) & static_cast<uint32_t>(-unit));

    region = create_mspace_with_base(reinterpret_cast<void*>(base),
                                     static_cast<size_t>(static_cast<int64_t>(capacity)), 0);
    if (region == nullptr) return KLOR_ERR_NO_MEMORY;

    clearMainCounters(*this);
    sideBytes = 0;
    sidePeakBytes = 0;
    peakBlockBytes = 0;
    wastedBytes = 0;
    firstFreeHint = 0;
    return KLOR_OS_CriticalSection_Create(&crit, true);
}

// Examples: length 1000, block 256 -> ceil = 4 blocks, poolBytes 1024;
// length 1000, block 100 -> 10 blocks, rounded down to 8 (800 bytes);
// length 300, block 100 -> 3 blocks, rounded down to 0.
KLOR_RESULT MemPool::initCustom(void* base, int length, int size) {
    if (length == 0) return KLOR_ERR_NO_MEMORY;
    close();

    blockSize = size;
    blockCount = static_cast<int>((static_cast<int64_t>(length) + size - 1) / size) & ~3;
    poolBytes = static_cast<int>(static_cast<uint32_t>(blockCount) * static_cast<uint32_t>(size));

    bitmap = static_cast<uint8_t*>(gGlobal->memPool->alloc((blockCount + 7) / 8, kPoolTagFile,
                                                           kLineBitmapAlloc, 0, false));
    if (bitmap == nullptr) return KLOR_ERR_NO_MEMORY;

    blockBase = base;
    set(0, 0, blockCount);

    clearMainCounters(*this);
    peakBlockBytes = 0;
    wastedBytes = 0;
    firstFreeHint = 0;
    blockMode = 1;
    mallocCallback = nullptr;
    reallocCallback = nullptr;
    freeCallback = nullptr;
    return KLOR_OS_CriticalSection_Create(&crit, false);
}

}  // namespace KLOR
