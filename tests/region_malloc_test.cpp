// Allocation and release: padded sizes, the order of trials, merging, the
// designated victim, equal-size rings, the trim threshold and every check
// that makes a release or a resize ignore a damaged pointer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "klor/region_alloc.h"
#include "region_checker.h"
#include "region_test_support.h"

namespace {

using namespace region_test;

constexpr uint64_t kTop0 = 64 * 1024 - 984;  // top size of a fresh 64 KiB region

class RegionMalloc : public RegionTest {
protected:
    uint64_t sizeWord(const void* mem) const { return wordAt(chunkOf(mem) + 8); }
    uint64_t top() const { return addr(m()->top); }
    // Every byte of the region, for "nothing changed" comparisons.
    std::vector<uint8_t> whole() const { return snapshot(memory_.base(), memory_.capacity()); }
};

TEST_F(RegionMalloc, RequestsArePaddedAndCarvedFromTopInAddressOrder) {
    struct Case {
        uint64_t request;
        uint64_t chunk;
    };
    const Case cases[] = {{0, 32}, {22, 32}, {23, 32}, {24, 32}, {25, 40}, {240, 248}, {241, 256}};
    uint64_t expected = memory_.address() + 912;
    uint64_t topSize = kTop0;
    for (const Case& c : cases) {
        void* p = malloc(c.request);
        ASSERT_NE(p, nullptr) << c.request;
        EXPECT_EQ(chunkOf(p), expected) << c.request;
        EXPECT_EQ(addr(p) % 8, 0u);
        EXPECT_EQ(sizeWord(p), c.chunk | 3) << c.request;
        EXPECT_GE(usableSize(p), c.request);
        expected += c.chunk;
        topSize -= c.chunk;
        EXPECT_EQ(top(), expected);
        EXPECT_EQ(m()->top_size, topSize);
        EXPECT_EQ(wordAt(top() + 8), topSize | 1);
    }
}

TEST_F(RegionMalloc, A241ByteRequestIsLargeAndSkipsTheSmallBins) {
    void* a = malloc(240);  // 248, small bin 31 once released
    void* guard = malloc(8);
    ASSERT_NE(guard, nullptr);
    free(a);
    ASSERT_EQ(smallBinMembers(handle_, 31), std::vector<uint64_t>{chunkOf(a)});
    const uint64_t topBefore = top();
    void* large = malloc(241);
    EXPECT_EQ(chunkOf(large), topBefore) << "256 bytes come from the top chunk";
    EXPECT_EQ(malloc(240), a) << "240 bytes take the 248-byte bin chunk";
}

TEST_F(RegionMalloc, AnEmptyExactBinFallsToTheNextBinWhole) {
    void* a = malloc(25);  // 40
    void* guard = malloc(8);
    ASSERT_NE(guard, nullptr);
    free(a);
    void* p = malloc(24);  // 32: bin 4 empty, bin 5 holds a
    EXPECT_EQ(p, a);
    EXPECT_EQ(sizeWord(p), 40u | 3) << "taken whole, no 8-byte split";
    EXPECT_EQ(m()->victim_size, 0u);
    EXPECT_EQ(m()->small_bin_mask, 0u);
}

TEST_F(RegionMalloc, ReleasingTheChunkBelowTopGrowsTop) {
    void* a = malloc(100);
    void* b = malloc(3000);
    free(b);
    EXPECT_EQ(top(), chunkOf(b));
    free(a);
    EXPECT_EQ(top(), memory_.address() + 912);
    EXPECT_EQ(m()->top_size, kTop0);
    EXPECT_EQ(m()->small_bin_mask | m()->tree_bin_mask, 0u);
}

class RegionMergeOrder : public RegionMalloc, public ::testing::WithParamInterface<bool> {};

TEST_P(RegionMergeOrder, TwoAdjacentReleasesLeaveOneChunkOfTheirCombinedSize) {
    void* a = malloc(100);  // 112
    void* b = malloc(200);  // 208
    void* guard = malloc(8);
    if (GetParam()) {
        free(a);
        free(b);
    } else {
        free(b);
        free(a);
    }
    const std::vector<ChunkView> chunks = walkChunks(handle_);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[1].address, chunkOf(a));
    EXPECT_EQ(chunks[1].size, 320u);
    EXPECT_FALSE(chunks[1].inUse);
    EXPECT_EQ(wordAt(chunkOf(guard)), 320u) << "size repeated in the successor";
    EXPECT_EQ(sizeWord(guard), 32u | 2) << "successor's bit 0 cleared";
    EXPECT_EQ(treeNodes(handle_, 0), std::vector<uint64_t>{chunkOf(a)});
}

