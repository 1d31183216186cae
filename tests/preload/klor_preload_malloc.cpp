// libklor_preload_malloc.so: runs a whole program's heap on one region of
// the region allocator, for testing it under real programs. Never installed.
//
//   LD_PRELOAD=libklor_preload_malloc.so python3 script.py
//   KLOR_PRELOAD_REGION=4G ...     region size (bytes, or with K/M/G)
//
// Layout: one anonymous mapping of KLOR_PRELOAD_REGION bytes (default
// 1 GiB), reserved without backing (MAP_NORESERVE) on the first allocation
// and never given back; one region over all of it; one lock around every
// region call. Pages are only touched as the program uses them.
//
// Pointers that do not lie inside the mapping were handed out before the
// preload took over (or by someone else's allocator): free, realloc and
// malloc_usable_size pass them to the C library's own functions, looked up
// with dlsym(RTLD_NEXT) outside the lock (dlsym may allocate).
//
// Semantics where the C standard leaves a choice follow the region
// allocator: malloc(0) and realloc(p, 0) return a minimal live block.
// Failures set errno to ENOMEM. A fork holds the lock across the fork, so
// that the child never inherits it taken.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "klor/klor_global.h"
#include "klor/region_alloc.h"

#define KLOR_PRELOAD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint64_t kDefaultRegionBytes = uint64_t(1) << 30;
constexpr uint64_t kPageBytes = 4096;

pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
KLOR::Global gGlobalRecord;
void* gRegion = nullptr;
uintptr_t gLow = 0;
uintptr_t gHigh = 0;
bool gInitFailed = false;

typedef void (*FreeFn)(void*);
typedef void* (*ReallocFn)(void*, size_t);
typedef size_t (*UsableSizeFn)(void*);

uint64_t regionBytesFromEnvironment() {
    const char* text = getenv("KLOR_PRELOAD_REGION");
    if (text == nullptr || *text == 0) return kDefaultRegionBytes;
    char* end = nullptr;
    uint64_t value = strtoull(text, &end, 0);
    switch (end ? *end : 0) {
        case 'k': case 'K': value <<= 10; break;
        case 'm': case 'M': value <<= 20; break;
        case 'g': case 'G': value <<= 30; break;
        default: break;
    }
    return value >= 16 * kPageBytes ? value & ~(kPageBytes - 1) : kDefaultRegionBytes;
}

void lockHeap() { pthread_mutex_lock(&gLock); }
void unlockHeap() { pthread_mutex_unlock(&gLock); }
void unlockHeapInChild() { pthread_mutex_init(&gLock, nullptr); }

// Called with the lock held. The region binds its parameter block through
// gGlobal, which no other code in this process sets.
bool ensureRegion() {
    if (gRegion != nullptr) return true;
    if (gInitFailed) return false;
    const uint64_t bytes = regionBytesFromEnvironment();
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        gInitFailed = true;
        return false;
    }
    KLOR::gGlobal = &gGlobalRecord;
    gRegion = KLOR::create_mspace_with_base(memory, bytes, 0);
    if (gRegion == nullptr) {
        munmap(memory, bytes);
        gInitFailed = true;
        return false;
    }
    gLow = reinterpret_cast<uintptr_t>(memory);
    gHigh = gLow + bytes;
    return true;
}

// Registered once the C library is up, outside the lock: registering may
// allocate.
__attribute__((constructor)) void holdTheLockAcrossFork() {
    pthread_atfork(&lockHeap, &unlockHeap, &unlockHeapInChild);
}

bool ours(const void* p) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    return at >= gLow && at < gHigh;
}

// An in-use chunk of size S offers S - 8 bytes; its size word sits 8 bytes
// before the pointer, flags in the low 3 bits.
size_t usableBytes(const void* p) {
    uint64_t sizeFlags;
    memcpy(&sizeFlags, static_cast<const uint8_t*>(p) - 8, sizeof sizeFlags);
    return static_cast<size_t>((sizeFlags & ~uint64_t(7)) - 8);
}

