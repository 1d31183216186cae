// A pool in block mode: runs of blocks tracked in the bitmap, header records
// from the host pool, resizing in place or by moving, and the two mended
// failure paths (a failed resize, a header record the host cannot supply).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "klor/klor_memory.h"
#include "pool_test_support.h"

namespace {

using KLOR::AllocHeader;
using pool_test::hostLiveBytes;
using pool_test::reports;

constexpr int kBlockSize = 64;
constexpr int kBlocks = 64;

class BlockPool : public pool_test::PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        span.assign(kBlocks * kBlockSize, 0xCD);
        ASSERT_EQ(pool.initCustom(span.data(), static_cast<int>(span.size()), kBlockSize), KLOR_OK);
        hostBaseline = hostLiveBytes();
    }
    void TearDown() override {
        pool_test::global().memPool = &pool_test::hostPool();
        pool.close();
    }

    AllocHeader* take(int length) {
        return static_cast<AllocHeader*>(pool.alloc(length, "b.cpp", 1, 0, false));
    }
    bool inUse(int block) const { return (pool.bitmap[block / 8] >> (block % 8)) & 1; }
    int blocksMarked() const {
        int n = 0;
        for (int b = 0; b < kBlocks; ++b) n += inUse(b);
        return n;
    }
    uint8_t* memoryOf(const AllocHeader* header) {
        return span.data() + header->startBlock * kBlockSize;
    }

    KLOR::MemPool pool;
    std::vector<uint8_t> span;
    uint32_t hostBaseline = 0;
};

// 100 bytes in 64-byte blocks: 2 blocks; the block peak gives
// peakBlockBytes 128 and wastedBytes 128 - 100.
TEST_F(BlockPool, AllocHoldsWholeBlocksAndRecordsTheWaste) {
    AllocHeader* header = take(100);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->size, 100u);
    EXPECT_EQ(header->blocks, 2);
    EXPECT_EQ(header->startBlock, 0);
    EXPECT_EQ(header->threadSlot, 1u);
    EXPECT_TRUE(inUse(0));
    EXPECT_TRUE(inUse(1));
    EXPECT_FALSE(inUse(2));
    EXPECT_EQ(pool.firstFreeHint, 2);
    EXPECT_EQ(pool.blocksInUse, 2);
    EXPECT_EQ(pool.peakBlocks, 2);
    EXPECT_EQ(pool.peakBlockBytes, 128);
    EXPECT_EQ(pool.wastedBytes, 28);
    EXPECT_EQ(pool.slotBytes[0], 100u);
    EXPECT_EQ(hostLiveBytes(), hostBaseline + 16) << "the header record comes from the host pool";

    pool.free(header, "b.cpp", 2, 0);
    EXPECT_EQ(blocksMarked(), 0);
    EXPECT_EQ(pool.firstFreeHint, 0);
    EXPECT_EQ(pool.blocksInUse, 0);
    EXPECT_EQ(pool.peakBlocks, 2);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(hostLiveBytes(), hostBaseline) << "the record went back";
}

TEST_F(BlockPool, ZeroLengthHoldsNoBlockAndStartsAtTheHint) {
    AllocHeader* first = take(10);
    AllocHeader* empty = take(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->blocks, 0);
    EXPECT_EQ(empty->startBlock, 1);
    EXPECT_EQ(blocksMarked(), 1);
    EXPECT_EQ(pool.firstFreeHint, 1);
    pool.free(empty, "b.cpp", 2, 0);
    pool.free(first, "b.cpp", 3, 0);
    EXPECT_EQ(blocksMarked(), 0);
}

TEST_F(BlockPool, CallocTouchesNothingInTheSpan) {
    AllocHeader* header = static_cast<AllocHeader*>(pool.calloc(200, "b.cpp", 1, 0));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->blocks, 4);
    for (uint8_t byte : span) ASSERT_EQ(byte, 0xCD);
    pool.free(header, "b.cpp", 2, 0);
}

