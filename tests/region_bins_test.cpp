// Small bins and tree bins: index formulas, list order, stale links, trie
// shape and node replacement, and the link address checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "klor/region_alloc.h"
#include "region_checker.h"
#include "region_layout.h"
#include "region_test_support.h"

namespace {

using namespace region_test;

TEST(RegionTreeIndex, EachPowerOfTwoRangeSplitsIntoTwoHalves) {
    struct Case {
        uint64_t size;
        uint32_t bin;
    };
    const Case cases[] = {
        {256, 0},       {376, 0},       {384, 1},       {504, 1},       {512, 2},
        {760, 2},       {768, 3},       {1016, 3},      {1024, 4},      {1528, 4},
        {1536, 5},      {2040, 5},      {2048, 6},      {8388600, 29},  {8388608, 30},
        {12582904, 30}, {12582912, 31}, {16777208, 31}, {16777216, 31}, {uint64_t(1) << 40, 31},
    };
    for (const Case& c : cases) EXPECT_EQ(KLOR::tree_bin_index(c.size), c.bin) << c.size;
}

TEST(RegionTreeIndex, TheFirstKeyBitIsTheOneBelowTheHalfBit) {
    for (uint32_t i = 0; i < 31; ++i) {
        // The first bit examined in bin i is bit i/2 + 6 of the size.
        const uint64_t size = (uint64_t(1) << (i / 2 + 8)) | (uint64_t(1) << (i / 2 + 6));
        EXPECT_EQ((size << KLOR::tree_key_shift(i)) >> 63, 1u) << i;
        EXPECT_EQ(((size & ~(uint64_t(1) << (i / 2 + 6))) << KLOR::tree_key_shift(i)) >> 63, 0u) << i;
    }
    EXPECT_EQ(KLOR::tree_key_shift(31), 0u);
}

class RegionBins : public RegionTest {
protected:
    // Allocates blocks of `request` bytes each followed by a guard, so that
    // releasing them never merges.
    std::vector<void*> separated(uint64_t request, int count) {
        std::vector<void*> blocks;
        for (int i = 0; i < count; ++i) {
            blocks.push_back(malloc(request));
            malloc(8);
        }
        return blocks;
    }
    uint64_t headWord(uint32_t bin, int which) const {
        return wordAt(addr(handle_) + 80 + 16 * uint64_t(bin) + 8 * which);
    }
};

TEST_F(RegionBins, ASmallBinReturnsItsMostRecentlyReleasedChunkFirst) {
    const std::vector<void*> b = separated(40, 3);  // 48, bin 6
    for (void* p : b) free(p);
    EXPECT_EQ(smallBinMembers(handle_, 6),
              (std::vector<uint64_t>{chunkOf(b[2]), chunkOf(b[1]), chunkOf(b[0])}));
    EXPECT_EQ(malloc(40), b[2]);
    EXPECT_EQ(malloc(40), b[1]);
    EXPECT_EQ(malloc(40), b[0]);
    EXPECT_EQ(m()->small_bin_mask, 0u);
}

TEST_F(RegionBins, AnEmptiedBinKeepsStaleLinksUntilTheNextInsertion) {
    const std::vector<void*> b = separated(40, 2);
    free(b[0]);
    ASSERT_EQ(malloc(40), b[0]);
    EXPECT_EQ(m()->small_bin_mask & (1u << 6), 0u);
    EXPECT_EQ(headWord(6, 0), chunkOf(b[0])) << "forward link left stale";
    EXPECT_EQ(headWord(6, 1), chunkOf(b[0])) << "backward link left stale";

    free(b[1]);
    const uint64_t head = addr(handle_) + 64 + 16 * 6;
    EXPECT_EQ(headWord(6, 0), chunkOf(b[1]));
    EXPECT_EQ(headWord(6, 1), chunkOf(b[1]));
    EXPECT_EQ(wordAt(chunkOf(b[1]) + 16), head) << "linked to the head, not to the stale chunk";
    EXPECT_EQ(wordAt(chunkOf(b[1]) + 24), head);
}

TEST_F(RegionBins, RemovalFromTheMiddleOfASmallBinRelinksItsNeighbours) {
    std::vector<void*> b;
    std::vector<void*> after;
    for (int i = 0; i < 3; ++i) {
        b.push_back(malloc(40));
        after.push_back(malloc(8));
        malloc(8);
    }
    for (void* p : b) free(p);
    free(after[1]);  // merges backward with b[1], which leaves bin 6
    EXPECT_EQ(smallBinMembers(handle_, 6), (std::vector<uint64_t>{chunkOf(b[2]), chunkOf(b[0])}));
    EXPECT_EQ(smallBinMembers(handle_, 10), std::vector<uint64_t>{chunkOf(b[1])}) << "48 + 32 = 80";
}

TEST_F(RegionBins, The248And256ByteSizesGoToDifferentFamilies) {
    const std::vector<void*> a = separated(240, 1);  // 248
    const std::vector<void*> b = separated(241, 1);  // 256
    free(a[0]);
    free(b[0]);
    EXPECT_EQ(m()->small_bin_mask, 1u << 31);
    EXPECT_EQ(m()->tree_bin_mask, 1u << 0);
    EXPECT_EQ(treeNodes(handle_, 0), std::vector<uint64_t>{chunkOf(b[0])});
}

// Bin 4 (1024..1535), first key bit = bit 8 of the size:
//   1280 (0x500) root; 1088 (0x440, bit 8 = 0) left; 1472 (0x5C0, bit 8 = 1)
//   right; 1504 (0x5E0, bit 8 = 1, bit 7 = 1) right of 1472.
// Removing the root replaces it by the rightmost leaf, 1504, which takes over
// both of the root's children.
TEST_F(RegionBins, ARemovedTrieNodeIsReplacedByItsRightmostLeaf) {
    void* c1280 = separated(1280 - 15, 1)[0];
    void* c1088 = separated(1088 - 15, 1)[0];
    void* c1472 = separated(1472 - 15, 1)[0];
    void* c1504 = separated(1504 - 15, 1)[0];
    for (void* p : {c1280, c1088, c1472, c1504}) free(p);
    const uint64_t r = chunkOf(c1280), l = chunkOf(c1088), rr = chunkOf(c1472), leaf = chunkOf(c1504);
    ASSERT_EQ(treeNodes(handle_, 4), (std::vector<uint64_t>{r, l, rr, leaf}));
    EXPECT_EQ(wordAt(r + 32), l);
    EXPECT_EQ(wordAt(r + 40), rr);
    EXPECT_EQ(wordAt(rr + 40), leaf);
    ASSERT_REGION_SOUND(handle_);

    EXPECT_EQ(malloc(1280 - 15), c1280) << "exact fit";
    EXPECT_EQ(treeNodes(handle_, 4), (std::vector<uint64_t>{leaf, l, rr}));
    EXPECT_EQ(wordAt(leaf + 48), addr(&m()->tree_bin_roots[4]));
    EXPECT_EQ(wordAt(leaf + 32), l);
    EXPECT_EQ(wordAt(leaf + 40), rr);
    EXPECT_EQ(wordAt(l + 48), leaf);
    EXPECT_EQ(wordAt(rr + 48), leaf);
    EXPECT_EQ(wordAt(rr + 40), 0u) << "the leaf's old slot is cleared";
}

TEST_F(RegionBins, ARingMemberLeavesWithoutDisturbingTheTrie) {
    std::vector<void*> b;
    std::vector<void*> after;
    for (int i = 0; i < 3; ++i) {
        b.push_back(malloc(1000));  // 1008
        after.push_back(malloc(8));
        malloc(8);
    }
    for (void* p : b) free(p);
    free(after[1]);  // merges backward with b[1], a ring member
    EXPECT_EQ(treeNodes(handle_, 3), std::vector<uint64_t>{chunkOf(b[0])});
    EXPECT_EQ(ringMembers(handle_, chunkOf(b[0])), std::vector<uint64_t>{chunkOf(b[2])});
    EXPECT_EQ(treeNodes(handle_, 4), std::vector<uint64_t>{chunkOf(b[1])}) << "1040 bytes, bin 4";
}

TEST_F(RegionBins, TheBestFitSearchFindsTheSmallestSufficientChunkAcrossTheTrie) {
    // Sizes in bin 5 (1536..2047), released in an order that builds a deep
    // trie; each request must get the smallest chunk that holds it.
    const uint64_t sizes[] = {1800, 1600, 2040, 1544, 1920, 1704, 1656, 1992, 1576};
    std::vector<void*> blocks;
    for (uint64_t s : sizes) blocks.push_back(separated(s - 15, 1)[0]);
    for (void* p : blocks) free(p);
    ASSERT_REGION_SOUND(handle_);
    struct Ask {
        uint64_t chunk;   // padded request
        uint64_t expect;  // chunk size that serves it
    };
    for (const Ask a : {Ask{1650, 1656}, Ask{1544, 1544}, Ask{1900, 1920}, Ask{1537, 1576},
                        Ask{2000, 2040}}) {
        void* p = malloc(a.chunk - 15);
        ASSERT_NE(p, nullptr);
        uint64_t taken = 0;
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (blocks[i] == p) taken = sizes[i];
        }
        EXPECT_EQ(taken, a.expect) << "request of chunk size " << a.chunk;
        ASSERT_REGION_SOUND(handle_);
    }
}

TEST_F(RegionBins, ADamagedHeadLinkIsNotWrittenThrough) {
    const std::vector<void*> b = separated(40, 2);
    free(b[0]);
    // Point the head's forward link below lowest_address.
    const uint64_t headForward = addr(handle_) + 80 + 16 * 6;
    setWordAt(headForward, 8);
    free(b[1]);  // insertion treats the head itself as the old front
    const uint64_t head = addr(handle_) + 64 + 16 * 6;
    EXPECT_EQ(wordAt(headForward), chunkOf(b[1]));
    EXPECT_EQ(wordAt(chunkOf(b[1]) + 16), head);
    EXPECT_EQ(wordAt(chunkOf(b[1]) + 24), head);
    handle_ = nullptr;  // b[0] was cut off the list; the region is damaged
}

}  // namespace
