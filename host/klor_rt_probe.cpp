// The real-time probe (see klor_rt_probe.h): counts, on an armed thread,
// every call that may allocate, lock, wait or sleep.
//
// The probe is preloaded, so its definitions win over the C library's for the
// whole process, including for the module under test. Each wrapper checks one
// thread-local flag and forwards to the next definition (dlsym RTLD_NEXT):
// the C library's, or that of another preloaded allocator further down
// LD_PRELOAD, so that every allocation and its release reach the same heap.
//
// dlsym itself may allocate. While the malloc family is being looked up
// (once, in the constructor or at the first call), allocations are served
// from a small static arena whose blocks are never released; free ignores
// them and realloc moves them out.
//
// The thread-local state uses the initial-exec model: a dynamic TLS access
// could allocate on first use and so re-enter malloc.
#include "klor_rt_probe.h"

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#define KLOR_PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#define KLOR_PROBE_TLS __thread __attribute__((tls_model("initial-exec")))

namespace {

KLOR_PROBE_TLS bool tArmed;
KLOR_PROBE_TLS KlorRtProbeCounts tCounts;

enum class Kind { Allocation, Release, Lock, Wait, Sleep };

inline void note(Kind kind) {
    if (!tArmed) return;
    switch (kind) {
        case Kind::Allocation: ++tCounts.allocations; break;
        case Kind::Release: ++tCounts.releases; break;
        case Kind::Lock: ++tCounts.locks; break;
        case Kind::Wait: ++tCounts.waits; break;
        case Kind::Sleep: ++tCounts.sleeps; break;
    }
}

typedef void* (*MallocFn)(size_t);
typedef void* (*CallocFn)(size_t, size_t);
typedef void* (*ReallocFn)(void*, size_t);
typedef void* (*MemalignFn)(size_t, size_t);
typedef void (*FreeFn)(void*);
typedef int (*PosixMemalignFn)(void**, size_t, size_t);
typedef void* (*AlignedAllocFn)(size_t, size_t);
typedef void* (*VallocFn)(size_t);
typedef int (*MutexFn)(pthread_mutex_t*);
typedef int (*SemWaitFn)(sem_t*);
typedef int (*SemTimedWaitFn)(sem_t*, const struct timespec*);
typedef int (*NanosleepFn)(const struct timespec*, struct timespec*);
typedef int (*ClockNanosleepFn)(clockid_t, int, const struct timespec*, struct timespec*);
typedef int (*UsleepFn)(useconds_t);
typedef unsigned int (*SleepFn)(unsigned int);

struct NextFunctions {
    MallocFn malloc;
    CallocFn calloc;
    ReallocFn realloc;
    MemalignFn memalign;
    FreeFn free;
    PosixMemalignFn posixMemalign;
    AlignedAllocFn alignedAlloc;
    VallocFn valloc;
    MutexFn mutexLock;
    MutexFn mutexTrylock;
    SemWaitFn semWait;
    SemTimedWaitFn semTimedwait;
    NanosleepFn nanosleep;
    ClockNanosleepFn clockNanosleep;
    UsleepFn usleep;
    SleepFn sleep;
};

NextFunctions gNext;

template <typename Fn>
Fn next(Fn& slot, const char* name) {
    Fn fn = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (fn == nullptr) {
        fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(&slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

// Bump arena for the lookups' own allocations: 16-byte aligned blocks,
// zero-filled (static storage), never reused.
alignas(16) unsigned char gBootstrap[16384];
size_t gBootstrapUsed = 0;
bool gResolvingAllocator = false;

void* bootstrapAllocate(size_t size) {
    const size_t rounded = (size + 15) & ~size_t(15);
    if (rounded > sizeof gBootstrap - gBootstrapUsed) return nullptr;
    void* block = gBootstrap + gBootstrapUsed;
    gBootstrapUsed += rounded;
    return block;
}

bool fromBootstrap(const void* p) {
    const auto* at = static_cast<const unsigned char*>(p);
    return at >= gBootstrap && at < gBootstrap + sizeof gBootstrap;
}

// True once the malloc family can be forwarded; false while its lookup is
// under way (the caller then uses the arena).
bool allocatorReady() {
    if (__atomic_load_n(&gNext.free, __ATOMIC_ACQUIRE) != nullptr) return true;
    if (gResolvingAllocator) return false;
    gResolvingAllocator = true;
    next(gNext.malloc, "malloc");
    next(gNext.calloc, "calloc");
    next(gNext.realloc, "realloc");
    next(gNext.memalign, "memalign");
    next(gNext.free, "free");
    gResolvingAllocator = false;
    return true;
}

__attribute__((constructor)) void resolveNextFunctions() {
    allocatorReady();
    next(gNext.posixMemalign, "posix_memalign");
    next(gNext.alignedAlloc, "aligned_alloc");
    next(gNext.valloc, "valloc");
    next(gNext.mutexLock, "pthread_mutex_lock");
    next(gNext.mutexTrylock, "pthread_mutex_trylock");
    next(gNext.semWait, "sem_wait");
    next(gNext.semTimedwait, "sem_timedwait");
    next(gNext.nanosleep, "nanosleep");
    next(gNext.clockNanosleep, "clock_nanosleep");
    next(gNext.usleep, "usleep");
    next(gNext.sleep, "sleep");
}

}  // namespace

KLOR_PROBE_EXPORT void klor_rt_probe_arm(void) {
    tCounts = KlorRtProbeCounts{};
    tArmed = true;
}

KLOR_PROBE_EXPORT void klor_rt_probe_disarm(KlorRtProbeCounts* counts) {
    tArmed = false;
    if (counts != nullptr) *counts = tCounts;
}

// --- Allocation ---------------------------------------------------------------

KLOR_PROBE_EXPORT void* malloc(size_t size) noexcept {
    note(Kind::Allocation);
    if (!allocatorReady()) return bootstrapAllocate(size);
    return gNext.malloc(size);
}

KLOR_PROBE_EXPORT void* calloc(size_t count, size_t size) noexcept {
    note(Kind::Allocation);
    if (!allocatorReady()) {
        size_t bytes;
        return __builtin_mul_overflow(count, size, &bytes) ? nullptr : bootstrapAllocate(bytes);
    }
    return gNext.calloc(count, size);
}

KLOR_PROBE_EXPORT void* realloc(void* memory, size_t size) noexcept {
    note(Kind::Allocation);
    if (!allocatorReady()) return nullptr;
    if (memory != nullptr && fromBootstrap(memory)) {
        // Arena blocks do not know their size: copy what the arena still
        // holds after the block, at most the new size.
        void* moved = gNext.malloc(size);
        if (moved == nullptr) return nullptr;
        const size_t available =
            static_cast<size_t>(gBootstrap + sizeof gBootstrap - static_cast<unsigned char*>(memory));
        __builtin_memcpy(moved, memory, size < available ? size : available);
        return moved;
    }
    return gNext.realloc(memory, size);
}

KLOR_PROBE_EXPORT void* memalign(size_t alignment, size_t size) noexcept {
    note(Kind::Allocation);
    if (!allocatorReady()) return nullptr;
    return gNext.memalign(alignment, size);
}

KLOR_PROBE_EXPORT int posix_memalign(void** memory, size_t alignment, size_t size) noexcept {
    note(Kind::Allocation);
    return next(gNext.posixMemalign, "posix_memalign")(memory, alignment, size);
}

KLOR_PROBE_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept {
    note(Kind::Allocation);
    return next(gNext.alignedAlloc, "aligned_alloc")(alignment, size);
}

KLOR_PROBE_EXPORT void* valloc(size_t size) noexcept {
    note(Kind::Allocation);
    return next(gNext.valloc, "valloc")(size);
}

KLOR_PROBE_EXPORT void free(void* memory) noexcept {
    note(Kind::Release);
    if (memory == nullptr || fromBootstrap(memory) || !allocatorReady()) return;
    gNext.free(memory);
}

// --- Locks, waits, sleeps -----------------------------------------------------

KLOR_PROBE_EXPORT int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    note(Kind::Lock);
    return next(gNext.mutexLock, "pthread_mutex_lock")(mutex);
}

KLOR_PROBE_EXPORT int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept {
    note(Kind::Lock);
    return next(gNext.mutexTrylock, "pthread_mutex_trylock")(mutex);
}

KLOR_PROBE_EXPORT int sem_wait(sem_t* semaphore) {
    note(Kind::Wait);
    return next(gNext.semWait, "sem_wait")(semaphore);
}

KLOR_PROBE_EXPORT int sem_timedwait(sem_t* semaphore, const struct timespec* deadline) {
    note(Kind::Wait);
    return next(gNext.semTimedwait, "sem_timedwait")(semaphore, deadline);
}

KLOR_PROBE_EXPORT int nanosleep(const struct timespec* requested, struct timespec* remaining) {
    note(Kind::Sleep);
    return next(gNext.nanosleep, "nanosleep")(requested, remaining);
}

KLOR_PROBE_EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* requested,
                                      struct timespec* remaining) {
    note(Kind::Sleep);
    return next(gNext.clockNanosleep, "clock_nanosleep")(clock, flags, requested, remaining);
}

KLOR_PROBE_EXPORT int usleep(useconds_t microseconds) {
    note(Kind::Sleep);
    return next(gNext.usleep, "usleep")(microseconds);
}

KLOR_PROBE_EXPORT unsigned int sleep(unsigned int seconds) {
    note(Kind::Sleep);
    return next(gNext.sleep, "sleep")(seconds);
}