TEST_F(BlockPool, FirstFitReusesTheLowestGap) {
    AllocHeader* a = take(64);
    AllocHeader* b = take(3 * 64);
    AllocHeader* c = take(64);
    pool.free(b, "b.cpp", 2, 0);
    EXPECT_EQ(pool.firstFreeHint, 1);
    AllocHeader* d = take(2 * 64);
    EXPECT_EQ(d->startBlock, 1);
    AllocHeader* e = take(2 * 64);
    EXPECT_EQ(e->startBlock, 5) << "the 1-block gap at 3 is too short";
    for (AllocHeader* h : {a, c, d, e}) pool.free(h, "b.cpp", 3, 0);
    EXPECT_EQ(blocksMarked(), 0);
}

TEST_F(BlockPool, ResizeToTheSameOrFewerBlocksStaysInPlace) {
    AllocHeader* a = take(4 * 64);
    AllocHeader* b = take(64);
    ASSERT_EQ(a->startBlock, 0);
    EXPECT_EQ(pool.realloc(a, 4 * 64, "b.cpp", 1, 0), a);
    EXPECT_EQ(a->startBlock, 0);
    EXPECT_EQ(pool.realloc(a, 64 + 1, "b.cpp", 2, 0), a);
    EXPECT_EQ(a->startBlock, 0);
    EXPECT_EQ(a->blocks, 2);
    EXPECT_TRUE(inUse(1));
    EXPECT_FALSE(inUse(2));
    EXPECT_FALSE(inUse(3));
    EXPECT_EQ(pool.firstFreeHint, 2);
    EXPECT_EQ(pool.blocksInUse, 3);
    EXPECT_EQ(pool.slotBytes[0], 65u + 64u);
    pool.free(a, "b.cpp", 3, 0);
    pool.free(b, "b.cpp", 4, 0);
}

TEST_F(BlockPool, GrowthStaysInPlaceWhenTheFollowingBlocksAreFreeAndMovesOtherwise) {
    AllocHeader* a = take(2 * 64);
    AllocHeader* gap = take(2 * 64);
    AllocHeader* b = take(64);
    pool.free(gap, "b.cpp", 1, 0);

    EXPECT_EQ(pool.realloc(a, 4 * 64, "b.cpp", 2, 0), a) << "blocks 2 and 3 are free";
    EXPECT_EQ(a->startBlock, 0);
    EXPECT_EQ(a->blocks, 4);

    std::memset(memoryOf(a), 0x11, 4 * 64);
    EXPECT_EQ(pool.realloc(a, 6 * 64, "b.cpp", 3, 0), a) << "the caller keeps its record";
    EXPECT_EQ(a->startBlock, 5) << "block 4 is taken: first fit after it";
    EXPECT_EQ(a->blocks, 6);
    EXPECT_EQ(span[5 * 64], 0xCD) << "no content is copied in block mode";
    for (int blk = 0; blk < 4; ++blk) EXPECT_FALSE(inUse(blk)) << blk;
    EXPECT_EQ(pool.firstFreeHint, 0);
    EXPECT_EQ(pool.blocksInUse, 7);
    pool.free(a, "b.cpp", 4, 0);
    pool.free(b, "b.cpp", 5, 0);
    EXPECT_EQ(blocksMarked(), 0);
    EXPECT_EQ(pool.blocksInUse, 0);
}

// A failed resize marks the caller's old run again: the next allocation may
// not be handed the blocks the caller still holds, and the later free
// balances every counter.
TEST_F(BlockPool, FailedResizeKeepsTheOldRunMarkedAndCounted) {
    AllocHeader* keep = take(10 * 64);
    AllocHeader* rest = take((kBlocks - 12) * 64);
    ASSERT_NE(rest, nullptr);
    ASSERT_EQ(pool.blocksInUse, kBlocks - 2);

    EXPECT_EQ(pool.realloc(keep, 13 * 64, "grow.cpp", 4, 0), nullptr);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].text, "grow.cpp (4)");
    EXPECT_EQ(reports()[0].length, 13 * 64);
    for (int b = 0; b < 10; ++b) EXPECT_TRUE(inUse(b)) << b;
    EXPECT_EQ(keep->startBlock, 0);
    EXPECT_EQ(keep->blocks, 10);
    EXPECT_EQ(keep->size, 640u);
    EXPECT_EQ(pool.blocksInUse, kBlocks - 2);
    EXPECT_EQ(pool.slotBytes[0], static_cast<uint32_t>((kBlocks - 2) * 64));

    AllocHeader* next = take(2 * 64);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->startBlock, kBlocks - 2) << "the old run is not handed out again";

    for (AllocHeader* h : {keep, rest, next}) pool.free(h, "b.cpp", 5, 0);
    EXPECT_EQ(pool.blocksInUse, 0);
    EXPECT_EQ(pool.slotBytes[0], 0u);
    EXPECT_EQ(pool.slotBytes[1], 0u);
    EXPECT_EQ(blocksMarked(), 0);
    EXPECT_EQ(pool.firstFreeHint, 0);
}