INSTANTIATE_TEST_SUITE_P(Orders, RegionMergeOrder, ::testing::Bool());

TEST_F(RegionMalloc, ASecondReleaseOfTheSamePointerChangesNothing) {
    void* a = malloc(100);
    void* guard = malloc(8);
    ASSERT_NE(guard, nullptr);
    free(a);
    const std::vector<uint8_t> before = whole();
    free(a);
    EXPECT_EQ(whole(), before);
}

TEST_F(RegionMalloc, ReleasingNullChangesNothing) {
    malloc(100);
    const std::vector<uint8_t> before = whole();
    free(nullptr);
    EXPECT_EQ(whole(), before);
}

// The victim is made by a split for a small request, serves the next small
// requests that fit, is replaced (the old one going to the front of its small
// bin) and is finally used up.
TEST_F(RegionMalloc, TheDesignatedVictimIsMadeCarvedReplacedAndUsedUp) {
    void* s1 = malloc(120);  // 128
    malloc(8);
    void* s2 = malloc(192);  // 200
    void* g2 = malloc(8);
    free(s1);
    free(s2);
    const uint64_t c1 = chunkOf(s1);
    const uint64_t c2 = chunkOf(s2);

    void* a = malloc(24);  // 32 from bin 16, 96 left
    EXPECT_EQ(chunkOf(a), c1);
    EXPECT_EQ(addr(m()->victim), c1 + 32);
    EXPECT_EQ(m()->victim_size, 96u);
    EXPECT_EQ(wordAt(c1 + 32 + 8), 96u | 1);
    EXPECT_EQ(wordAt(c1 + 128), 96u) << "victim's size repeated in its successor";
    EXPECT_TRUE(smallBinMembers(handle_, 16).empty());
    ASSERT_REGION_SOUND(handle_);

    void* b = malloc(40);  // 48 from the victim, 48 left
    EXPECT_EQ(chunkOf(b), c1 + 32);
    EXPECT_EQ(addr(m()->victim), c1 + 80);
    EXPECT_EQ(m()->victim_size, 48u);
    ASSERT_REGION_SOUND(handle_);

    void* c = malloc(56);  // 64: victim too small, bin 25 split, 136 left
    EXPECT_EQ(chunkOf(c), c2);
    EXPECT_EQ(addr(m()->victim), c2 + 64);
    EXPECT_EQ(m()->victim_size, 136u);
    EXPECT_EQ(smallBinMembers(handle_, 6), std::vector<uint64_t>{c1 + 80}) << "old victim binned";
    ASSERT_REGION_SOUND(handle_);

    void* d = malloc(100);  // 112 of 136: the 24 left are too few to split
    EXPECT_EQ(chunkOf(d), c2 + 64);
    EXPECT_EQ(sizeWord(d), 136u | 3);
    EXPECT_EQ(m()->victim, nullptr);
    EXPECT_EQ(m()->victim_size, 0u);
    EXPECT_EQ(sizeWord(g2) & 1, 1u);
}

TEST_F(RegionMalloc, TheVictimGrowsOverReleasedNeighboursAndIsAbsorbedByTop) {
    void* s1 = malloc(120);  // 128
    void* g1 = malloc(8);
    void* g2 = malloc(8);
    free(s1);
    const uint64_t c1 = chunkOf(s1);
    void* a = malloc(24);  // victim = c1 + 32, 96 bytes
    ASSERT_EQ(addr(m()->victim), c1 + 32);

    free(a);  // forward into the victim
    EXPECT_EQ(addr(m()->victim), c1);
    EXPECT_EQ(m()->victim_size, 128u);
    EXPECT_EQ(m()->small_bin_mask, 0u) << "the victim is in no bin";
    ASSERT_REGION_SOUND(handle_);

    free(g1);  // backward into the victim, successor in use
    EXPECT_EQ(addr(m()->victim), c1);
    EXPECT_EQ(m()->victim_size, 160u);
    EXPECT_EQ(wordAt(chunkOf(g2)), 160u);
    EXPECT_EQ(sizeWord(g2), 32u | 2);
    ASSERT_REGION_SOUND(handle_);

    free(g2);  // victim, g2 and top become one top chunk
    EXPECT_EQ(m()->victim, nullptr);
    EXPECT_EQ(m()->victim_size, 0u);
    EXPECT_EQ(top(), c1);
    EXPECT_EQ(m()->top_size, kTop0);
}

