// A pool in callback mode: headers, accounts, peaks, the failure report and
// a failed resize. The callbacks here record what the pool asks of them and
// hand out heap memory stamped with 0xCD, so clearing is visible.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "klor/klor_memory.h"
#include "pool_test_support.h"

namespace {

using pool_test::headerBefore;
using pool_test::reports;

constexpr uint8_t kStamp = 0xCD;

struct Call {
    unsigned int size;
    unsigned int type;
    uint32_t slotAtFree;
};

struct CallLog {
    std::vector<Call> mallocs, reallocs, frees;
    bool failMalloc = false;
    bool failRealloc = false;
};
CallLog gLog;

void* recordMalloc(unsigned int size, unsigned int type) {
    gLog.mallocs.push_back({size, type, 0});
    if (gLog.failMalloc) return nullptr;
    void* memory = std::malloc(size);
    std::memset(memory, kStamp, size);
    return memory;
}
void* recordRealloc(void* header, unsigned int size, unsigned int type) {
    gLog.reallocs.push_back({size, type, 0});
    if (gLog.failRealloc) return nullptr;
    return std::realloc(header, size);
}
void recordFree(void* header, unsigned int type) {
    gLog.frees.push_back({0, type, static_cast<KLOR::AllocHeader*>(header)->threadSlot});
    std::free(header);
}

class CallbackPool : public pool_test::PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        gLog = CallLog();
        pool.mallocCallback = &recordMalloc;
        pool.reallocCallback = &recordRealloc;
        pool.freeCallback = &recordFree;
    }

    KLOR::MemPool pool;
};

TEST_F(CallbackPool, AllocWritesTheHeaderInFrontAndChargesTheCallingThread) {
    void* p = pool.alloc(100, "a.cpp", 1, 0, false);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(gLog.mallocs.size(), 1u);
    EXPECT_EQ(gLog.mallocs[0].size, 116u) << "length plus the 16-byte header";

    const KLOR::AllocHeader* header = headerBefore(p);
    EXPECT_EQ(header->size, 100u);
    EXPECT_EQ(header->blocks, 0);
    EXPECT_EQ(header->threadSlot, 1u);
    unsigned int me = 0;
    KLOR_OS_Thread_GetCurrentID(&me);
    EXPECT_EQ(pool.threadIds[1], me);
    EXPECT_EQ(pool.slotBytes[0], 100u);
    EXPECT_EQ(pool.slotBytes[1], 100u);
    EXPECT_EQ(pool.peakBytes, 100u);
    EXPECT_EQ(pool.getSize(p, "a.cpp", 2), 100u);
    EXPECT_EQ(pool.blocksInUse, 0);
    EXPECT_EQ(pool.peakBlocks, 0);

    pool.free(p, "a.cpp", 3, 0);
    ASSERT_EQ(gLog.frees.size(), 1u);
    EXPECT_EQ(gLog.frees[0].slotAtFree, 0u) << "the header is marked released before it goes back";
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.slotBytes[1], 0u);
}

TEST_F(CallbackPool, TheLockIsCreatedAtFirstUseInMemoryForm) {
    EXPECT_EQ(pool.crit, nullptr);
    void* p = pool.alloc(8, "a.cpp", 1, 0, false);
    EXPECT_EQ(static_cast<void*>(pool.crit), static_cast<void*>(&gMemoryCrit));
    pool.free(p, "a.cpp", 2, 0);
}

TEST_F(CallbackPool, ZeroLengthGetsAHeaderAndChangesNoCounter) {
    void* p = pool.alloc(0, "a.cpp", 1, 0, false);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(gLog.mallocs.at(0).size, 16u);
    EXPECT_EQ(pool.getSize(p, "a.cpp", 1), 0u);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.peakBytes, 0u);
    pool.free(p, "a.cpp", 1, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
}

TEST_F(CallbackPool, CallocZeroesTheLengthAndAllocLeavesTheMemoryAlone) {
    auto cleared = static_cast<uint8_t*>(pool.calloc(64, "a.cpp", 1, 0));
    auto raw = static_cast<uint8_t*>(pool.alloc(64, "a.cpp", 2, 0, false));
    ASSERT_NE(cleared, nullptr);
    ASSERT_NE(raw, nullptr);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(cleared[i], 0) << i;
        EXPECT_EQ(raw[i], kStamp) << i;
    }
    pool.free(cleared, "a.cpp", 3, 0);
    pool.free(raw, "a.cpp", 4, 0);
}

