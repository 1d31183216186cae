// The allocators of alloc_peers.h. The region and the pools share one
// region-sized mapping, touched once when first needed, so no workload
// pays for first-touch page faults; every open() lays a fresh region or
// pool over it.
#include "alloc_peers.h"

#include <dlfcn.h>
#include <gperftools/tcmalloc.h>
#include <jemalloc/jemalloc.h>
#include <mimalloc.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "klor/klor_global.h"
#include "klor/klor_memory.h"
#include "klor/region_alloc.h"

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* pointer);
void* __libc_realloc(void* pointer, size_t size);
}

namespace klorbench {
namespace {

// Large enough for 100,000 live blocks of up to 512 bytes with room for
// fragmentation.
constexpr size_t kRegionBytes = size_t{256} << 20;

char* touchedMemory() {
    static char* memory = [] {
        void* mapped = mmap(nullptr, kRegionBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            return static_cast<char*>(nullptr);
        }
        std::memset(mapped, 0x5A, kRegionBytes);
        return static_cast<char*>(mapped);
    }();
    return memory;
}

// The host's record: one for the process, since the region allocator binds
// its parameter block to the first Global it sees.
KLOR::Global& global() {
    static KLOR::Global* record = [] {
        auto* made = new KLOR::Global();
        std::memset(static_cast<void*>(made), 0, sizeof *made);
        KLOR::gGlobal = made;
        return made;
    }();
    return *record;
}

// --- glibc -----------------------------------------------------------------

bool openNothing() { return true; }
void closeNothing() {}

void* systemAllocate(size_t size) { return __libc_malloc(size); }
void systemRelease(void* pointer, size_t) { __libc_free(pointer); }
void* systemResize(void* pointer, size_t, size_t size) { return __libc_realloc(pointer, size); }

// --- peers -----------------------------------------------------------------

void* mimallocAllocate(size_t size) { return mi_malloc(size); }
void mimallocRelease(void* pointer, size_t) { mi_free(pointer); }
void* mimallocResize(void* pointer, size_t, size_t size) { return mi_realloc(pointer, size); }

void* jemallocAllocate(size_t size) { return mallocx(size, 0); }
void jemallocRelease(void* pointer, size_t) { dallocx(pointer, 0); }
void* jemallocResize(void* pointer, size_t, size_t size) { return rallocx(pointer, size, 0); }

void* tcmallocAllocate(size_t size) { return tc_malloc(size); }
void tcmallocRelease(void* pointer, size_t) { tc_free(pointer); }
void* tcmallocResize(void* pointer, size_t, size_t size) { return tc_realloc(pointer, size); }

// --- the region allocator --------------------------------------------------

void* gRegion = nullptr;

bool regionOpen() {
    global();
    char* memory = touchedMemory();
    if (memory == nullptr) {
        return false;
    }
    gRegion = KLOR::create_mspace_with_base(memory, kRegionBytes, 0);
    return gRegion != nullptr;
}
void* regionAllocate(size_t size) { return KLOR::mspace_malloc(gRegion, size); }
void regionRelease(void* pointer, size_t) { KLOR::mspace_free(gRegion, pointer); }
void* regionResize(void* pointer, size_t, size_t size) {
    return KLOR::mspace_realloc(gRegion, pointer, size);
}
void regionClose() { gRegion = nullptr; }

// --- the pool --------------------------------------------------------------

const char kTag[] = "bench";

// Storage for the pool under test; constructed by open(), closed by close().
alignas(KLOR::MemPool) unsigned char gPoolStorage[sizeof(KLOR::MemPool)];
KLOR::MemPool* gPool = nullptr;

KLOR::MemPool* newPool() {
    std::memset(gPoolStorage, 0, sizeof gPoolStorage);
    return new (gPoolStorage) KLOR::MemPool();
}

bool poolRegionOpen() {
    global();
    char* memory = touchedMemory();
    if (memory == nullptr) {
        return false;
    }
    gPool = newPool();
    if (gPool->init(memory, static_cast<int>(kRegionBytes), 256) != 0) {
        return false;
    }
    gPool->mallocCallback = nullptr;
    gPool->reallocCallback = nullptr;
    gPool->freeCallback = nullptr;
    global().memPool = gPool;
    return true;
}

bool poolCallbackOpen() {
    global();
    gPool = newPool();
    global().memPool = gPool;
    return true;
}

void* poolAllocate(size_t size) {
    return gPool->alloc(static_cast<int>(size), kTag, __LINE__, 0, false);
}
void poolRelease(void* pointer, size_t) { gPool->free(pointer, kTag, __LINE__, 0); }
void* poolResize(void* pointer, size_t, size_t size) {
    return gPool->realloc(pointer, static_cast<int>(size), kTag, __LINE__, 0);
}
void poolClose() {
    global().memPool = nullptr;
    gPool->~MemPool();
    gPool = nullptr;
}

// Block mode: the block pool is a second object; its header records come
// from a region-mode pool published as Global.memPool.
alignas(KLOR::MemPool) unsigned char gBlockPoolStorage[sizeof(KLOR::MemPool)];
KLOR::MemPool* gBlockPool = nullptr;
alignas(64) unsigned char gBlockSpan[kBlockSize * kBlockCount];

bool poolBlockOpen() {
    if (!poolRegionOpen()) {
        return false;
    }
    std::memset(gBlockPoolStorage, 0, sizeof gBlockPoolStorage);
    gBlockPool = new (gBlockPoolStorage) KLOR::MemPool();
    return gBlockPool->initCustom(gBlockSpan, static_cast<int>(sizeof gBlockSpan),
                                  static_cast<int>(kBlockSize)) == 0;
}
void* poolBlockAllocate(size_t size) {
    return gBlockPool->alloc(static_cast<int>(size), kTag, __LINE__, 0, false);
}
void poolBlockRelease(void* pointer, size_t) { gBlockPool->free(pointer, kTag, __LINE__, 0); }
void* poolBlockResize(void* pointer, size_t, size_t size) {
    return gBlockPool->realloc(pointer, static_cast<int>(size), kTag, __LINE__, 0);
}
// Block mode hands out the header record; the bytes are its run of blocks.
void* poolBlockMemory(void* pointer) {
    const KLOR::AllocHeader* header = static_cast<const KLOR::AllocHeader*>(pointer);
    return static_cast<unsigned char*>(gBlockPool->blockBase) +
           static_cast<size_t>(header->startBlock) * kBlockSize;
}

void poolBlockClose() {
    gBlockPool->~MemPool();
    gBlockPool = nullptr;
    poolClose();
}

}  // namespace

const std::vector<Allocator>& generalAllocators() {
    static const std::vector<Allocator> all = {
        {"system", openNothing, systemAllocate, systemRelease, systemResize, closeNothing,
         nullptr},
        {"mimalloc", openNothing, mimallocAllocate, mimallocRelease, mimallocResize,
         closeNothing, nullptr},
        {"jemalloc", openNothing, jemallocAllocate, jemallocRelease, jemallocResize,
         closeNothing, nullptr},
        {"tcmalloc", openNothing, tcmallocAllocate, tcmallocRelease, tcmallocResize,
         closeNothing, nullptr},
        {"region", regionOpen, regionAllocate, regionRelease, regionResize, regionClose,
         nullptr},
        {"pool_region", poolRegionOpen, poolAllocate, poolRelease, poolResize, poolClose,
         nullptr},
        {"pool_callback", poolCallbackOpen, poolAllocate, poolRelease, poolResize, poolClose,
         nullptr},
    };
    return all;
}

const Allocator& blockModePool() {
    static const Allocator pool = {"pool_block", poolBlockOpen, poolBlockAllocate,
                                   poolBlockRelease, poolBlockResize, poolBlockClose,
                                   poolBlockMemory};
    return pool;
}

const Allocator* findAllocator(const std::string& name) {
    for (const Allocator& a : generalAllocators()) {
        if (name == a.name) {
            return &a;
        }
    }
    return name == blockModePool().name ? &blockModePool() : nullptr;
}

bool processHeapIsGlibc() {
    Dl_info resolved;
    Dl_info glibc;
    void* (*volatile processMalloc)(size_t) = &malloc;
    void* (*volatile libcMalloc)(size_t) = &__libc_malloc;
    return dladdr(reinterpret_cast<void*>(processMalloc), &resolved) != 0 &&
           dladdr(reinterpret_cast<void*>(libcMalloc), &glibc) != 0 &&
           std::strcmp(resolved.dli_fname, glibc.dli_fname) == 0;
}

}  // namespace klorbench
