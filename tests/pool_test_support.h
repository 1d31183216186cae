// Shared set-up for the pool's unit tests (linked against klor_static).
//
// The process has one Global record for its whole life: the region
// allocator binds its parameter block to the first Global it sees and never
// lets go. Its memPool, the "host pool", serves the records other pools take
// from Global.memPool (bitmaps, block headers, lock and semaphore storage).
// The host pool holds a lock of the test's own, so that gMemoryCrit, the one
// memory-form lock, belongs to whichever pool a test is exercising.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "klor/klor_global.h"
#include "klor/klor_memory.h"
#include "klor/klor_os.h"

namespace pool_test {

// One failure report as Global.errorCallback received it.
struct Report {
    int result;
    int severity;
    std::string text;
    int64_t length;
};

inline std::vector<Report>& reports() {
    static std::vector<Report> all;
    return all;
}

inline void recordReport(int result, int severity, const char* text, int64_t length) {
    reports().push_back({result, severity, text, length});
}

// The host pool's callbacks: the system heap, unless a test makes the next
// requests fail.
inline int& hostFailuresLeft() {
    static int left = 0;
    return left;
}

inline void* hostMalloc(unsigned int size, unsigned int) {
    if (hostFailuresLeft() > 0) {
        --hostFailuresLeft();
        return nullptr;
    }
    return std::malloc(size);
}
inline void* hostRealloc(void* memory, unsigned int size, unsigned int) {
    return std::realloc(memory, size);
}
inline void hostFree(void* memory, unsigned int) { std::free(memory); }

inline KLOR::MemPool& hostPool() {
    static KLOR::MemPool* pool = [] {
        auto* made = new KLOR::MemPool();  // never destroyed: lives as long as the process
        made->mallocCallback = &hostMalloc;
        made->reallocCallback = &hostRealloc;
        made->freeCallback = &hostFree;
        static pthread_mutex_t lock;
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&lock, &attributes);
        pthread_mutexattr_destroy(&attributes);
        made->crit = reinterpret_cast<KLOR_OS_CRITICALSECTION*>(&lock);
        return made;
    }();
    return *pool;
}

inline KLOR::Global& global() {
    static KLOR::Global record = [] {
        KLOR::Global zeroed;
        std::memset(&zeroed, 0, sizeof(zeroed));
        return zeroed;
    }();
    return record;
}

// Points KLOR::gGlobal at the process's record with the host pool, an
// all-ones type mask and the recording error callback; clears old reports.
inline void publish() {
    KLOR::Global& record = global();
    record.memPool = &hostPool();
    record.errorCallback = &recordReport;
    record.memoryTypeMask = 0xFFFFFFFFu;
    KLOR::gGlobal = &record;
    reports().clear();
    hostFailuresLeft() = 0;
}

// Bytes the host pool currently holds in its main account.
inline uint32_t hostLiveBytes() { return hostPool().slotBytes[0]; }

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override { publish(); }
};

// Stress sizes scale with KLOR_STRESS_SCALE (default 1; sanitizer runs use
// less), never below 1.
inline int scaled(int base) {
    const char* text = std::getenv("KLOR_STRESS_SCALE");
    const double scale = text != nullptr ? std::atof(text) : 1.0;
    const int value = static_cast<int>(base * (scale > 0 ? scale : 1.0));
    return value > 0 ? value : 1;
}

inline KLOR::AllocHeader* headerBefore(void* pointer) {
    return static_cast<KLOR::AllocHeader*>(pointer) - 1;
}

}  // namespace pool_test
