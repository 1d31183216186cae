// KLOR::MemPool: the allocator shared by the host and the library, with its
// 16-byte allocation header and the exported ways into Global.memPool.
//
// A pool obtains memory in one of three modes:
//   callback mode  through mallocCallback/reallocCallback/freeCallback (the
//                  defaults forward to the system heap);
//   region mode    through the region allocator laid by init() over memory
//                  the owner hands over. NOTE for host authors: init() leaves
//                  the three callback fields at their defaults, so the pool
//                  keeps serving from the heap until the owner sets all
//                  three to null; only then are requests served from the
//                  region. The fields are plain data of the shared layout.
//   block mode     runs of blockSize-byte blocks of the span given to
//                  initCustom(), tracked in `bitmap`; the pool never touches
//                  the span, and each allocation's header is a separate
//                  16-byte record from Global.memPool, which is what the
//                  caller holds.
// Each of alloc/realloc/free first looks at its own callback field (non-null
// = callback mode for that operation), then at blockMode. An allocation is
// released or resized in the mode it was made in.
//
// Locking: alloc, calloc, realloc and free hold the pool's recursive lock
// (crit). Unless init/initCustom made one, the first of them creates it in
// memory form, in the single static gMemoryCrit: that first operation must
// not run on two threads at once, and only one pool per loaded module may use
// the memory form at a time. initCustom gives the pool a lock of its own
// (allocated form). close() frees the lock in the form it was made in, told by
// its address (crit == &gMemoryCrit means memory form). The constructor,
// close, init, initCustom and getSize take no lock.
//
// Failures: a request that cannot be served returns null and, once the lock
// is left, hands "file (line)" (cut to 255 characters) and the length asked
// for to Global.errorCallback. A failed realloc leaves the caller's
// allocation exactly as it was, still counted and, in block mode, still
// marked. A block-mode allocation whose 16-byte header record
// Global.memPool cannot supply (or whose pool is Global.memPool itself)
// marks nothing and fails like any other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klor/klor_export.h"
#include "klor/klor_global.h"
#include "klor/klor_os.h"
#include "klor/klor_result.h"

// Memory-type bit that sends an allocation to the pool's side account.
enum : uint32_t { KLOR_MEMORY_SIDE_ACCOUNT = 0x00400000u };