// The callback sees the masked type; the pool's own choice uses the type as
// passed, so a mask that clears the side bit does not move the bytes.
TEST_F(CallbackPool, SideAccountFollowsTheCallersTypeWhileCallbacksSeeTheMaskedOne) {
    pool_test::global().memoryTypeMask = ~static_cast<uint32_t>(KLOR_MEMORY_SIDE_ACCOUNT);
    const unsigned int type = KLOR_MEMORY_SIDE_ACCOUNT | 0x3u;
    void* p = pool.alloc(50, "a.cpp", 1, type, false);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(gLog.mallocs.at(0).type, 0x3u);
    EXPECT_EQ(pool.sideBytes, 50u);
    EXPECT_EQ(pool.sidePeakBytes, 50u);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.slotBytes[1], 0u);
    EXPECT_EQ(pool.peakBytes, 0u);

    pool.free(p, "a.cpp", 2, type);
    EXPECT_EQ(gLog.frees.at(0).type, 0x3u);
    EXPECT_EQ(pool.sideBytes, 0u);
    EXPECT_EQ(pool.sidePeakBytes, 50u) << "peaks never fall";
}

TEST_F(CallbackPool, PeaksNeverFall) {
    void* a = pool.alloc(100, "a.cpp", 1, 0, false);
    void* b = pool.alloc(50, "a.cpp", 2, 0, false);
    EXPECT_EQ(pool.peakBytes, 150u);
    pool.free(a, "a.cpp", 3, 0);
    pool.free(b, "a.cpp", 4, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.peakBytes, 150u);
    void* c = pool.alloc(20, "a.cpp", 5, 0, false);
    EXPECT_EQ(pool.peakBytes, 150u);
    pool.free(c, "a.cpp", 6, 0);
}

TEST_F(CallbackPool, ReallocOfNullAllocatesWithTypeZeroAndNoClearing) {
    auto p = static_cast<uint8_t*>(pool.realloc(nullptr, 40, "a.cpp", 1, KLOR_MEMORY_SIDE_ACCOUNT | 0x5u));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(gLog.reallocs.empty());
    ASSERT_EQ(gLog.mallocs.size(), 1u);
    EXPECT_EQ(gLog.mallocs[0].type, 0u);
    EXPECT_EQ(pool.slotBytes[0], 40u) << "main account, whatever type was passed";
    EXPECT_EQ(pool.sideBytes, 0u);
    EXPECT_EQ(p[0], kStamp);
    pool.free(p, "a.cpp", 2, 0);
}

TEST_F(CallbackPool, ReallocMovesTheBytesAndTheAccount) {
    auto p = static_cast<uint8_t*>(pool.alloc(10, "a.cpp", 1, 0, false));
    std::memset(p, 0x42, 10);
    auto q = static_cast<uint8_t*>(pool.realloc(p, 5000, "a.cpp", 2, 0x7u));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(gLog.reallocs.at(0).size, 5016u);
    EXPECT_EQ(gLog.reallocs.at(0).type, 0x7u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(q[i], 0x42);
    EXPECT_EQ(headerBefore(q)->size, 5000u);
    EXPECT_EQ(pool.slotBytes[0], 5000u);
    EXPECT_EQ(pool.slotBytes[1], 5000u);
    EXPECT_EQ(pool.peakBytes, 5000u);
    pool.free(q, "a.cpp", 3, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
}

// A failed resize leaves the allocation as it was: still counted once, so
// the later free balances instead of wrapping the counters.
TEST_F(CallbackPool, FailedReallocLeavesTheAllocationAndItsAccountAsTheyWere) {
    auto p = static_cast<uint8_t*>(pool.alloc(100, "a.cpp", 1, 0, false));
    std::memset(p, 0x42, 100);
    gLog.failRealloc = true;
    EXPECT_EQ(pool.realloc(p, 300, "grow.cpp", 9, 0), nullptr);
    EXPECT_EQ(pool.slotBytes[0], 100u);
    EXPECT_EQ(pool.slotBytes[1], 100u);
    EXPECT_EQ(pool.peakBytes, 100u);
    EXPECT_EQ(headerBefore(p)->size, 100u);
    EXPECT_EQ(headerBefore(p)->threadSlot, 1u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0x42);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].text, "grow.cpp (9)");
    EXPECT_EQ(reports()[0].length, 300);

    pool.free(p, "a.cpp", 2, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.slotBytes[1], 0u);
}