// When the host pool cannot supply the header record, the run just marked is
// cleared again, no counter moves, and this pool reports as for any failed
// allocation (after the host pool's own report of line 692).
TEST_F(BlockPool, HeaderRecordTheHostCannotSupplyFailsTheAllocationCleanly) {
    AllocHeader* first = take(64);
    const int hintBefore = pool.firstFreeHint;
    pool_test::hostFailuresLeft() = 1;
    EXPECT_EQ(pool.alloc(300, "mine.cpp", 31, 0, false), nullptr);
    ASSERT_EQ(reports().size(), 2u);
    EXPECT_EQ(reports()[0].text, "../src/klor_memory (692)");
    EXPECT_EQ(reports()[0].length, 16);
    EXPECT_EQ(reports()[1].text, "mine.cpp (31)");
    EXPECT_EQ(reports()[1].length, 300);
    EXPECT_EQ(blocksMarked(), 1);
    EXPECT_EQ(pool.firstFreeHint, hintBefore);
    EXPECT_EQ(pool.blocksInUse, 1);
    EXPECT_EQ(pool.peakBlocks, 1);
    EXPECT_EQ(pool.slotBytes[0], 64u);

    AllocHeader* second = take(300);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->startBlock, 1);
    pool.free(first, "b.cpp", 2, 0);
    pool.free(second, "b.cpp", 3, 0);
    EXPECT_EQ(hostLiveBytes(), hostBaseline);
}

TEST_F(BlockPool, NoRunLongEnoughReportsAndMarksNothing) {
    EXPECT_EQ(pool.alloc(kBlocks * kBlockSize + 1, "big.cpp", 8, 0, false), nullptr);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].text, "big.cpp (8)");
    EXPECT_EQ(blocksMarked(), 0);
    EXPECT_EQ(hostLiveBytes(), hostBaseline);
    AllocHeader* all = take(kBlocks * kBlockSize);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(pool.firstFreeHint, kBlocks);
    EXPECT_EQ(pool.alloc(1, "full.cpp", 9, 0, false), nullptr);
    pool.free(all, "b.cpp", 2, 0);
    EXPECT_EQ(pool.firstFreeHint, 0);
}

// A block-mode pool that is itself Global.memPool would need a header record
// for each header record; it fails the allocation instead of recursing.
TEST_F(BlockPool, PoolThatIsGlobalMemPoolCannotHoldItsOwnRecords) {
    pool_test::global().memPool = &pool;
    EXPECT_EQ(pool.alloc(10, "self.cpp", 3, 0, false), nullptr);
    pool_test::global().memPool = &pool_test::hostPool();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].text, "self.cpp (3)");
    EXPECT_EQ(blocksMarked(), 0);
    EXPECT_EQ(pool.blocksInUse, 0);
}

TEST(BlockPoolSmall, ZeroBlocksServesOnlyZeroLengthRequests) {
    pool_test::publish();
    KLOR::MemPool pool;
    ASSERT_EQ(pool.initCustom(reinterpret_cast<void*>(0x10000), 300, 100), KLOR_OK);
    ASSERT_EQ(pool.blockCount, 0);
    EXPECT_EQ(pool.alloc(1, "one.cpp", 1, 0, false), nullptr);
    ASSERT_EQ(pool_test::reports().size(), 1u);
    EXPECT_EQ(pool_test::reports()[0].text, "one.cpp (1)");
    void* empty = pool.alloc(0, "zero.cpp", 2, 0, false);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(static_cast<AllocHeader*>(empty)->blocks, 0);
    pool.free(empty, "zero.cpp", 3, 0);
    pool.close();
}

}  // namespace
