// The block bitmap: marking and clearing runs, first-fit search, the hint.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "klor/klor_memory.h"
#include "pool_test_support.h"

namespace {

constexpr uint8_t kBackground = 0xA5;  // untouched bytes must keep it

// A pool whose bitmap is a test-owned array of exactly (blocks + 7) / 8
// bytes, so a read or write past it shows under AddressSanitizer.
class Bitmap : public ::testing::Test {
protected:
    void SetUp() override { pool_test::publish(); }
    void TearDown() override { pool.bitmap = nullptr; }

    void layOver(int blocks, uint8_t fill) {
        bytes.assign(static_cast<size_t>((blocks + 7) / 8), fill);
        pool.bitmap = bytes.data();
        pool.blockCount = blocks;
        pool.firstFreeHint = 0;
    }
    bool inUse(int block) const { return (bytes[block / 8] >> (block % 8)) & 1; }
    // Marks blocks directly, leaving the hint alone.
    void markRaw(int from, int to) {
        for (int b = from; b < to; ++b) bytes[b / 8] = static_cast<uint8_t>(bytes[b / 8] | (1u << (b % 8)));
    }

    KLOR::MemPool pool;
    std::vector<uint8_t> bytes;
};

TEST_F(Bitmap, RunOf100FromBlock8CoversExactlyBlocks8To107) {
    layOver(128, 0x00);
    bytes[0] = kBackground;
    bytes[13] = 0xA0;    // high nibble is blocks 108..111, outside the run
    bytes[14] = kBackground;
    pool.firstFreeHint = 8;
    pool.set(8, 1, 100);

    EXPECT_EQ(bytes[0], kBackground) << "blocks 0..7 are before the run";
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(bytes[i], 0xFF) << "leading bits, byte " << i;
    for (int i = 4; i <= 12; ++i) EXPECT_EQ(bytes[i], 0xFF) << "whole byte " << i;
    EXPECT_EQ(bytes[13], 0xAF) << "4 trailing bits, the rest kept";
    EXPECT_EQ(bytes[14], kBackground);

    pool.set(8, 0, 100);
    for (int i = 1; i <= 12; ++i) EXPECT_EQ(bytes[i], 0x00) << "byte " << i;
    EXPECT_EQ(bytes[13], 0xA0);
    EXPECT_EQ(bytes[0], kBackground);
}

// Every (start, count) around byte and word edges against a bool model, on a
// background of set and clear bits that must survive untouched.
TEST_F(Bitmap, SetWritesExactlyTheRunForStartsAndCountsAroundEdges) {
    const int kBlocks = 132;
    const int starts[] = {0, 1, 3, 7, 8, 9, 24, 31, 32, 33, 63, 64, 65, 96, 100};
    const int counts[] = {0, 1, 5, 7, 8, 9, 24, 31, 32, 33, 63, 64, 65};
    for (int value : {1, 0}) {
        for (int start : starts) {
            for (int count : counts) {
                if (start + count > kBlocks) continue;
                layOver(kBlocks, value ? 0x5A : 0xC3);
                std::vector<bool> model(kBlocks);
                for (int b = 0; b < kBlocks; ++b) model[b] = inUse(b);
                for (int b = start; b < start + count; ++b) model[b] = value != 0;
                pool.firstFreeHint = kBlocks;  // keeps set() from searching
                pool.set(start, value, count);
                for (int b = 0; b < kBlocks; ++b) {
                    ASSERT_EQ(inUse(b), model[b])
                        << "value " << value << " start " << start << " count " << count << " block " << b;
                }
            }
        }
    }
}

struct SearchCase {
    const char* name;
    int blocks;
    std::vector<std::pair<int, int>> used;  // [from, to) runs in use
    int start, end, count;
    int expected;
};

class BitmapSearch : public Bitmap, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(BitmapSearch, FindsTheFirstFittingRun) {
    const SearchCase& c = GetParam();
    layOver(c.blocks, 0x00);
    for (auto run : c.used) markRaw(run.first, run.second);
    EXPECT_EQ(pool.findFreeBlocks(c.start, c.end, c.count), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BitmapSearch,
    ::testing::Values(
        SearchCase{"RunMayNotReachEnd", 8, {}, 6, 8, 3, -1},
        SearchCase{"RunEndingAtEndFits", 8, {}, 5, 8, 3, 5},
        SearchCase{"WindowOfExactlyTheRunFree", 64, {{0, 10}, {14, 64}}, 10, 14, 4, 10},
        SearchCase{"WindowOfExactlyTheRunTaken", 64, {{12, 13}}, 10, 14, 4, -1},
        SearchCase{"LaterRunInsideTheWindow", 64, {{11, 12}}, 10, 14, 2, 12},
        SearchCase{"ZeroCountReturnsStart", 8, {{0, 8}}, 3, 8, 0, 3},
        SearchCase{"ZeroCountAtBlockCount", 8, {}, 8, 8, 0, 8},
        SearchCase{"ZeroCountPastBlockCount", 8, {}, 40, 50, 0, 40},
        SearchCase{"RunAcrossWordBoundary", 64, {{0, 30}, {34, 64}}, 0, 64, 4, 30},
        SearchCase{"TwoWholeWordSkips", 96, {{0, 64}, {67, 96}}, 0, 96, 3, 64},
        SearchCase{"SkipThenRunInsideNextWord", 96, {{0, 40}, {45, 96}}, 0, 96, 5, 40},
        SearchCase{"FullWordThenTooShortGap", 96, {{0, 32}, {33, 96}}, 0, 96, 2, -1},
        SearchCase{"NoRunWhenFull", 64, {{0, 64}}, 0, 64, 1, -1},
        SearchCase{"BlockCountBoundsTheSearch", 40, {{0, 38}}, 0, 100, 3, -1},
        SearchCase{"LastTwoBlocksFit", 40, {{0, 38}}, 0, 100, 2, 38},
        SearchCase{"FirstFitNotBestFit", 64, {{3, 4}, {10, 20}}, 0, 64, 3, 0},
        SearchCase{"StartInsideAUsedWord", 96, {{0, 64}}, 33, 96, 1, 64},
        SearchCase{"WholeRunCountLongerThanSpan", 8, {}, 0, 8, 9, -1},
        SearchCase{"WordTestNotMadeAtTheTail", 36, {{0, 36}}, 32, 36, 1, -1},
        SearchCase{"TailBlockFree", 36, {{0, 35}}, 0, 36, 1, 35}),
    [](const ::testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.name); });

// The hint: every block below it is in use.
TEST_F(Bitmap, MarkingAtTheHintMovesItPastTheRunAndOnToTheNextFreeBlock) {
    layOver(64, 0x00);
    markRaw(10, 12);
    pool.set(0, 1, 10);
    EXPECT_EQ(pool.firstFreeHint, 12) << "block 10 is in use, 12 is the next free one";
    pool.set(12, 1, 4);
    EXPECT_EQ(pool.firstFreeHint, 16) << "block 16 is free";
}

TEST_F(Bitmap, MarkingAboveTheHintLeavesIt) {
    layOver(64, 0x00);
    pool.set(20, 1, 4);
    EXPECT_EQ(pool.firstFreeHint, 0);
}

TEST_F(Bitmap, MarkingUpToTheEndLeavesTheHintAtBlockCount) {
    layOver(64, 0x00);
    markRaw(40, 64);
    pool.set(0, 1, 40);
    EXPECT_EQ(pool.firstFreeHint, 64);
    EXPECT_EQ(pool.findFreeBlocks(pool.firstFreeHint, pool.blockCount, 1), -1);
    pool.set(50, 0, 2);
    EXPECT_EQ(pool.firstFreeHint, 50) << "a clearing below blockCount brings the hint back";
    EXPECT_EQ(pool.findFreeBlocks(pool.firstFreeHint, pool.blockCount, 2), 50);
}

TEST_F(Bitmap, ClearingBelowTheHintLowersItAndAtOrAboveLeavesIt) {
    layOver(64, 0x00);
    pool.set(0, 1, 30);
    ASSERT_EQ(pool.firstFreeHint, 30);
    pool.set(30, 0, 5);
    EXPECT_EQ(pool.firstFreeHint, 30) << "clearing at the hint";
    pool.set(40, 0, 5);
    EXPECT_EQ(pool.firstFreeHint, 30) << "clearing above the hint";
    pool.set(12, 0, 3);
    EXPECT_EQ(pool.firstFreeHint, 12);
}

TEST_F(Bitmap, MarkingZeroBlocksAtTheHintMovesOnOnlyIfItsBlockIsInUse) {
    layOver(64, 0x00);
    const std::vector<uint8_t> before = bytes;
    pool.firstFreeHint = 5;
    pool.set(5, 1, 0);
    EXPECT_EQ(bytes, before) << "no bit changes";
    EXPECT_EQ(pool.firstFreeHint, 5);

    markRaw(5, 9);
    pool.set(5, 1, 0);
    EXPECT_EQ(pool.firstFreeHint, 9);
}

// The pool's own pattern of use: runs found from the hint are marked, random
// live runs cleared. After every operation the bitmap equals a bool model,
// the hint invariant holds, and a search from the hint equals one from 0 and
// the model's own first fit.
TEST_F(Bitmap, RandomisedRunsAgreeWithAModelAndTheHintNeverMisleads) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const int kBlocks = 300;  // not a multiple of 32: the tail is walked bit by bit
    layOver(kBlocks, 0x00);
    std::vector<bool> model(kBlocks, false);
    std::vector<std::pair<int, int>> live;  // start, count

