// The exported ways into Global.memPool: the four C entry points, strdup and
// the counted MemSingleton.
#include <gtest/gtest.h>

#include <cstring>

#include "klor/klor_memory.h"
#include "pool_test_support.h"

namespace {

using pool_test::headerBefore;
using pool_test::hostLiveBytes;
using pool_test::reports;

using EntryPoints = pool_test::PoolTest;

TEST_F(EntryPoints, AllocAndCallocGoToTheMainAccountOfGlobalMemPool) {
    const uint32_t before = hostLiveBytes();
    const uint32_t sideBefore = pool_test::hostPool().sideBytes;
    void* a = KLOR_Memory_allocC(100, "e.cpp", 1);
    auto c = static_cast<uint8_t*>(KLOR_Memory_callocC(50, "e.cpp", 2));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(c[i], 0);
    EXPECT_EQ(hostLiveBytes(), before + 150);
    EXPECT_EQ(pool_test::hostPool().sideBytes, sideBefore);

    void* grown = KLOR_Memory_reallocC(a, 300, "e.cpp", 3);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(headerBefore(grown)->size, 300u);
    EXPECT_EQ(hostLiveBytes(), before + 350);
    KLOR_Memory_freeC(grown, "e.cpp", 4);
    KLOR_Memory_freeC(c, "e.cpp", 5);
    EXPECT_EQ(hostLiveBytes(), before);
}

TEST_F(EntryPoints, ReallocOfNullAllocates) {
    const uint32_t before = hostLiveBytes();
    void* p = KLOR_Memory_reallocC(nullptr, 24, "e.cpp", 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(headerBefore(p)->size, 24u);
    EXPECT_EQ(hostLiveBytes(), before + 24);
    KLOR_Memory_freeC(p, "e.cpp", 2);
}

TEST_F(EntryPoints, FailureCarriesTheCallersTag) {
    pool_test::hostFailuresLeft() = 2;
    EXPECT_EQ(KLOR_Memory_allocC(77, "caller.cpp", 12), nullptr);
    EXPECT_EQ(KLOR_Memory_callocC(78, "caller.cpp", 13), nullptr);
    ASSERT_EQ(reports().size(), 2u);
    EXPECT_EQ(reports()[0].text, "caller.cpp (12)");
    EXPECT_EQ(reports()[0].length, 77);
    EXPECT_EQ(reports()[1].text, "caller.cpp (13)");
}

TEST_F(EntryPoints, StrdupCopiesWithTheTerminator) {
    const uint32_t before = hostLiveBytes();
    char* copy = KLOR_strdup("distortion");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "distortion");
    EXPECT_EQ(headerBefore(copy)->size, 11u);
    EXPECT_EQ(hostLiveBytes(), before + 11);
    KLOR_Memory_freeC(copy, "e.cpp", 1);

    char* empty = KLOR_strdup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(headerBefore(empty)->size, 1u);
    KLOR_Memory_freeC(empty, "e.cpp", 2);
    EXPECT_EQ(hostLiveBytes(), before);
}

TEST_F(EntryPoints, StrdupFailureReportsLine242WithTheTextLengthPlusOne) {
    pool_test::hostFailuresLeft() = 1;
    EXPECT_EQ(KLOR_strdup("hello"), nullptr);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].result, 0);
    EXPECT_EQ(reports()[0].severity, 1);
    EXPECT_EQ(reports()[0].text, "../src/klor_string (242)");
    EXPECT_EQ(reports()[0].length, 6);
}

class Singleton : public pool_test::PoolTest {
protected:
    KLOR::MemSingleton holder{nullptr, 0, 0};
};

TEST_F(Singleton, LastOfThreeHoldersReleases) {
    const uint32_t before = hostLiveBytes();
    void* first = holder.alloc(64, "s.cpp", 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(holder.alloc(64, "s.cpp", 2), first);
    EXPECT_EQ(holder.alloc(4096, "s.cpp", 3), first) << "later holders get the first allocation";
    EXPECT_EQ(holder.refCount, 3);
    EXPECT_EQ(hostLiveBytes(), before + 64);

    holder.free("s.cpp", 4);
    holder.free("s.cpp", 5);
    EXPECT_EQ(holder.refCount, 1);
    EXPECT_EQ(holder.memory, first);
    EXPECT_EQ(hostLiveBytes(), before + 64);
    holder.free("s.cpp", 6);
    EXPECT_EQ(holder.refCount, 0);
    EXPECT_EQ(holder.memory, nullptr);
    EXPECT_EQ(hostLiveBytes(), before);
}

TEST_F(Singleton, FreeOnAnEmptyHolderDoesNothing) {
    holder.free("s.cpp", 1);
    EXPECT_EQ(holder.refCount, 0);
    EXPECT_EQ(holder.memory, nullptr);
}

TEST_F(Singleton, FailedFirstAllocationCountsTheHolderAndDoesNotRetry) {
    pool_test::hostFailuresLeft() = 1;
    EXPECT_EQ(holder.alloc(64, "s.cpp", 1), nullptr);
    EXPECT_EQ(holder.refCount, 1);
    EXPECT_EQ(holder.alloc(64, "s.cpp", 2), nullptr) << "no new attempt while the count is above 0";
    EXPECT_EQ(reports().size(), 1u);
    holder.free("s.cpp", 3);
    holder.free("s.cpp", 4);
    EXPECT_EQ(holder.refCount, 0);
    void* retried = holder.alloc(64, "s.cpp", 5);
    EXPECT_NE(retried, nullptr);
    holder.free("s.cpp", 6);
}

}  // namespace