template <typename Fn>
Fn systemFunction(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void* regionMalloc(size_t bytes) {
    lockHeap();
    void* p = ensureRegion() ? KLOR::mspace_malloc(gRegion, bytes) : nullptr;
    unlockHeap();
    if (p == nullptr) errno = ENOMEM;
    return p;
}

void* regionMemalign(size_t alignment, size_t bytes) {
    lockHeap();
    void* p = ensureRegion() ? KLOR::mspace_memalign(gRegion, alignment, bytes) : nullptr;
    unlockHeap();
    if (p == nullptr) errno = ENOMEM;
    return p;
}

bool powerOfTwo(size_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

KLOR_PRELOAD_EXPORT void* malloc(size_t bytes) noexcept { return regionMalloc(bytes); }

KLOR_PRELOAD_EXPORT void free(void* p) noexcept {
    if (p == nullptr) return;
    if (!ours(p)) {
        static FreeFn systemFree = systemFunction<FreeFn>("free");
        if (systemFree != nullptr) systemFree(p);
        return;
    }
    lockHeap();
    KLOR::mspace_free(gRegion, p);
    unlockHeap();
}

KLOR_PRELOAD_EXPORT void* calloc(size_t count, size_t size) noexcept {
    lockHeap();
    void* p = ensureRegion() ? KLOR::mspace_calloc(gRegion, count, size) : nullptr;
    unlockHeap();
    if (p == nullptr) errno = ENOMEM;
    return p;
}

KLOR_PRELOAD_EXPORT void* realloc(void* p, size_t bytes) noexcept {
    if (p == nullptr) return regionMalloc(bytes);
    if (!ours(p)) {
        // A block from before the takeover moves into the region.
        static UsableSizeFn systemUsable = systemFunction<UsableSizeFn>("malloc_usable_size");
        static FreeFn systemFree = systemFunction<FreeFn>("free");
        void* moved = regionMalloc(bytes);
        if (moved == nullptr) return nullptr;
        const size_t old = systemUsable != nullptr ? systemUsable(p) : 0;
        memcpy(moved, p, old < bytes ? old : bytes);
        if (systemFree != nullptr) systemFree(p);
        return moved;
    }
    lockHeap();
    void* resized = KLOR::mspace_realloc(gRegion, p, bytes);
    unlockHeap();
    if (resized == nullptr) errno = ENOMEM;
    return resized;
}

KLOR_PRELOAD_EXPORT void* reallocarray(void* p, size_t count, size_t size) noexcept {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(p, bytes);
}

KLOR_PRELOAD_EXPORT void* memalign(size_t alignment, size_t bytes) noexcept {
    return regionMemalign(alignment, bytes);
}

KLOR_PRELOAD_EXPORT int posix_memalign(void** out, size_t alignment, size_t bytes) noexcept {
    if (!powerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    void* p = regionMemalign(alignment, bytes);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

KLOR_PRELOAD_EXPORT void* aligned_alloc(size_t alignment, size_t bytes) noexcept {
    if (!powerOfTwo(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return regionMemalign(alignment, bytes);
}

KLOR_PRELOAD_EXPORT void* valloc(size_t bytes) noexcept { return regionMemalign(kPageBytes, bytes); }

KLOR_PRELOAD_EXPORT void* pvalloc(size_t bytes) noexcept {
    const size_t rounded = (bytes + kPageBytes - 1) & ~(kPageBytes - 1);
    return regionMemalign(kPageBytes, rounded == 0 ? kPageBytes : rounded);
}

KLOR_PRELOAD_EXPORT size_t malloc_usable_size(void* p) noexcept {
    if (p == nullptr) return 0;
    if (!ours(p)) {
        static UsableSizeFn systemUsable = systemFunction<UsableSizeFn>("malloc_usable_size");
        return systemUsable != nullptr ? systemUsable(p) : 0;
    }
    return usableBytes(p);
}