    auto modelFirstFit = [&](int count) {
        int run = 0;
        for (int b = 0; b < kBlocks; ++b) {
            run = model[b] ? 0 : run + 1;
            if (run == count) return b - count + 1;
        }
        return -1;
    };

    const int operations = pool_test::scaled(4000);
    for (int op = 0; op < operations; ++op) {
        const bool allocate = live.empty() || random() % 100 < 55;
        if (allocate) {
            const int count = 1 + static_cast<int>(random() % 40);
            const int start = pool.findFreeBlocks(pool.firstFreeHint, kBlocks, count);
            ASSERT_EQ(start, modelFirstFit(count)) << "op " << op;
            if (start < 0) continue;
            pool.set(start, 1, count);
            for (int b = start; b < start + count; ++b) model[b] = true;
            live.push_back({start, count});
        } else {
            const size_t index = random() % live.size();
            const auto run = live[index];
            live.erase(live.begin() + static_cast<long>(index));
            pool.set(run.first, 0, run.second);
            for (int b = run.first; b < run.first + run.second; ++b) model[b] = false;
        }
        for (int b = 0; b < kBlocks; ++b) ASSERT_EQ(inUse(b), model[b]) << "op " << op << " block " << b;
        for (int b = 0; b < pool.firstFreeHint; ++b) ASSERT_TRUE(model[b]) << "below the hint, op " << op;
        for (int n : {1, 3, 17, 64}) {
            ASSERT_EQ(pool.findFreeBlocks(pool.firstFreeHint, kBlocks, n), pool.findFreeBlocks(0, kBlocks, n))
                << "op " << op << " n " << n;
        }
    }
}

}  // namespace