namespace KLOR {

typedef void* (*MEMORY_ALLOC_CALLBACK)(unsigned int size, unsigned int type);
typedef void* (*MEMORY_REALLOC_CALLBACK)(void* header, unsigned int size, unsigned int type);
typedef void (*MEMORY_FREE_CALLBACK)(void* header, unsigned int type);

// The default callbacks: forward to KLOR_OS_Memory_Alloc/Realloc/Free.
KLOR_EXPORT void* Memory_DefaultMalloc(unsigned int size, unsigned int type);
KLOR_EXPORT void* Memory_DefaultRealloc(void* memory, unsigned int size, unsigned int type);
KLOR_EXPORT void  Memory_DefaultFree(void* memory, unsigned int type);

// Header of every allocation, 16 bytes. Outside block mode it sits right in
// front of the caller's memory; in block mode it is a record of its own.
//
//   offset  field       meaning
//   ------  ----------  -------------------------------------------------
//        0  size        length the caller asked for (header excluded)
//        4  blocks      blocks held (block mode); 0 otherwise
//        8  startBlock  first block of the run (block mode only)
//       12  threadSlot  slot charged, 1..32; 0 once released
struct AllocHeader {
    uint32_t size;
    int32_t  blocks;
    int32_t  startBlock;
    uint32_t threadSlot;
};
static_assert(sizeof(AllocHeader) == 16, "AllocHeader layout");
static_assert(offsetof(AllocHeader, size) == 0, "AllocHeader layout");
static_assert(offsetof(AllocHeader, blocks) == 4, "AllocHeader layout");
static_assert(offsetof(AllocHeader, startBlock) == 8, "AllocHeader layout");
static_assert(offsetof(AllocHeader, threadSlot) == 12, "AllocHeader layout");

// The pool object, 368 bytes, shared with the host.
//
//   offset  field            type        meaning
//   ------  ---------------  ----------  ---------------------------------
//        0  bitmap           uint8_t*    one bit per block (block mode)
//        8  blockBase        void*       managed span; never dereferenced
//       16  blockMode        uint8_t     non-zero in block mode
//       20  poolBytes        int32       blockCount * blockSize
//       24  blockCount       int32       a multiple of 4
//       28  blocksInUse      int32
//       32  peakBlocks       int32
//       36  slotBytes[33]    uint32      [0] total live bytes, [1..31] per
//                                        thread slot, [32] overflow slot
//      168  threadIds[32]    uint32      owner of slot s (1..31); 0 = free
//      296  peakBytes        uint32      highest slotBytes[0]
//      300  sidePeakBytes    uint32      highest sideBytes
//      304  sideBytes        uint32      side account (KLOR_MEMORY_SIDE_ACCOUNT)
//      308  peakBlockBytes   int32       peakBlocks * blockSize
//      312  wastedBytes      int32       peakBlockBytes - peakBytes
//      316  firstFreeHint    int32       every block below it is in use
//      320  mallocCallback
//      328  reallocCallback
//      336  freeCallback
//      344  region           void*       handle from create_mspace_with_base
//      352  crit             lock, or null until first use
//      360  blockSize        int32
//
// Set-up (construction, close, init, initCustom) clears all 33 slotBytes
// entries, the overflow slot 32 included.
//
// Invariants (between operations, under the lock):
//   slotBytes[0] == sum of slotBytes[1..32] of live main-account allocations
//   peakBytes >= slotBytes[0], sidePeakBytes >= sideBytes; peaks never fall
//   every block below firstFreeHint is in use
class MemPool {
public:
    KLOR_EXPORT MemPool();
    KLOR_EXPORT ~MemPool();

    // Lays a region at the first 256-byte boundary of `memory`, its capacity
    // the rest of `length` rounded down to a multiple of `unit` (a power of
    // two). Serves from it only once the three callback fields are null.
    // KLOR_ERR_NO_MEMORY for null memory, length 0 (pool untouched) or no
    // room for a region.
    KLOR_EXPORT KLOR_RESULT init(void* memory, int length, int unit);
    // Block mode over [base, base + length): blockCount = ceil(length /
    // blockSize) rounded down to a multiple of 4; the bitmap and the lock come
    // from Global.memPool. KLOR_ERR_NO_MEMORY for length 0 (pool untouched) or
    // when Global.memPool cannot supply the bitmap.
    KLOR_EXPORT KLOR_RESULT initCustom(void* base, int length, int blockSize);
    KLOR_EXPORT void        close();

    KLOR_EXPORT void* alloc(int length, const char* file, int line, unsigned int type, bool clear);
    KLOR_EXPORT void* calloc(int length, const char* file, int line, unsigned int type);
    KLOR_EXPORT void* realloc(void* pointer, int length, const char* file, int line,
                              unsigned int type);
    // No result: nothing a caller could do with one. The type must carry the
    // same KLOR_MEMORY_SIDE_ACCOUNT bit as the allocation.
    KLOR_EXPORT void  free(void* pointer, const char* file, int line, unsigned int type);
    KLOR_EXPORT unsigned int getSize(void* pointer, const char* file, int line);
    // Slot 1..31 owned by the thread (0 = the calling thread), claimed on
    // first sight; 32 once all 31 belong to others. Called under the lock.
    KLOR_EXPORT int   getCurrentThreadID(unsigned int threadId);

    // Block bitmap: mark (value != 0) or clear blocks start..start+count-1.
    KLOR_EXPORT void set(int start, int value, int count);
    // First block of the first run of `count` free blocks in [start, end) and
    // below blockCount; -1 when there is none; start itself for count 0.
    KLOR_EXPORT int  findFreeBlocks(int start, int end, int count);

