// What the pool's source files share and the library does not export: the
// allocation tags of the pool's own requests, the lock taken at first use,
// and the failure report.
#pragma once

#include <cstdint>

#include "klor/klor_global.h"
#include "klor/klor_memory.h"
#include "klor/klor_os.h"

namespace KLOR {
namespace pool_detail {

// Allocation tags of the pool's own requests (memory type 0). The text and
// the numbers reach Global.errorCallback verbatim, so hosts match on them.
constexpr char kPoolTagFile[] = "../src/klor_memory";
enum PoolTagLine : int {
    kLineBitmapAlloc  = 286,  // bitmap allocated by initCustom
    kLineBitmapFree   = 343,  // bitmap released by close
    kLineHeaderAlloc  = 692,  // header record of a block-mode allocation
    kLineHeaderFree   = 857,  // header record released by free
};

// Outside block mode the header sits in front of the caller's memory.
constexpr int kHeaderBytes = static_cast<int>(sizeof(AllocHeader));

// The failure report text is cut to this many bytes, terminator included.
constexpr int kReportBufferBytes = 256;

// The lock of `pool`, created in memory form if set-up made none. False when
// it cannot be created: the caller then does nothing and reports nothing.
inline bool enterPoolLock(MemPool& pool) {
    if (pool.crit == nullptr && KLOR_OS_CriticalSection_Create(&pool.crit, true) != KLOR_OK) {
        return false;
    }
    KLOR_OS_CriticalSection_Enter(pool.crit);
    return true;
}

inline void leavePoolLock(MemPool& pool) { KLOR_OS_CriticalSection_Leave(pool.crit); }

// Hands "file (line)" and the requested length to Global.errorCallback, if
// one is set. Called with the pool's lock left, so the callback may allocate.
void reportAllocationFailure(const char* file, int line, int length);

// Request size in 32-bit arithmetic: the length, plus the header outside
// block mode. Wraps like the shared interface's 32-bit fields do.
inline int requestSize(const MemPool& pool, int length) {
    const uint32_t extra = pool.blockMode ? 0u : static_cast<uint32_t>(kHeaderBytes);
    return static_cast<int>(static_cast<uint32_t>(length) + extra);
}

// Blocks covering `bytes`, rounded up; computed wide so that a length near
// INT_MAX cannot wrap into a negative count.
inline int blocksFor(const MemPool& pool, int bytes) {
    return static_cast<int>((static_cast<int64_t>(bytes) + pool.blockSize - 1) / pool.blockSize);
}

// Memory type as a callback sees it: the caller's type under the host's mask.
inline unsigned int callbackType(unsigned int type) { return type & gGlobal->memoryTypeMask; }

}  // namespace pool_detail
}  // namespace KLOR
