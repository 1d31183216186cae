// The pool's allocating and releasing operations, and the thread slots.
//
// Each of alloc, realloc and free chooses its way on its own callback field
// first (non-null: callback mode), then on blockMode (0: region, else block
// bitmap). Where the header lives depends on blockMode alone:
//
//   blockMode 0   [ AllocHeader | caller's bytes ... ]   caller gets +16
//   blockMode 1   AllocHeader record from Global.memPool  caller gets it
//                 -> blocks at blockBase + startBlock * blockSize
//
// Accounting (under the lock):
//   main account   slotBytes[0] += length, slotBytes[header.threadSlot] += length
//   side account   sideBytes += length   (type has KLOR_MEMORY_SIDE_ACCOUNT)
//   peaks          peakBytes, sidePeakBytes, peakBlocks only ever rise
//
// Cost outside the callee: a scan of at most 31 thread IDs; in block mode the
// bitmap search. The failure path allocates nothing and reports after the
// lock is left.
#include <cstring>

#include "klor/klor_memory.h"
#include "klor/region_alloc.h"
#include "klor_memory_internal.h"

namespace KLOR {

using namespace pool_detail;

namespace {

constexpr int kFirstSlot = 1;
constexpr int kLastOwnedSlot = 31;
constexpr int kOverflowSlot = 32;

AllocHeader* headerOf(const MemPool& pool, void* pointer) {
    return pool.blockMode != 0 ? static_cast<AllocHeader*>(pointer)
                               : static_cast<AllocHeader*>(pointer) - 1;
}

void* resultOf(const MemPool& pool, AllocHeader* header) {
    return pool.blockMode != 0 ? static_cast<void*>(header) : static_cast<void*>(header + 1);
}

void chargeMain(MemPool& pool, uint32_t slot, uint32_t bytes) {
    pool.slotBytes[0] += bytes;
    pool.slotBytes[slot] += bytes;
    if (pool.slotBytes[0] > pool.peakBytes) pool.peakBytes = pool.slotBytes[0];
}

void unchargeMain(MemPool& pool, uint32_t slot, uint32_t bytes) {
    pool.slotBytes[0] -= bytes;
    pool.slotBytes[slot] -= bytes;
}

// Called after the byte peak is up to date, so wastedBytes compares the two
// peaks of the same moment.
void holdBlocks(MemPool& pool, int blocks) {
    pool.blocksInUse += blocks;
    if (pool.blocksInUse > pool.peakBlocks) {
        pool.peakBlocks = pool.blocksInUse;
        pool.peakBlockBytes = static_cast<int>(static_cast<uint32_t>(pool.peakBlocks) *
                                               static_cast<uint32_t>(pool.blockSize));
        pool.wastedBytes = static_cast<int>(static_cast<uint32_t>(pool.peakBlockBytes) -
                                            pool.peakBytes);
    }
}

// Block mode: marks a first-fit run and takes a header record for it from
// Global.memPool. When no record can be had the run is cleared again, which
// also puts the hint back where it was, and the allocation fails like any
// other. A block-mode pool that is itself Global.memPool cannot hold its own
// records (each would need another), so it fails the same way.
AllocHeader* allocateBlocks(MemPool& pool, int blocks) {
    const int start = pool.findFreeBlocks(pool.firstFreeHint, pool.blockCount, blocks);
    if (start < 0) return nullptr;
    MemPool* records = gGlobal->memPool;
    if (records == &pool) return nullptr;
    pool.set(start, 1, blocks);
    auto header = static_cast<AllocHeader*>(
        records->alloc(kHeaderBytes, kPoolTagFile, kLineHeaderAlloc, 0, false));
    if (header == nullptr) {
        pool.set(start, 0, blocks);
        return nullptr;
    }
    header->startBlock = start;
    return header;
}

// Block mode resize of the caller's record: the old run is cleared first, so
// a run of the same or fewer blocks always stays in place; a longer one stays
// if the blocks after it are free, else moves to the first fit. No content is
// copied. Null when no run is long enough; the old run is then cleared (the
// caller marks it again).
AllocHeader* resizeBlocks(MemPool& pool, AllocHeader* header, int blocks) {
    const int oldStart = header->startBlock;
    pool.set(oldStart, 0, header->blocks);
    // The in-place window ends at the run's end; capped at blockCount so that
    // a huge count cannot overflow it (such a run cannot fit either way).
    const int inPlaceEnd = blocks > pool.blockCount - oldStart ? pool.blockCount : oldStart + blocks;
    if (pool.findFreeBlocks(oldStart, inPlaceEnd, blocks) == oldStart) {
        pool.set(oldStart, 1, blocks);
        return header;
    }
    const int start = pool.findFreeBlocks(pool.firstFreeHint, pool.blockCount, blocks);
    if (start < 0) return nullptr;
    pool.set(start, 1, blocks);
    header->startBlock = start;
    return header;
}

}  // namespace

void* MemPool::alloc(int length, const char* file, int line, unsigned int type, bool clear) {
    if (!enterPoolLock(*this)) return nullptr;

    const int request = requestSize(*this, length);
    AllocHeader* header = nullptr;
    int blocks = 0;
    if (mallocCallback != nullptr) {
        header = static_cast<AllocHeader*>(
            mallocCallback(static_cast<unsigned int>(request), callbackType(type)));
    } else if (blockMode == 0) {
        header = static_cast<AllocHeader*>(
            mspace_malloc(region, static_cast<size_t>(static_cast<int64_t>(request))));
    } else {
        blocks = blocksFor(*this, request);
        header = allocateBlocks(*this, blocks);
    }

    if (header == nullptr) {
        leavePoolLock(*this);
        reportAllocationFailure(file, line, length);
        return nullptr;
    }

    header->size = static_cast<uint32_t>(length);
    header->blocks = blocks;
    header->threadSlot = static_cast<uint32_t>(getCurrentThreadID(0));
    if ((type & KLOR_MEMORY_SIDE_ACCOUNT) != 0) {
        sideBytes += static_cast<uint32_t>(length);
        if (sideBytes > sidePeakBytes) sidePeakBytes = sideBytes;
    } else {
        chargeMain(*this, header->threadSlot, static_cast<uint32_t>(length));
    }
    holdBlocks(*this, blocks);

    void* result = resultOf(*this, header);
    if (blockMode == 0 && clear && length > 0) {
        std::memset(result, 0, static_cast<size_t>(length));
    }
    leavePoolLock(*this);
    return result;
}

void* MemPool::calloc(int length, const char* file, int line, unsigned int type) {
    return alloc(length, file, line, type, true);
}

// A failed resize leaves the caller's allocation exactly as it was: its old
// figures go back into the main account and, in block mode, its old run is
// marked again, so the later free of the still-live pointer balances.
void* MemPool::realloc(void* pointer, int length, const char* file, int line, unsigned int type) {
    if (pointer == nullptr) return alloc(length, file, line, 0, false);
    if (!enterPoolLock(*this)) return nullptr;

    const int request = requestSize(*this, length);
    AllocHeader* header = headerOf(*this, pointer);
    const uint32_t oldSize = header->size;
    const uint32_t oldSlot = header->threadSlot;
    const int oldBlocks = header->blocks;
    unchargeMain(*this, oldSlot, oldSize);
    blocksInUse -= oldBlocks;

    AllocHeader* moved = nullptr;
    int blocks = 0;
    bool throughBitmap = false;
    if (reallocCallback != nullptr) {
        moved = static_cast<AllocHeader*>(
            reallocCallback(header, static_cast<unsigned int>(request), callbackType(type)));
    } else if (blockMode == 0) {
        moved = static_cast<AllocHeader*>(
            mspace_realloc(region, header, static_cast<size_t>(static_cast<int64_t>(request))));
    } else {
        throughBitmap = true;
        blocks = blocksFor(*this, request);
        moved = resizeBlocks(*this, header, blocks);
    }

    if (moved == nullptr) {
        if (throughBitmap) set(header->startBlock, 1, oldBlocks);
        blocksInUse += oldBlocks;
        slotBytes[0] += oldSize;
        slotBytes[oldSlot] += oldSize;
        leavePoolLock(*this);
        reportAllocationFailure(file, line, length);
        return nullptr;
    }

    moved->size = static_cast<uint32_t>(length);
    moved->blocks = blocks;
    moved->threadSlot = static_cast<uint32_t>(getCurrentThreadID(0));
    chargeMain(*this, moved->threadSlot, static_cast<uint32_t>(length));
    holdBlocks(*this, blocks);

    void* result = resultOf(*this, moved);
    leavePoolLock(*this);
    return result;
}

// The slot charged is the one recorded in the header, whichever thread
// releases. In block mode the header record goes back to Global.memPool
// after this pool's lock is left, and only when the run was cleared through
// the bitmap (a record that a free callback released is gone already).
void MemPool::free(void* pointer, const char* /*file*/, int /*line*/, unsigned int type) {
    if (!enterPoolLock(*this)) return;

    AllocHeader* header = headerOf(*this, pointer);
    if ((type & KLOR_MEMORY_SIDE_ACCOUNT) != 0) {
        sideBytes -= header->size;
    } else {
        unchargeMain(*this, header->threadSlot, header->size);
    }
    blocksInUse -= header->blocks;
    header->threadSlot = 0;

    bool returnRecord = false;
    if (freeCallback != nullptr) {
        freeCallback(header, callbackType(type));
    } else if (blockMode == 0) {
        mspace_free(region, header);
    } else {
        set(header->startBlock, 0, header->blocks);
        returnRecord = true;
    }
    leavePoolLock(*this);

    if (returnRecord) gGlobal->memPool->free(header, kPoolTagFile, kLineHeaderFree, 0);
}

unsigned int MemPool::getSize(void* pointer, const char* /*file*/, int /*line*/) {
    return headerOf(*this, pointer)->size;
}

// Slots 1..31 go to the first 31 distinct threads and are never given back
// while the pool lives; every further thread shares the overflow slot 32.
int MemPool::getCurrentThreadID(unsigned int threadId) {
    if (threadId == 0) KLOR_OS_Thread_GetCurrentID(&threadId);
    for (int slot = kFirstSlot; slot <= kLastOwnedSlot; ++slot) {
        if (threadIds[slot] == threadId) return slot;
        if (threadIds[slot] == 0) {
            threadIds[slot] = threadId;
            slotBytes[slot] = 0;
            return slot;
        }
    }
    return kOverflowSlot;
}

}  // namespace KLOR
