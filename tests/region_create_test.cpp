// Region creation, its bounds and alignment handling, the statistics walk,
// trimming, the footprint queries and the parameter setter.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "klor/region_alloc.h"
#include "region_checker.h"
#include "region_test_support.h"

namespace {

using namespace region_test;
using KLOR::region_stats;

constexpr uint64_t kAllOnes = ~uint64_t(0);

void expectStats(const region_stats& s, uint64_t covered, uint64_t freeChunks, uint64_t outside,
                 uint64_t peak, uint64_t used, uint64_t freeBytes, uint64_t top) {
    EXPECT_EQ(s.covered_bytes, covered);
    EXPECT_EQ(s.free_chunks, freeChunks);
    EXPECT_EQ(s.reserved1, 0u);
    EXPECT_EQ(s.reserved2, 0u);
    EXPECT_EQ(s.outside_bytes, outside);
    EXPECT_EQ(s.peak_footprint, peak);
    EXPECT_EQ(s.reserved3, 0u);
    EXPECT_EQ(s.used_bytes, used);
    EXPECT_EQ(s.free_bytes, freeBytes);
    EXPECT_EQ(s.top_bytes, top);
}

TEST(RegionCreate, Capacity4096AtAlignedBaseLaysOutTheRecordTopAndTrailer) {
    RegionMemory mem(4096);
    void* h = mem.create();
    const uint64_t b = mem.address();
    ASSERT_EQ(addr(h), b + 16);
    KLOR::region_state* m = state(h);

    EXPECT_EQ(wordAt(b + 8), 915u);
    EXPECT_EQ(wordAt(b), 0xA5A5A5A5A5A5A5A5u) << "first chunk's prev_size is not written";
    EXPECT_EQ(addr(m->top), b + 912);
    EXPECT_EQ(m->top_size, 3112u);
    EXPECT_EQ(wordAt(b + 912 + 8), 3112u | 1);
    EXPECT_EQ(wordAt(b + 4096 - 64), 72u) << "trailer size word, no flag bits";
    // The trailer's other 64 bytes are never written.
    EXPECT_EQ(wordAt(b + 4096 - 72), 0xA5A5A5A5A5A5A5A5u);
    for (uint64_t at = b + 4096 - 56; at < b + 4096; at += 8) EXPECT_EQ(wordAt(at), 0xA5A5A5A5A5A5A5A5u);

    EXPECT_EQ(m->small_bin_mask, 0u);
    EXPECT_EQ(m->tree_bin_mask, 0u);
    EXPECT_EQ(m->victim_size, 0u);
    EXPECT_EQ(m->victim, nullptr);
    EXPECT_EQ(m->lowest_address, b);
    EXPECT_EQ(m->trim_limit, 0x200000u);
    EXPECT_EQ(m->magic, 0x58585858u);
    EXPECT_EQ(m->footprint, 4096u);
    EXPECT_EQ(m->max_footprint, 4096u);
    EXPECT_EQ(m->flags, 4u);
    EXPECT_EQ(m->segment.base, b);
    EXPECT_EQ(m->segment.size, 4096u);
    EXPECT_EQ(m->segment.next, nullptr);
    EXPECT_EQ(m->segment.flags, 8u);
    for (uint64_t i = 0; i < 32; ++i) {
        EXPECT_EQ(wordAt(addr(h) + 80 + 16 * i), addr(h) + 64 + 16 * i) << "bin " << i;
        EXPECT_EQ(wordAt(addr(h) + 88 + 16 * i), addr(h) + 64 + 16 * i) << "bin " << i;
    }
    for (auto* root : m->tree_bin_roots) EXPECT_EQ(root, nullptr);

    EXPECT_EQ(KLOR::mspace_footprint(h), 4096u);
    EXPECT_EQ(KLOR::mspace_max_footprint(h), 4096u);
    expectStats(KLOR::mspace_mallinfo(h), 4096, 1, 0, 4096, 912, 3184, 3112);
    EXPECT_REGION_SOUND(h);
}

TEST(RegionCreate, BaseThreePastAMultipleOfEightPutsTheFirstChunkFiveBytesIn) {
    // Capacity 4101 keeps the region's end 8-aligned: only the 5 slack bytes
    // at the base lie outside.
    RegionMemory mem(4101, 3);
    void* h = mem.create();
    const uint64_t b = mem.address();
    ASSERT_EQ(addr(h), b + 5 + 16);
    KLOR::region_state* m = state(h);
    EXPECT_EQ(m->lowest_address, b);
    EXPECT_EQ(m->segment.base, b);
    EXPECT_EQ(wordAt(b + 5 + 8), 915u);
    EXPECT_EQ(m->top_size, 4101u - 5 - 984);
    for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(mem.base()[i], RegionMemory::kFill) << "slack byte " << i;
    expectStats(KLOR::mspace_mallinfo(h), 4096, 1, 5, 4101, 4101 - 3184, 3184, 3112);
    EXPECT_REGION_SOUND(h);
}

// The region ends at its end rounded down to 8, so no size reaches into the
// flag bits; the bytes cut off count as outside bytes.
struct EndCase {
    uint64_t misalign;
    uint64_t capacity;
    uint64_t topSize;
    uint64_t outside;
};
void PrintTo(const EndCase& c, std::ostream* os) {
    *os << "base+" << c.misalign << " capacity " << c.capacity;
}

class RegionEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(RegionEnd, TopEndsAtTheRoundedDownEndAndReleasesStillMergeIntoIt) {
    const EndCase c = GetParam();
    RegionMemory mem(c.capacity, c.misalign);
    void* h = mem.create();
    ASSERT_NE(h, nullptr);
    KLOR::region_state* m = state(h);
    EXPECT_EQ(m->top_size, c.topSize);
    EXPECT_EQ(m->top_size % 8, 0u);
    EXPECT_EQ(wordAt(addr(m->top) + 8), c.topSize | 1) << "top is free: bit 1 clear";
    EXPECT_EQ(KLOR::mspace_footprint(h), c.capacity);
    const region_stats s = KLOR::mspace_mallinfo(h);
    EXPECT_EQ(s.outside_bytes, c.outside);
    EXPECT_EQ(s.covered_bytes + s.outside_bytes, c.capacity);