    uint8_t*                bitmap;
    void*                   blockBase;
    uint8_t                 blockMode;
    uint8_t                 padding17[3];
    int32_t                 poolBytes;
    int32_t                 blockCount;
    int32_t                 blocksInUse;
    int32_t                 peakBlocks;
    uint32_t                slotBytes[33];
    uint32_t                threadIds[32];
    uint32_t                peakBytes;
    uint32_t                sidePeakBytes;
    uint32_t                sideBytes;
    int32_t                 peakBlockBytes;
    int32_t                 wastedBytes;
    int32_t                 firstFreeHint;
    MEMORY_ALLOC_CALLBACK   mallocCallback;
    MEMORY_REALLOC_CALLBACK reallocCallback;
    MEMORY_FREE_CALLBACK    freeCallback;
    void*                   region;
    KLOR_OS_CRITICALSECTION* crit;
    int32_t                 blockSize;
    int32_t                 padding364;
};

static_assert(sizeof(MemPool) == 368, "MemPool layout");
static_assert(offsetof(MemPool, bitmap) == 0, "MemPool layout");
static_assert(offsetof(MemPool, blockBase) == 8, "MemPool layout");
static_assert(offsetof(MemPool, blockMode) == 16, "MemPool layout");
static_assert(offsetof(MemPool, poolBytes) == 20, "MemPool layout");
static_assert(offsetof(MemPool, blockCount) == 24, "MemPool layout");
static_assert(offsetof(MemPool, blocksInUse) == 28, "MemPool layout");
static_assert(offsetof(MemPool, peakBlocks) == 32, "MemPool layout");
static_assert(offsetof(MemPool, slotBytes) == 36, "MemPool layout");
static_assert(offsetof(MemPool, threadIds) == 168, "MemPool layout");
static_assert(offsetof(MemPool, peakBytes) == 296, "MemPool layout");
static_assert(offsetof(MemPool, sidePeakBytes) == 300, "MemPool layout");
static_assert(offsetof(MemPool, sideBytes) == 304, "MemPool layout");
static_assert(offsetof(MemPool, peakBlockBytes) == 308, "MemPool layout");
static_assert(offsetof(MemPool, wastedBytes) == 312, "MemPool layout");
static_assert(offsetof(MemPool, firstFreeHint) == 316, "MemPool layout");
static_assert(offsetof(MemPool, mallocCallback) == 320, "MemPool layout");
static_assert(offsetof(MemPool, reallocCallback) == 328, "MemPool layout");
static_assert(offsetof(MemPool, freeCallback) == 336, "MemPool layout");
static_assert(offsetof(MemPool, region) == 344, "MemPool layout");
static_assert(offsetof(MemPool, crit) == 352, "MemPool layout");
static_assert(offsetof(MemPool, blockSize) == 360, "MemPool layout");

// One allocation shared by several holders, counted. 16 bytes; a holder
// starts zero-filled. No lock: callers sharing one holder serialise.
class MemSingleton {
public:
    KLOR_EXPORT void* alloc(int length, const char* file, int line);
    KLOR_EXPORT void  free(const char* file, int line);

    void*   memory;
    int32_t refCount;
    int32_t padding12;
};
static_assert(sizeof(MemSingleton) == 16, "MemSingleton layout");
static_assert(offsetof(MemSingleton, memory) == 0, "MemSingleton layout");
static_assert(offsetof(MemSingleton, refCount) == 8, "MemSingleton layout");

}  // namespace KLOR

// Thin ways into Global.memPool (memory type 0, main account).
extern "C" {
KLOR_EXPORT void* KLOR_Memory_allocC(int length, const char* file, int line);
KLOR_EXPORT void* KLOR_Memory_callocC(int length, const char* file, int line);
KLOR_EXPORT void* KLOR_Memory_reallocC(void* ptr, int length, const char* file, int line);
KLOR_EXPORT void  KLOR_Memory_freeC(void* ptr, const char* file, int line);
KLOR_EXPORT char* KLOR_strdup(const char* text);
}
