// run() of the LV2 wrapper must not allocate or lock: an audio thread that
// waits on the heap or on a mutex misses its deadline. This binary replaces
// the allocation functions and pthread_mutex_lock for the whole process
// (the executable's definitions come first in symbol lookup, also for the
// dlopened modules) and counts calls made on the test thread while run()
// is on the stack.
//
// Not built under the sanitizers, which own these functions themselves.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <cstdlib>

#include "lv2_lilv_host.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

thread_local bool tWatching = false;
thread_local unsigned tHeapCalls = 0;
thread_local unsigned tLockCalls = 0;

void noteHeap() {
    if (tWatching) ++tHeapCalls;
}

using MutexLockFn = int (*)(pthread_mutex_t*);
MutexLockFn gRealMutexLock = nullptr;

}  // namespace

extern "C" {
void* malloc(size_t n) {
    noteHeap();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    noteHeap();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    noteHeap();
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p != nullptr) noteHeap();
    __libc_free(p);
}
void* aligned_alloc(size_t alignment, size_t n) {
    noteHeap();
    return __libc_memalign(alignment, n);
}
void* memalign(size_t alignment, size_t n) {
    noteHeap();
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    noteHeap();
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
int pthread_mutex_lock(pthread_mutex_t* mutex) {
    if (tWatching) ++tLockCalls;
    if (gRealMutexLock == nullptr) {
        gRealMutexLock = reinterpret_cast<MutexLockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    }
    return gRealMutexLock(mutex);
}
}

namespace {

using lv2test::Lv2Instance;
using lv2test::Lv2World;

// Everything run() does in one stream: steady blocks, a level ramp, a
// retarget mid-ramp, a crossfade out, fully bypassed blocks, a crossfade
// back in, with block sizes from 1 frame up to several internal chunks.
TEST(Lv2Realtime, RunNeitherAllocatesNorLocks) {
    // Make sure the counters see something when they should.
    static void* volatile probe;  // volatile: the pair must not be optimised away
    tWatching = true;
    probe = malloc(16);
    free(probe);
    tWatching = false;
    ASSERT_EQ(tHeapCalls, 2u) << "the allocation functions are not replaced";
    tHeapCalls = 0;

    Lv2World world;
    ASSERT_NE(world.plugin(), nullptr);
    for (uint32_t maxBlock : {0u, 256u}) {
        Lv2Instance host(world, maxBlock);
        ASSERT_TRUE(host.ok());
        const lv2test::Stereo in = lv2test::testSignal(16384);
        lv2test::Stereo out = in;
        size_t pos = 0;
        unsigned step = 0;
        for (uint32_t block : {1u, 64u, 7u, 256u, 1u, 33u, 256u, 128u, 256u, 3u, 200u, 256u}) {
            for (int repeat = 0; repeat < 8 && pos + block <= in.frames(); ++repeat, ++step) {
                if (step == 10) host.level = 0.9f;
                if (step == 14) host.level = 0.1f;
                if (step == 30) host.enabled = 0.0f;
                if (step == 60) host.enabled = 1.0f;
                host.connect(&in.left[pos], &in.right[pos], &out.left[pos], &out.right[pos]);
                tWatching = true;
                host.run(block);
                tWatching = false;
                pos += block;
            }
        }
        if (maxBlock == 0) {
            // Blocks larger than the internal chunk.
            host.connect(&in.left[0], &in.right[0], &out.left[0], &out.right[0]);
            tWatching = true;
            host.run(4096);
            tWatching = false;
        }
        EXPECT_EQ(tHeapCalls, 0u) << "maxBlock " << maxBlock;
        EXPECT_EQ(tLockCalls, 0u) << "maxBlock " << maxBlock;
    }
}

}  // namespace