    if (c.topSize <= 32) {
        // Not even the smallest chunk is carved from an 8-byte top chunk.
        EXPECT_EQ(KLOR::mspace_malloc(h, 0), nullptr);
    } else {
        void* p = KLOR::mspace_malloc(h, 100);
        ASSERT_NE(p, nullptr);
        KLOR::mspace_free(h, p);
        EXPECT_EQ(m->top_size, c.topSize) << "the released chunk merged into the top chunk";
    }
    EXPECT_EQ(walkChunks(h).size(), 1u);
    EXPECT_REGION_SOUND(h);
}

INSTANTIATE_TEST_SUITE_P(Ends, RegionEnd,
                         ::testing::Values(EndCase{0, 4096, 3112, 0},     // aligned
                                           EndCase{0, 4100, 3112, 4},     // capacity 4 over
                                           EndCase{0, 4103, 3112, 7},     // capacity 7 over
                                           EndCase{3, 4101, 3112, 5},     // base slack only
                                           EndCase{3, 4096, 3104, 8},     // slack 5 + end 3
                                           EndCase{1, 4096, 3104, 8},     // slack 7 + end 1
                                           EndCase{0, 992, 8, 0},         // smallest top
                                           EndCase{3, 997, 8, 5}));       // smallest, misaligned

// Capacities with no room for the first chunk, the trailer and a top chunk
// of at least 8 bytes are refused, and nothing is written.
struct RefusedCase {
    uint64_t misalign;
    uint64_t capacity;
};
void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << "base+" << c.misalign << " capacity " << c.capacity;
}

class RegionRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RegionRefused, ReturnsNullAndWritesNothing) {
    const RefusedCase c = GetParam();
    RegionMemory mem(c.capacity, c.misalign);
    EXPECT_EQ(mem.create(), nullptr);
    for (uint64_t i = 0; i < c.capacity; ++i) {
        ASSERT_EQ(mem.base()[i], RegionMemory::kFill) << "byte " << i << " written";
    }
}

INSTANTIATE_TEST_SUITE_P(Small, RegionRefused,
                         ::testing::Values(RefusedCase{0, 985 - 1},  // 984: the bound itself
                                           RefusedCase{0, 985},      // top would be 1 byte
                                           RefusedCase{0, 991},      // top would be 7 bytes
                                           RefusedCase{3, 990},      // slack 5 + 985
                                           RefusedCase{3, 996},      // top would be 0 after rounding
                                           RefusedCase{7, 992},      // slack 1 eats the 8-byte top
                                           RefusedCase{0, 64}));