TEST_F(RegionMalloc, OfThreeEqualLargeChunksTheTrieNodeGoesFirstAndTheOldestMemberTakesItsPlace) {
    void* x[3];
    for (auto& p : x) {
        p = malloc(1000);  // 1008, tree bin 3
        malloc(8);
    }
    for (void* p : x) free(p);
    const uint64_t c0 = chunkOf(x[0]), c1 = chunkOf(x[1]), c2 = chunkOf(x[2]);
    ASSERT_EQ(treeNodes(handle_, 3), std::vector<uint64_t>{c0});
    // The ring reads node -> newest -> oldest.
    EXPECT_EQ(ringMembers(handle_, c0), (std::vector<uint64_t>{c2, c1}));

    EXPECT_EQ(malloc(1000), x[0]);
    ASSERT_EQ(treeNodes(handle_, 3), std::vector<uint64_t>{c1});
    EXPECT_EQ(wordAt(c1 + 48), addr(&m()->tree_bin_roots[3])) << "new root's parent is its root word";
    EXPECT_EQ(ringMembers(handle_, c1), std::vector<uint64_t>{c2});
    ASSERT_REGION_SOUND(handle_);

    EXPECT_EQ(malloc(1000), x[1]);
    EXPECT_EQ(malloc(1000), x[2]);
    EXPECT_EQ(m()->tree_bin_mask, 0u);
}

// A victim of 976 bytes against a tree chunk of size T, for a request of
// 912 bytes (remainder 64 from the victim).
struct FitCase {
    uint64_t treeRequest;  // padded to T
    uint64_t treeChunk;
    bool treeWins;
};
void PrintTo(const FitCase& c, std::ostream* os) { *os << "tree chunk " << c.treeChunk; }

class RegionTreeVersusVictim : public RegionMalloc, public ::testing::WithParamInterface<FitCase> {};

TEST_P(RegionTreeVersusVictim, ALargeRequestTakesATreeChunkOnlyWhenItFitsStrictlyBetter) {
    const FitCase c = GetParam();
    void* x = malloc(1000);  // 1008
    malloc(8);
    void* t = malloc(c.treeRequest);
    malloc(8);
    ASSERT_EQ(usableSize(t) + 8, c.treeChunk);
    free(x);
    malloc(24);  // splits x: the victim is its last 976 bytes
    ASSERT_EQ(m()->victim_size, 976u);
    const uint64_t victim = addr(m()->victim);
    free(t);

    void* p = malloc(897);  // 912
    if (c.treeWins) {
        EXPECT_EQ(p, t);
        EXPECT_EQ(addr(m()->victim), victim) << "victim untouched";
        // The remainder goes to a bin, not to the victim.
        const uint64_t rest = c.treeChunk - 912;
        EXPECT_EQ(smallBinMembers(handle_, static_cast<uint32_t>(rest / 8)),
                  std::vector<uint64_t>{chunkOf(t) + 912});
    } else {
        EXPECT_EQ(chunkOf(p), victim);
        EXPECT_EQ(m()->victim_size, 976u - 912);
        EXPECT_EQ(treeNodes(handle_, 3), std::vector<uint64_t>{chunkOf(t)});
    }
}

INSTANTIATE_TEST_SUITE_P(Fits, RegionTreeVersusVictim,
                         ::testing::Values(FitCase{953, 968, true},    // 56 < 64
                                           FitCase{961, 976, false},   // 64 == 64: a tie
                                           FitCase{969, 984, false})); // 72 > 64

TEST_F(RegionMalloc, TheTopChunkIsCarvedOnlyWhenStrictlyLarger) {
    const std::vector<uint8_t> before = whole();
    EXPECT_EQ(malloc(kTop0 - 15), nullptr) << "padded to exactly the top size";
    EXPECT_EQ(malloc(uint64_t(0) - 128), nullptr);
    EXPECT_EQ(malloc(~uint64_t(0)), nullptr);
    EXPECT_EQ(malloc(uint64_t(0) - 129), nullptr);
    EXPECT_EQ(whole(), before) << "failed requests change nothing";

    void* p = malloc(kTop0 - 23);  // padded to top size - 8
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(m()->top_size, 8u);
    EXPECT_EQ(malloc(0), nullptr);
}