TEST_F(CallbackPool, FailedAllocReportsFileLineAndTheCallersLength) {
    gLog.failMalloc = true;
    EXPECT_EQ(pool.alloc(1000, "src/thing.cpp", 77, 0, false), nullptr);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].result, 0);
    EXPECT_EQ(reports()[0].severity, 1);
    EXPECT_EQ(reports()[0].text, "src/thing.cpp (77)");
    EXPECT_EQ(reports()[0].length, 1000) << "the caller's length, not the request size";
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.peakBytes, 0u);
    EXPECT_EQ(pool.threadIds[1], 0u) << "no slot is taken by a failed allocation";
}

TEST_F(CallbackPool, ReportedLengthIsSignExtended) {
    gLog.failMalloc = true;
    EXPECT_EQ(pool.alloc(-5, "a.cpp", 1, 0, false), nullptr);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].length, -5);
}

TEST_F(CallbackPool, FailureWithoutErrorCallbackJustReturnsNull) {
    pool_test::global().errorCallback = nullptr;
    gLog.failMalloc = true;
    EXPECT_EQ(pool.alloc(10, "a.cpp", 1, 0, false), nullptr);
    EXPECT_EQ(pool.calloc(10, "a.cpp", 1, 0), nullptr);
    EXPECT_TRUE(reports().empty());
}

// The text is formatted into a 256-byte stack buffer: a long file text is
// cut to 255 characters, never overrun.
TEST_F(CallbackPool, LongFileTextIsCutToTheReportBuffer) {
    gLog.failMalloc = true;
    const std::string file(400, 'f');
    EXPECT_EQ(pool.alloc(1, file.c_str(), 12345, 0, false), nullptr);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].text, std::string(255, 'f'));

    reports().clear();
    const std::string fits(255 - 8, 'g');  // plus " (12345)" is exactly 255
    EXPECT_EQ(pool.alloc(1, fits.c_str(), 12345, 0, false), nullptr);
    EXPECT_EQ(reports().at(0).text, fits + " (12345)");
}

// The report is made after the lock is left: an error callback that waits
// for another thread's allocation from the same pool does not deadlock.
struct ReportProbe {
    KLOR::MemPool* pool = nullptr;
    std::thread helper;
    std::atomic<bool> helperDone{false};
    bool helperFinishedInsideReport = false;
    void* helperAllocation = nullptr;
};
ReportProbe* gProbe = nullptr;

void reportWaitingForAnotherThread(int, int, const char*, int64_t) {
    gLog.failMalloc = false;
    gProbe->helper = std::thread([] {
        gProbe->helperAllocation = gProbe->pool->alloc(8, "helper.cpp", 1, 0, false);
        gProbe->helperDone = true;
    });
    // Generous bound: only a lock still held keeps the helper out this long.
    for (int i = 0; i < 1000 && !gProbe->helperDone; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    gProbe->helperFinishedInsideReport = gProbe->helperDone;
}

TEST_F(CallbackPool, ReportIsMadeAfterTheLockIsLeft) {
    ReportProbe probe;
    probe.pool = &pool;
    gProbe = &probe;
    pool_test::global().errorCallback = &reportWaitingForAnotherThread;
    gLog.failMalloc = true;
    EXPECT_EQ(pool.alloc(10, "a.cpp", 1, 0, false), nullptr);
    probe.helper.join();
    EXPECT_TRUE(probe.helperFinishedInsideReport);
    ASSERT_NE(probe.helperAllocation, nullptr);
    EXPECT_EQ(pool.slotBytes[0], 8u);
    pool.free(probe.helperAllocation, "a.cpp", 2, 0);
    gProbe = nullptr;
}

}  // namespace