TEST(RegionCreate, CapacitiesAtTheUpperBoundAreRefusedBeforeAnythingIsWritten) {
    testGlobal();
    RegionMemory mem(4096);
    const std::vector<uint8_t> before = snapshot(mem.base(), 4096);
    // 2^64 - (984 + 4096) and above.
    for (uint64_t q : {uint64_t(18446744073709546536u), uint64_t(18446744073709546537u), kAllOnes}) {
        EXPECT_EQ(KLOR::create_mspace_with_base(mem.base(), q, 0), nullptr) << q;
    }
    EXPECT_EQ(snapshot(mem.base(), 4096), before);
}

TEST(RegionCreate, TheUpperBoundFollowsThePageSize) {
    testGlobal();
    ParamsGuard guard;
    // With a page size of 2^63 the bound drops to 2^63 - 984: a capacity that
    // the default bound would let through (and whose trailer would land far
    // outside this buffer) is refused before anything is written.
    params().page_size = uint64_t(1) << 63;
    RegionMemory mem(4096);
    const std::vector<uint8_t> before = snapshot(mem.base(), 4096);
    EXPECT_EQ(KLOR::create_mspace_with_base(mem.base(), (uint64_t(1) << 63) - 984, 0), nullptr);
    EXPECT_EQ(KLOR::create_mspace_with_base(mem.base(), uint64_t(1) << 63, 0), nullptr);
    EXPECT_EQ(snapshot(mem.base(), 4096), before);
}

TEST(RegionCreate, TheLockRequestChangesNothing) {
    RegionMemory mem(8192);
    ASSERT_NE(mem.create(0), nullptr);
    const std::vector<uint8_t> unlocked = snapshot(mem.base(), 8192);
    mem.refill();
    ASSERT_NE(mem.create(1), nullptr);
    EXPECT_EQ(snapshot(mem.base(), 8192), unlocked);
    mem.refill();
    ASSERT_NE(mem.create(-7), nullptr);
    EXPECT_EQ(snapshot(mem.base(), 8192), unlocked);
}

TEST(RegionCreate, RecordTakesTheParameterBlockAsItIsAtCreation) {
    testGlobal();
    ParamsGuard guard;
    params().magic = 0x1234;
    params().default_flags = 0x31;
    params().trim_threshold = 5000;
    RegionMemory mem(4096);
    KLOR::region_state* m = state(mem.create());
    EXPECT_EQ(m->magic, 0x1234u);
    EXPECT_EQ(m->flags, 0x35u);
    EXPECT_EQ(m->trim_limit, 5000u);
}

TEST(RegionTrim, SwitchesTrimmingOffAndNeverReleasesMemory) {
    struct Case {
        uint64_t pad;
        bool switchesOff;
    };
    for (const Case c : {Case{0, true}, Case{4096, true}, Case{uint64_t(0) - 129, true},
                         Case{uint64_t(0) - 128, false}, Case{kAllOnes, false}}) {
        RegionMemory mem(4096);
        void* h = mem.create();
        EXPECT_EQ(KLOR::mspace_trim(h, c.pad), 0);
        EXPECT_EQ(state(h)->trim_limit, c.switchesOff ? kAllOnes : 0x200000u) << c.pad;
        EXPECT_EQ(state(h)->top_size, 3112u);
        EXPECT_EQ(KLOR::mspace_footprint(h), 4096u);
    }
}

TEST(RegionTrim, ARecordWithoutTopIsLeftAlone) {
    std::vector<uint64_t> words(904 / 8, 0);
    words[6] = 77;  // trim_limit
    testGlobal();
    EXPECT_EQ(KLOR::mspace_trim(words.data(), 0), 0);
    EXPECT_EQ(words[6], 77u);
}

TEST(RegionStats, ARecordWithoutTopGivesAnAllZeroRecord) {
    std::vector<uint64_t> words(904 / 8, 0);
    words[2] = 500;                 // top_size
    words[848 / 8] = 4096;          // footprint
    words[856 / 8] = 4096;          // max_footprint
    testGlobal();
    const region_stats s = KLOR::mspace_mallinfo(words.data());
    expectStats(s, 0, 0, 0, 0, 0, 0, 0);
}

TEST(RegionStats, FootprintsStayAtTheCapacityThroughAllocationAndRelease) {
    RegionMemory mem(64 * 1024);
    void* h = mem.create();
    std::vector<void*> blocks;
    for (int i = 0; i < 40; ++i) blocks.push_back(KLOR::mspace_malloc(h, 37 * i));
    for (size_t i = 0; i < blocks.size(); i += 2) KLOR::mspace_free(h, blocks[i]);
    EXPECT_EQ(KLOR::mspace_footprint(h), 64u * 1024);
    EXPECT_EQ(KLOR::mspace_max_footprint(h), 64u * 1024);
    const region_stats s = KLOR::mspace_mallinfo(h);
    EXPECT_EQ(s.peak_footprint, 64u * 1024);
    EXPECT_EQ(s.free_chunks, 21u) << "20 released, none adjacent, plus the top chunk";
    EXPECT_REGION_SOUND(h);
}