// A release that makes the top chunk exceed trim_limit switches trimming off
// for good and releases nothing. The top chunk after the release is kTop.
constexpr uint64_t kTrimCapacity = 3 * 1024 * 1024;
constexpr uint64_t kTrimTop = kTrimCapacity - 984;

struct TrimCase {
    uint64_t threshold;
    bool switchesOff;
};
void PrintTo(const TrimCase& c, std::ostream* os) { *os << "threshold " << c.threshold; }

class RegionTrimThreshold : public ::testing::TestWithParam<TrimCase> {};

TEST_P(RegionTrimThreshold, OnlyATopChunkAboveTheLimitSwitchesTrimmingOff) {
    const TrimCase c = GetParam();
    testGlobal();
    ParamsGuard guard;
    params().trim_threshold = c.threshold;
    RegionMemory mem(kTrimCapacity);
    void* h = mem.create();
    void* big = KLOR::mspace_malloc(h, 1536 * 1024);
    ASSERT_NE(big, nullptr);
    ASSERT_LE(state(h)->top_size, 0x200000u);
    KLOR::mspace_free(h, big);
    EXPECT_EQ(state(h)->top_size, kTrimTop) << "nothing released";
    EXPECT_EQ(KLOR::mspace_footprint(h), kTrimCapacity);
    EXPECT_EQ(state(h)->trim_limit, c.switchesOff ? ~uint64_t(0) : c.threshold);
    EXPECT_REGION_SOUND(h);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, RegionTrimThreshold,
                         ::testing::Values(TrimCase{0x200000, true},  // the default
                                           TrimCase{kTrimTop - 1, true},
                                           TrimCase{kTrimTop, false},  // equal is not above
                                           TrimCase{kTrimTop + 1, false}));

// Damaged pointers are ignored by release and refused by resize; the region
// is left byte for byte as it was.
struct DamageCase {
    const char* what;
    // Corrupts the block's header words (or picks another pointer); returns
    // the pointer to pass.
    void* (*damage)(void* block, void* successor, const RegionMemory& memory);
};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.what; }

class RegionDamagedPointer : public RegionMalloc, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(RegionDamagedPointer, ReleaseIgnoresItAndResizeRefusesIt) {
    malloc(100);
    void* block = malloc(100);
    void* successor = malloc(100);
    void* bad = GetParam().damage(block, successor, memory_);
    const std::vector<uint8_t> damaged = whole();
    free(bad);
    EXPECT_EQ(whole(), damaged) << GetParam().what;
    EXPECT_EQ(KLOR::mspace_realloc(handle_, bad, 500), nullptr) << GetParam().what;
    EXPECT_EQ(whole(), damaged) << GetParam().what;
    handle_ = nullptr;  // the damage stays; skip the final check
}

INSTANTIATE_TEST_SUITE_P(
    Damage, RegionDamagedPointer,
    ::testing::Values(
        DamageCase{"chunk below lowest_address",
                   [](void*, void*, const RegionMemory& memory) -> void* { return memory.base(); }},
        DamageCase{"released block",
                   [](void* block, void*, const RegionMemory&) -> void* {
                       setWordAt(addr(block) - 8, wordAt(addr(block) - 8) & ~uint64_t(2));
                       return block;
                   }},
        DamageCase{"size reaching past the region's end",
                   [](void* block, void*, const RegionMemory&) -> void* {
                       setWordAt(addr(block) - 8, (uint64_t(1) << 40) | 3);
                       return block;
                   }},
        DamageCase{"size wrapping around the address space",
                   [](void* block, void*, const RegionMemory&) -> void* {
                       setWordAt(addr(block) - 8, (uint64_t(0) - 64) | 3);
                       return block;
                   }},
        DamageCase{"successor whose bit 0 is clear",
                   [](void* block, void* successor, const RegionMemory&) -> void* {
                       setWordAt(addr(successor) - 8, wordAt(addr(successor) - 8) & ~uint64_t(1));
                       return block;
                   }}));

TEST_F(RegionMalloc, APreviousChunkBelowLowestAddressStopsTheReleaseUnchanged) {
    void* block = malloc(100);
    malloc(8);
    const uint64_t c = chunkOf(block);
    setWordAt(c + 8, wordAt(c + 8) & ~uint64_t(1));  // claims a free predecessor
    setWordAt(c, c - memory_.address() + 8);          // 8 bytes below the base
    const std::vector<uint8_t> damaged = whole();
    free(block);
    EXPECT_EQ(whole(), damaged);
    handle_ = nullptr;
}

}  // namespace
