// Construction, close, init and initCustom: what each writes and keeps, the
// region and block arithmetic, set-up failures, and the lock's storage form.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "klor/klor_memory.h"
#include "klor/region_alloc.h"
#include "pool_test_support.h"

namespace {

using pool_test::hostLiveBytes;
using pool_test::reports;

// Region memory aligned to 256 so that tests can place the pool's memory a
// known distance past a multiple of 256.
struct AlignedBuffer {
    explicit AlignedBuffer(size_t bytes)
        : data(static_cast<uint8_t*>(std::aligned_alloc(256, (bytes + 255) / 256 * 256))) {}
    ~AlignedBuffer() { std::free(data); }
    uint8_t* data;
};

using SetupTest = pool_test::PoolTest;

TEST_F(SetupTest, ConstructorZeroFillsAllButTheDefaultCallbacks) {
    alignas(KLOR::MemPool) unsigned char storage[sizeof(KLOR::MemPool)];
    std::memset(storage, 0xEE, sizeof(storage));
    auto* pool = new (storage) KLOR::MemPool();
    EXPECT_EQ(pool->mallocCallback, &KLOR::Memory_DefaultMalloc);
    EXPECT_EQ(pool->reallocCallback, &KLOR::Memory_DefaultRealloc);
    EXPECT_EQ(pool->freeCallback, &KLOR::Memory_DefaultFree);
    const size_t callbacksBegin = offsetof(KLOR::MemPool, mallocCallback);
    const size_t callbacksEnd = offsetof(KLOR::MemPool, region);
    for (size_t i = 0; i < sizeof(storage); ++i) {
        if (i >= callbacksBegin && i < callbacksEnd) continue;
        ASSERT_EQ(storage[i], 0) << "byte " << i;
    }
    pool->~MemPool();
}

// Fills every field with a marker so that the test sees which ones a set-up
// wrote and which it kept.
void scribble(KLOR::MemPool& pool) {
    pool.blocksInUse = 7;
    pool.peakBlocks = 7;
    pool.peakBytes = 7;
    for (auto& bytes : pool.slotBytes) bytes = 7;
    for (auto& id : pool.threadIds) id = 7;
    pool.sideBytes = 7;
    pool.sidePeakBytes = 8;
    pool.peakBlockBytes = 9;
    pool.wastedBytes = 10;
    pool.firstFreeHint = 11;
    pool.blockSize = 12;
}

TEST_F(SetupTest, CloseResetsItsFieldsKeepsTheRestAndClearsTheOverflowSlot) {
    KLOR::MemPool pool;
    scribble(pool);
    pool.mallocCallback = nullptr;
    pool.region = &pool;  // only compared, never used
    pool.close();

    EXPECT_EQ(pool.bitmap, nullptr);
    EXPECT_EQ(pool.blockBase, nullptr);
    EXPECT_EQ(pool.blockMode, 0);
    EXPECT_EQ(pool.poolBytes, 0);
    EXPECT_EQ(pool.blockCount, 0);
    EXPECT_EQ(pool.blocksInUse, 0);
    EXPECT_EQ(pool.peakBlocks, 0);
    EXPECT_EQ(pool.peakBytes, 0u);
    for (int s = 0; s <= 32; ++s) EXPECT_EQ(pool.slotBytes[s], 0u) << "slot " << s;
    for (int s = 0; s < 32; ++s) EXPECT_EQ(pool.threadIds[s], 0u) << "slot " << s;
    EXPECT_EQ(pool.mallocCallback, &KLOR::Memory_DefaultMalloc);
    EXPECT_EQ(pool.crit, nullptr);
    // kept
    EXPECT_EQ(pool.sideBytes, 7u);
    EXPECT_EQ(pool.sidePeakBytes, 8u);
    EXPECT_EQ(pool.peakBlockBytes, 9);
    EXPECT_EQ(pool.wastedBytes, 10);
    EXPECT_EQ(pool.firstFreeHint, 11);
    EXPECT_EQ(pool.blockSize, 12);
    EXPECT_EQ(pool.region, static_cast<void*>(&pool));
    pool.region = nullptr;
}

// 16 bytes past a multiple of 256, length 10000, unit 256: the region lies
// 240 bytes further on (its handle 16 bytes into it) with capacity 9728.
TEST_F(SetupTest, InitLaysTheRegionOnTheNext256ByteBoundaryRoundedToTheUnit) {
    AlignedBuffer buffer(10256);
    KLOR::MemPool pool;
    scribble(pool);
    ASSERT_EQ(pool.init(buffer.data + 16, 10000, 256), KLOR_OK);
    EXPECT_EQ(pool.region, static_cast<void*>(buffer.data + 256 + 16));
    EXPECT_EQ(KLOR::mspace_footprint(pool.region), 9728u);

    EXPECT_EQ(static_cast<void*>(pool.crit), static_cast<void*>(&gMemoryCrit));
    EXPECT_EQ(pool.mallocCallback, &KLOR::Memory_DefaultMalloc) << "init leaves the defaults";
    EXPECT_EQ(pool.reallocCallback, &KLOR::Memory_DefaultRealloc);
    EXPECT_EQ(pool.freeCallback, &KLOR::Memory_DefaultFree);
    for (int s = 0; s <= 32; ++s) EXPECT_EQ(pool.slotBytes[s], 0u) << "slot " << s;
    EXPECT_EQ(pool.threadIds[1], 0u);
    EXPECT_EQ(pool.sideBytes, 0u);
    EXPECT_EQ(pool.sidePeakBytes, 0u);
    EXPECT_EQ(pool.peakBlockBytes, 0);
    EXPECT_EQ(pool.wastedBytes, 0);
    EXPECT_EQ(pool.firstFreeHint, 0);
    EXPECT_EQ(pool.blockSize, 12) << "as close left it";
    pool.close();
}

TEST_F(SetupTest, InitWithUnitRoundsTheCapacityDown) {
    AlignedBuffer buffer(20000);
    KLOR::MemPool pool;
    ASSERT_EQ(pool.init(buffer.data, 10000, 4096), KLOR_OK);
    EXPECT_EQ(pool.region, static_cast<void*>(buffer.data + 16)) << "already aligned: nothing skipped";
    EXPECT_EQ(KLOR::mspace_footprint(pool.region), 8192u);
    pool.close();
}

TEST_F(SetupTest, InitAndInitCustomRejectNothingToManageAndLeaveThePoolExactlyAsItWas) {
    AlignedBuffer buffer(4096);
    KLOR::MemPool pool;
    scribble(pool);
    unsigned char before[sizeof(KLOR::MemPool)];
    std::memcpy(before, static_cast<void*>(&pool), sizeof(pool));

    EXPECT_EQ(pool.init(nullptr, 4096, 256), KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(std::memcmp(before, static_cast<void*>(&pool), sizeof(pool)), 0);
    EXPECT_EQ(pool.init(buffer.data, 0, 256), KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(std::memcmp(before, static_cast<void*>(&pool), sizeof(pool)), 0);
    EXPECT_EQ(pool.initCustom(buffer.data, 0, 64), KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(std::memcmp(before, static_cast<void*>(&pool), sizeof(pool)), 0);
    EXPECT_TRUE(reports().empty());
}

TEST_F(SetupTest, InitFailsWhenNoRegionFitsAndLeavesThePoolClosed) {
    AlignedBuffer buffer(4096);
    KLOR::MemPool pool;
    // 1000 bytes at a 256-aligned address: capacity 768, too small a region.
    EXPECT_EQ(pool.init(buffer.data, 1000, 256), KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(pool.region, nullptr);
    EXPECT_EQ(pool.crit, nullptr);
    // 100 bytes starting 16 past a boundary: the 240 skipped exceed them.
    EXPECT_EQ(pool.init(buffer.data + 16, 100, 256), KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(pool.region, nullptr);
    EXPECT_EQ(pool.mallocCallback, &KLOR::Memory_DefaultMalloc);
}

struct BlockArithmetic {
    int length, blockSize;
    int blockCount, poolBytes;
};

class InitCustomArithmetic : public pool_test::PoolTest,
                             public ::testing::WithParamInterface<BlockArithmetic> {};

// Length rounded up to whole blocks, the count then down to a multiple of 4.
TEST_P(InitCustomArithmetic, CountsBlocksAndTakesABitmapAndALockFromTheHostPool) {
    const BlockArithmetic& c = GetParam();
    const uint32_t hostBefore = hostLiveBytes();
    {
        KLOR::MemPool pool;
        ASSERT_EQ(pool.initCustom(reinterpret_cast<void*>(0x10000), c.length, c.blockSize), KLOR_OK);
        EXPECT_EQ(pool.blockCount, c.blockCount);
        EXPECT_EQ(pool.poolBytes, c.poolBytes);
        EXPECT_EQ(pool.blockSize, c.blockSize);
        EXPECT_EQ(pool.blockMode, 1);
        EXPECT_EQ(pool.firstFreeHint, 0);
        EXPECT_EQ(pool.mallocCallback, nullptr);
        EXPECT_EQ(pool.reallocCallback, nullptr);
        EXPECT_EQ(pool.freeCallback, nullptr);
        ASSERT_NE(pool.crit, nullptr);
        EXPECT_NE(static_cast<void*>(pool.crit), static_cast<void*>(&gMemoryCrit)) << "allocated form";
        EXPECT_EQ(hostLiveBytes() - hostBefore,
                  static_cast<uint32_t>((c.blockCount + 7) / 8 + gSizeofCriticalSection));
    }
    EXPECT_EQ(hostLiveBytes(), hostBefore) << "close gave back the bitmap and the lock";
}

INSTANTIATE_TEST_SUITE_P(Examples, InitCustomArithmetic,
                         ::testing::Values(BlockArithmetic{1000, 256, 4, 1024},
                                           BlockArithmetic{1000, 100, 8, 800},
                                           BlockArithmetic{300, 100, 0, 0},
                                           BlockArithmetic{1024, 1, 1024, 1024},
                                           BlockArithmetic{1025, 1, 1024, 1024},
                                           BlockArithmetic{4096, 64, 64, 4096},
                                           BlockArithmetic{4400, 64, 68, 4352}));

TEST_F(SetupTest, InitCustomClearsCountersAndSlotsAndKeepsTheSideAccount) {
    KLOR::MemPool pool;
    scribble(pool);
    pool.region = &pool;  // only compared, never used
    ASSERT_EQ(pool.initCustom(reinterpret_cast<void*>(0x10000), 6400, 64), KLOR_OK);
    for (int s = 0; s <= 32; ++s) EXPECT_EQ(pool.slotBytes[s], 0u) << "slot " << s;
    for (int s = 0; s < 32; ++s) EXPECT_EQ(pool.threadIds[s], 0u) << "slot " << s;
    EXPECT_EQ(pool.blocksInUse, 0);
    EXPECT_EQ(pool.peakBlocks, 0);
    EXPECT_EQ(pool.peakBytes, 0u);
    EXPECT_EQ(pool.peakBlockBytes, 0);
    EXPECT_EQ(pool.wastedBytes, 0);
    EXPECT_EQ(pool.firstFreeHint, 0);
    EXPECT_EQ(pool.sideBytes, 7u) << "kept";
    EXPECT_EQ(pool.sidePeakBytes, 8u) << "kept";
    EXPECT_EQ(pool.region, static_cast<void*>(&pool)) << "as close left it";
    EXPECT_EQ(pool.blockBase, reinterpret_cast<void*>(0x10000));
    for (int b = 0; b < pool.blockCount; ++b) ASSERT_EQ((pool.bitmap[b / 8] >> (b % 8)) & 1, 0) << b;
    pool.close();
    pool.region = nullptr;
}

TEST_F(SetupTest, BitmapTheHostPoolCannotSupplyIsReportedWithLine286) {
    KLOR::MemPool pool;
    pool_test::hostFailuresLeft() = 1;
    EXPECT_EQ(pool.initCustom(reinterpret_cast<void*>(0x10000), 8000, 10), KLOR_ERR_NO_MEMORY);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].result, 0);
    EXPECT_EQ(reports()[0].severity, 1);
    EXPECT_EQ(reports()[0].text, "../src/klor_memory (286)");
    EXPECT_EQ(reports()[0].length, 100) << "800 blocks -> 100 bitmap bytes";
    EXPECT_EQ(pool.blockMode, 0);
    EXPECT_EQ(pool.mallocCallback, &KLOR::Memory_DefaultMalloc);
    EXPECT_EQ(pool.blockCount, 800);
    EXPECT_EQ(pool.poolBytes, 8000);
    EXPECT_EQ(pool.blockSize, 10);
    EXPECT_EQ(pool.bitmap, nullptr);
}

// close() tells the lock's form from its address: a memory-form lock lives in
// gMemoryCrit and nothing goes back to the host pool; an allocated one goes
// back (its 40 bytes leave the host's account).
TEST_F(SetupTest, CloseFreesTheLockInTheFormItWasCreatedIn) {
    AlignedBuffer buffer(8192);
    KLOR::MemPool pool;
    const uint32_t hostBefore = hostLiveBytes();

    ASSERT_EQ(pool.init(buffer.data, 8192, 256), KLOR_OK);
    ASSERT_EQ(static_cast<void*>(pool.crit), static_cast<void*>(&gMemoryCrit));
    pool.close();
    EXPECT_EQ(pool.crit, nullptr);
    EXPECT_EQ(hostLiveBytes(), hostBefore);

    ASSERT_EQ(pool.initCustom(buffer.data, 8192, 64), KLOR_OK);
    EXPECT_EQ(hostLiveBytes(), hostBefore + 16 + 40);
    pool.close();
    EXPECT_EQ(hostLiveBytes(), hostBefore);

    // init straight over a block-mode pool: close gives back both first.
    ASSERT_EQ(pool.initCustom(buffer.data, 8192, 64), KLOR_OK);
    ASSERT_EQ(pool.init(buffer.data, 8192, 256), KLOR_OK);
    EXPECT_EQ(hostLiveBytes(), hostBefore);
    EXPECT_EQ(pool.blockMode, 0);
    pool.close();
}

}  // namespace