TEST(RegionStats, TheWalkStopsAtASizeWordOfEleven) {
    RegionMemory mem(8192);
    void* h = mem.create();
    void* a = KLOR::mspace_malloc(h, 100);  // 112
    void* b = KLOR::mspace_malloc(h, 200);  // 216
    void* c = KLOR::mspace_malloc(h, 300);  // 320
    ASSERT_NE(c, nullptr);
    KLOR::mspace_free(h, a);
    const uint64_t top = state(h)->top_size;
    const uint64_t bWord = addr(b) - 8;
    const uint64_t saved = wordAt(bWord);
    setWordAt(bWord, 11);
    const region_stats s = KLOR::mspace_mallinfo(h);
    setWordAt(bWord, saved);
    // First chunk and the free 112-byte chunk are walked; b stops the walk.
    EXPECT_EQ(s.covered_bytes, 912 + 112 + top + 72);
    EXPECT_EQ(s.free_chunks, 2u);
    EXPECT_EQ(s.free_bytes, 112 + top + 72);
    EXPECT_EQ(s.outside_bytes, 8192 - s.covered_bytes);
    EXPECT_REGION_SOUND(h);
}

// Set through mspace_mallopt, the values land in the host's block.
TEST(RegionMallopt, AcceptsAndRefusesAsTheTableSays) {
    testGlobal();
    ParamsGuard guard;
    KLOR::mspace_mallopt(0, 0);  // binds
    struct Case {
        int param;
        int value;
        int result;
        uint64_t granularity;
        uint64_t trim;
        uint64_t map;
    };
    const Case cases[] = {
        {-2, 4096, 1, 4096, 0x200000, kAllOnes},
        {-2, 1048576, 1, 1048576, 0x200000, kAllOnes},
        {-2, 2048, 0, 0x10000, 0x200000, kAllOnes},    // below the page size
        {-2, 12288, 0, 0x10000, 0x200000, kAllOnes},   // not a power of two
        {-2, 0, 0, 0x10000, 0x200000, kAllOnes},
        {-2, -2147483647 - 1, 0, 0x10000, 0x200000, kAllOnes},  // widens, not a power of two
        {-1, -1, 1, 0x10000, kAllOnes, kAllOnes},
        {-1, 12345, 1, 0x10000, 12345, kAllOnes},
        {-3, 777, 1, 0x10000, 0x200000, 777},
        {-3, -2, 1, 0x10000, 0x200000, kAllOnes - 1},
        {-4, 4096, 0, 0x10000, 0x200000, kAllOnes},
        {1, 4096, 0, 0x10000, 0x200000, kAllOnes},
        {0, 4096, 0, 0x10000, 0x200000, kAllOnes},
    };
    for (const Case& c : cases) {
        params().granularity = 0x10000;
        params().trim_threshold = 0x200000;
        params().map_threshold = kAllOnes;
        const KLOR::region_params before = params();
        EXPECT_EQ(KLOR::mspace_mallopt(c.param, c.value), c.result) << c.param << " " << c.value;
        EXPECT_EQ(params().granularity, c.granularity) << c.param << " " << c.value;
        EXPECT_EQ(params().trim_threshold, c.trim) << c.param << " " << c.value;
        EXPECT_EQ(params().map_threshold, c.map) << c.param << " " << c.value;
        EXPECT_EQ(params().magic, before.magic);
        EXPECT_EQ(params().page_size, before.page_size);
        EXPECT_EQ(params().default_flags, before.default_flags);
        EXPECT_EQ(params().untouched, before.untouched);
    }
}

TEST(RegionMallopt, ANewTrimThresholdReachesOnlyRegionsCreatedAfterwards) {
    testGlobal();
    ParamsGuard guard;
    RegionMemory early(4096);
    void* before = early.create();
    ASSERT_EQ(KLOR::mspace_mallopt(-1, 1000), 1);
    RegionMemory late(4096);
    void* after = late.create();
    EXPECT_EQ(state(before)->trim_limit, 0x200000u);
    EXPECT_EQ(state(after)->trim_limit, 1000u);
}

}  // namespace
