// A pool in region mode: laid with init, served from its region once the
// owner has cleared the three callback fields.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "klor/klor_memory.h"
#include "pool_test_support.h"

namespace {

using pool_test::headerBefore;
using pool_test::reports;

constexpr int kRegionBytes = 64 * 1024;

class RegionPool : public pool_test::PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        memory = static_cast<uint8_t*>(std::aligned_alloc(256, kRegionBytes));
        std::memset(memory, 0xCD, kRegionBytes);
        ASSERT_EQ(pool.init(memory, kRegionBytes, 256), KLOR_OK);
    }
    void TearDown() override {
        pool.close();
        std::free(memory);
    }
    void serveFromRegion() {
        pool.mallocCallback = nullptr;
        pool.reallocCallback = nullptr;
        pool.freeCallback = nullptr;
    }
    bool inRegion(const void* p) const {
        auto byte = static_cast<const uint8_t*>(p);
        return byte >= memory && byte < memory + kRegionBytes;
    }

    KLOR::MemPool pool;
    uint8_t* memory = nullptr;
};

TEST_F(RegionPool, InitAloneKeepsServingFromTheHeap) {
    void* p = pool.alloc(100, "a.cpp", 1, 0, false);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(inRegion(p));
    pool.free(p, "a.cpp", 2, 0);
}

TEST_F(RegionPool, ClearedCallbacksServeFromTheRegionWithTheHeaderInFront) {
    serveFromRegion();
    void* p = pool.alloc(100, "a.cpp", 1, 0, false);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(inRegion(headerBefore(p)));
    EXPECT_EQ(headerBefore(p)->size, 100u);
    EXPECT_EQ(headerBefore(p)->blocks, 0);
    EXPECT_EQ(headerBefore(p)->threadSlot, 1u);
    EXPECT_EQ(pool.slotBytes[0], 100u);
    EXPECT_EQ(pool.slotBytes[1], 100u);
    EXPECT_EQ(pool.getSize(p, "a.cpp", 2), 100u);
    pool.free(p, "a.cpp", 3, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.peakBytes, 100u);
}

TEST_F(RegionPool, ZeroLengthAndCallocAndSideAccount) {
    serveFromRegion();
    void* empty = pool.alloc(0, "a.cpp", 1, 0, false);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(pool.getSize(empty, "a.cpp", 1), 0u);

    auto dirty = static_cast<uint8_t*>(pool.alloc(200, "a.cpp", 2, 0, false));
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0x77, 200);
    pool.free(dirty, "a.cpp", 3, 0);
    auto cleared = static_cast<uint8_t*>(pool.calloc(200, "a.cpp", 4, 0));
    ASSERT_NE(cleared, nullptr);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(cleared[i], 0) << i;

    void* side = pool.alloc(30, "a.cpp", 5, KLOR_MEMORY_SIDE_ACCOUNT, false);
    EXPECT_EQ(pool.sideBytes, 30u);
    EXPECT_EQ(pool.slotBytes[0], 200u);
    pool.free(side, "a.cpp", 6, KLOR_MEMORY_SIDE_ACCOUNT);
    pool.free(cleared, "a.cpp", 7, 0);
    pool.free(empty, "a.cpp", 8, 0);
    EXPECT_EQ(pool.sideBytes, 0u);
    EXPECT_EQ(pool.slotBytes[0], 0u);
}

TEST_F(RegionPool, ReallocGrowsAndShrinksKeepingTheBytes) {
    serveFromRegion();
    auto p = static_cast<uint8_t*>(pool.alloc(64, "a.cpp", 1, 0, false));
    for (int i = 0; i < 64; ++i) p[i] = static_cast<uint8_t>(i);
    void* blocker = pool.alloc(64, "a.cpp", 2, 0, false);  // forces a move on growth
    auto q = static_cast<uint8_t*>(pool.realloc(p, 4000, "a.cpp", 3, 0));
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(inRegion(q));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(q[i], i);
    EXPECT_EQ(pool.slotBytes[0], 4064u);
    auto r = static_cast<uint8_t*>(pool.realloc(q, 10, "a.cpp", 4, 0));
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(r[i], i);
    EXPECT_EQ(pool.slotBytes[0], 74u);
    EXPECT_EQ(pool.peakBytes, 4064u);
    pool.free(r, "a.cpp", 5, 0);
    pool.free(blocker, "a.cpp", 6, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
}

TEST_F(RegionPool, RequestLargerThanTheRegionFailsWithTheReport) {
    serveFromRegion();
    EXPECT_EQ(pool.alloc(kRegionBytes, "big.cpp", 5, 0, false), nullptr);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].text, "big.cpp (5)");
    EXPECT_EQ(reports()[0].length, kRegionBytes);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.threadIds[1], 0u);
}

TEST_F(RegionPool, FailedReallocLeavesTheAllocationCountedOnce) {
    serveFromRegion();
    auto p = static_cast<uint8_t*>(pool.alloc(100, "a.cpp", 1, 0, false));
    std::memset(p, 0x42, 100);
    EXPECT_EQ(pool.realloc(p, kRegionBytes, "grow.cpp", 7, 0), nullptr);
    EXPECT_EQ(pool.slotBytes[0], 100u);
    EXPECT_EQ(pool.slotBytes[1], 100u);
    EXPECT_EQ(reports().at(0).text, "grow.cpp (7)");
    EXPECT_EQ(reports().at(0).length, kRegionBytes);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0x42);
    pool.free(p, "a.cpp", 2, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.slotBytes[1], 0u);
}

TEST_F(RegionPool, RegionIsReusableAfterEverythingIsFreed) {
    serveFromRegion();
    for (int round = 0; round < 3; ++round) {
        void* big = pool.alloc(kRegionBytes / 2, "a.cpp", 1, 0, false);
        ASSERT_NE(big, nullptr) << "round " << round;
        pool.free(big, "a.cpp", 2, 0);
    }
    EXPECT_EQ(pool.slotBytes[0], 0u);
}

}  // namespace
