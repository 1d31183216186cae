// Resizing, aligned allocation, zeroed allocation and the batch operations.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "klor/region_alloc.h"
#include "region_checker.h"
#include "region_test_support.h"

namespace {

using namespace region_test;

constexpr uint64_t kTop0 = 64 * 1024 - 984;

class RegionResize : public RegionTest {
protected:
    uint64_t sizeWord(const void* mem) const { return wordAt(chunkOf(mem) + 8); }
    uint64_t chunkSize(const void* mem) const { return sizeWord(mem) & ~uint64_t(7); }
    uint64_t top() const { return addr(m()->top); }
    std::vector<uint8_t> whole() const { return snapshot(memory_.base(), memory_.capacity()); }
    void* realloc(void* p, uint64_t n) const { return KLOR::mspace_realloc(handle_, p, n); }
    static void fill(void* p, uint64_t n, uint8_t seed) {
        auto* b = static_cast<uint8_t*>(p);
        for (uint64_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    }
    static bool holds(const void* p, uint64_t n, uint8_t seed) {
        const auto* b = static_cast<const uint8_t*>(p);
        for (uint64_t i = 0; i < n; ++i) {
            if (b[i] != static_cast<uint8_t>(seed + i * 7)) return false;
        }
        return true;
    }
};

// ---- realloc ------------------------------------------------------------------

TEST_F(RegionResize, ANullPointerIsAPlainAllocation) {
    const uint64_t before = top();
    void* p = realloc(nullptr, 100);
    EXPECT_EQ(chunkOf(p), before);
    EXPECT_EQ(sizeWord(p), 112u | 3);
}

TEST_F(RegionResize, SizeZeroShrinksToThirtyTwoBytesAndReleasesTheRest) {
    void* a = malloc(100);  // 112
    void* guard = malloc(8);
    EXPECT_EQ(realloc(a, 0), a);
    EXPECT_EQ(sizeWord(a), 32u | 3);
    EXPECT_EQ(smallBinMembers(handle_, 10), std::vector<uint64_t>{chunkOf(a) + 32}) << "80-byte tail";
    EXPECT_EQ(wordAt(chunkOf(guard)), 80u);

    void* small = malloc(10);  // 32 already
    malloc(8);
    const std::vector<uint8_t> before = whole();
    EXPECT_EQ(realloc(small, 0), small);
    EXPECT_EQ(whole(), before);
}

TEST_F(RegionResize, ShrinkingA256ByteBlockReleasesATailOnlyWhenItIsAChunk) {
    void* a = malloc(241);  // 256
    void* guardA = malloc(8);
    void* b = malloc(241);
    malloc(8);
    fill(a, 200, 3);
    EXPECT_EQ(realloc(a, 200), a);  // 208 + a 48-byte tail
    EXPECT_EQ(sizeWord(a), 208u | 3);
    EXPECT_TRUE(holds(a, 200, 3));
    EXPECT_EQ(smallBinMembers(handle_, 6), std::vector<uint64_t>{chunkOf(a) + 208});
    EXPECT_EQ(wordAt(chunkOf(guardA)), 48u);

    const std::vector<uint8_t> before = whole();
    EXPECT_EQ(realloc(b, 230), b);  // 240: a 16-byte tail is no chunk
    EXPECT_EQ(whole(), before);
}

TEST_F(RegionResize, TheBlockBelowTopGrowsInPlaceWhileTopStaysLarger) {
    void* a = malloc(100);  // 112
    fill(a, 100, 5);
    EXPECT_EQ(realloc(a, 1000), a);
    EXPECT_EQ(sizeWord(a), 1008u | 3);
    EXPECT_EQ(top(), chunkOf(a) + 1008);
    EXPECT_EQ(m()->top_size, kTop0 - 1008);
    EXPECT_TRUE(holds(a, 100, 5));

    // Growing to all of block + top would leave no top chunk: the move that
    // follows cannot be served either, so the block stays as it is.
    const std::vector<uint8_t> before = whole();
    EXPECT_EQ(realloc(a, kTop0 - 15), nullptr);
    EXPECT_EQ(whole(), before);
    EXPECT_EQ(realloc(a, kTop0 - 23), a) << "leaves an 8-byte top chunk";
    EXPECT_EQ(m()->top_size, 8u);
}

TEST_F(RegionResize, AGrowingBlockWithAnInUseSuccessorMovesAndCopiesItsUsableBytes) {
    void* a = malloc(24);  // 32: 24 usable, the last 8 in the successor's prev_size
    void* guard = malloc(8);
    ASSERT_NE(guard, nullptr);
    fill(a, 24, 9);
    const uint64_t from = top();
    void* r = realloc(a, 100);
    ASSERT_NE(r, a);
    EXPECT_EQ(chunkOf(r), from);
    EXPECT_TRUE(holds(r, 24, 9));
    const std::vector<uint8_t> rest = snapshot(static_cast<uint8_t*>(r) + 24, 76);
    EXPECT_EQ(rest, std::vector<uint8_t>(76, RegionMemory::kFill)) << "only 24 bytes copied";
    EXPECT_EQ(smallBinMembers(handle_, 4), std::vector<uint64_t>{chunkOf(a)}) << "old block released";
}

TEST_F(RegionResize, AMoveCanUseTheBytesBeyondTheRequestedSize) {
    void* a = malloc(100);  // 112: 104 usable
    malloc(8);
    fill(a, 100, 11);
    void* r = realloc(a, 300);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(holds(r, 100, 11));
}

TEST_F(RegionResize, AReleasedOrOversizedBlockIsRefusedAndNothingChanges) {
    void* a = malloc(100);
    void* b = malloc(100);
    malloc(8);
    free(a);
    std::vector<uint8_t> before = whole();
    EXPECT_EQ(realloc(a, 50), nullptr);
    EXPECT_EQ(whole(), before);
    fill(b, 100, 13);
    before = whole();
    EXPECT_EQ(realloc(b, uint64_t(0) - 128), nullptr);
    EXPECT_EQ(realloc(b, ~uint64_t(0)), nullptr);
    EXPECT_EQ(realloc(b, 1 << 20), nullptr) << "no room to move";
    EXPECT_EQ(whole(), before);
}

// ---- memalign -----------------------------------------------------------------

struct AlignCase {
    uint64_t alignment;
    uint64_t effective;  // 0: plain allocation
};
void PrintTo(const AlignCase& c, std::ostream* os) { *os << "alignment " << c.alignment; }

class RegionMemalign : public RegionResize, public ::testing::WithParamInterface<AlignCase> {};

// Properties for every alignment and for several starting offsets: the block
// is aligned, holds the request, and the leader (at least 32 bytes), the
// block and the released trailer add up to the one allocation of
// nb + A + 24 bytes.
TEST_P(RegionMemalign, TheBlockIsAlignedAndThePiecesAddUp) {
    const AlignCase c = GetParam();
    for (uint64_t shift = 0; shift < 8; ++shift) {
        RegionMemory mem(64 * 1024);
        void* h = mem.create();
        for (uint64_t i = 0; i < shift; ++i) KLOR::mspace_malloc(h, 8 + 16 * i);
        const uint64_t start = addr(state(h)->top);
        const uint64_t topBefore = state(h)->top_size;
        void* p = KLOR::mspace_memalign(h, c.alignment, 100);
        ASSERT_NE(p, nullptr);
        const uint64_t size = wordAt(addr(p) - 8) & ~uint64_t(7);
        EXPECT_GE(size, 112u);
        if (c.effective == 0) {
            EXPECT_EQ(addr(p) - 16, start) << "plain allocation";
            EXPECT_EQ(size, 112u);
        } else {
            EXPECT_EQ(addr(p) % c.effective, 0u) << c.alignment << " shift " << shift;
            const uint64_t lead = addr(p) - 16 - start;
            EXPECT_TRUE(lead == 0 || lead >= 32) << lead;
            if (lead != 0) {
                EXPECT_EQ(wordAt(start + 8), lead | 1) << "leader released, free";
            }
            EXPECT_LE(size, 112u + 32) << "a trailer above 32 bytes is cut off";
            const uint64_t aggregate = (112 + c.effective + 24 + 15) & ~uint64_t(7);
            const uint64_t trailer = state(h)->top_size - (topBefore - aggregate);
            EXPECT_EQ(lead + size + trailer, aggregate);
            EXPECT_EQ(addr(state(h)->top), addr(p) - 16 + size) << "trailer merged into top";
        }
        EXPECT_REGION_SOUND(h);
        KLOR::mspace_free(h, p);
        EXPECT_REGION_SOUND(h);
    }
}

INSTANTIATE_TEST_SUITE_P(Alignments, RegionMemalign,
                         ::testing::Values(AlignCase{0, 0}, AlignCase{1, 0}, AlignCase{8, 0},
                                           AlignCase{9, 32}, AlignCase{16, 32}, AlignCase{17, 32},
                                           AlignCase{31, 32}, AlignCase{32, 32}, AlignCase{33, 64},
                                           AlignCase{48, 64}, AlignCase{64, 64}, AlignCase{100, 128},
                                           AlignCase{4096, 4096}, AlignCase{5000, 8192}));

// 100 bytes at 4096: one allocation of 112 + 4096 + 24 = 4232 bytes (a
// 4240-byte chunk). Free chunks of 4224 and 4240 bytes are offered: only the
// second holds the request, and it splits into leader, block and trailer.
TEST_F(RegionResize, Alignment4096WithSize100AllocatesFirst4232Bytes) {
    void* smaller = malloc(4224 - 15);
    malloc(8);
    void* exact = malloc(4240 - 15);
    void* guard = malloc(8);
    free(smaller);
    free(exact);
    const uint64_t c = chunkOf(exact);

    void* p = KLOR::mspace_memalign(handle_, 4096, 100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(addr(p) % 4096, 0u);
    ASSERT_GE(chunkOf(p), c);
    ASSERT_LT(chunkOf(p), c + 4240);
    const uint64_t lead = chunkOf(p) - c;
    const uint64_t block = chunkSize(p);
    const uint64_t trailer = 4240 - lead - block;
    EXPECT_GE(block, 112u);
    if (lead != 0) {
        EXPECT_GE(lead, 32u);
        EXPECT_EQ(wordAt(c + 8), lead | 1) << "leader released";
    }
    if (trailer != 0) {
        EXPECT_GT(trailer, 32u);
        EXPECT_EQ(block, 112u);
        EXPECT_EQ(wordAt(chunkOf(p) + block + 8), trailer | 1) << "trailer released";
    }
    EXPECT_EQ(wordAt(chunkOf(guard) + 8) & ~uint64_t(7), 32u);
    EXPECT_EQ(wordAt(chunkOf(smaller) + 8), 4224u | 1) << "the smaller chunk is untouched";
}

TEST_F(RegionResize, AlignmentsWithoutAFittingPowerOfTwoOrRoomAreRefused) {
    const std::vector<uint8_t> before = whole();
    EXPECT_EQ(KLOR::mspace_memalign(handle_, (uint64_t(1) << 63) + 1, 100), nullptr);
    EXPECT_EQ(KLOR::mspace_memalign(handle_, ~uint64_t(0), 100), nullptr);
    EXPECT_EQ(KLOR::mspace_memalign(handle_, uint64_t(1) << 63, 100), nullptr);
    EXPECT_EQ(KLOR::mspace_memalign(handle_, (uint64_t(1) << 62) + 1, 100), nullptr);
    EXPECT_EQ(KLOR::mspace_memalign(handle_, 32, uint64_t(0) - 128 - 32), nullptr);
    EXPECT_EQ(KLOR::mspace_memalign(handle_, 32, uint64_t(0) - 128 - 33), nullptr) << "no room";
    EXPECT_EQ(KLOR::mspace_memalign(handle_, 4096, 64 * 1024), nullptr) << "no room";
    EXPECT_EQ(whole(), before);
}

// ---- calloc -------------------------------------------------------------------

TEST_F(RegionResize, CallocWithCountZeroReturnsAThirtyTwoByteBlock) {
    const uint64_t start = top();
    void* p = KLOR::mspace_calloc(handle_, 0, 12345);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(chunkOf(p), start);
    EXPECT_EQ(sizeWord(p), 32u | 3);
}

TEST_F(RegionResize, CallocZeroesExactlyTheRequestedBytes) {
    auto* p = static_cast<uint8_t*>(KLOR::mspace_calloc(handle_, 3, 10));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(p[i], 0) << i;
    EXPECT_EQ(sizeWord(p), 40u | 3);
}

TEST_F(RegionResize, CallocRefusesWrappingProducts) {
    const std::vector<uint8_t> before = whole();
    EXPECT_EQ(KLOR::mspace_calloc(handle_, uint64_t(1) << 32, uint64_t(1) << 32), nullptr);
    // (2^33 + 1) * 2^31 wraps to 2^31.
    EXPECT_EQ(KLOR::mspace_calloc(handle_, (uint64_t(1) << 33) + 1, uint64_t(1) << 31), nullptr);
    EXPECT_EQ(KLOR::mspace_calloc(handle_, 3, (uint64_t(1) << 63) + 8), nullptr);
    EXPECT_EQ(whole(), before);
}

TEST(RegionCalloc, LargeOperandsWithoutOverflowAreServedAndZeroed) {
    RegionMemory mem(256 * 1024);
    void* h = mem.create();
    for (const auto& cs : {std::pair<uint64_t, uint64_t>{65536, 1}, {1, 65536}, {2, 65537}}) {
        auto* p = static_cast<uint8_t*>(KLOR::mspace_calloc(h, cs.first, cs.second));
        ASSERT_NE(p, nullptr);
        const uint64_t n = cs.first * cs.second;
        uint64_t nonZero = 0;
        for (uint64_t i = 0; i < n; ++i) nonZero += p[i] != 0;
        EXPECT_EQ(nonZero, 0u);
        KLOR::mspace_free(h, p);
    }
    EXPECT_REGION_SOUND(h);
}

// 65535 x 65535 = 4,294,836,225 bytes: no overflow test, and served when the
// region holds them. Touches about 4 GiB of memory, so it runs only in plain
// builds and only when asked (KLOR_REGION_BIG_TESTS=1).
TEST(RegionCalloc, TheLargestUntestedProductIsServedWhole) {
#if defined(KLOR_SANITIZER_BUILD)
    GTEST_SKIP() << "4 GiB memset under a sanitizer";
#else
    if (std::getenv("KLOR_REGION_BIG_TESTS") == nullptr) {
        GTEST_SKIP() << "touches 4 GiB; set KLOR_REGION_BIG_TESTS=1 to run";
    }
    const uint64_t capacity = (uint64_t(1) << 32) + (uint64_t(1) << 20);
    void* memory = mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) GTEST_SKIP() << "no address space for the region";
    testGlobal();
    void* h = KLOR::create_mspace_with_base(memory, capacity, 0);
    ASSERT_NE(h, nullptr);
    std::memset(static_cast<uint8_t*>(memory) + 4096, 0xA5, 4096);
    auto* p = static_cast<uint8_t*>(KLOR::mspace_calloc(h, 65535, 65535));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(wordAt(addr(p) - 8), ((4294836225u + 15) & ~uint64_t(7)) | 3);
    // The first pages held a pattern before; the whole span is zero now.
    for (uint64_t i = 0; i < 4294836225u; i += 4093) ASSERT_EQ(p[i], 0) << i;
    for (uint64_t i = 0; i < 8192; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(p[4294836224u], 0);
    munmap(memory, capacity);
#endif
}

// ---- batches ------------------------------------------------------------------

TEST_F(RegionResize, ComallocOf10_100_1000MakesOneAllocationWithTheArrayChunkLast) {
    const uint64_t start = top();
    size_t sizes[3] = {10, 100, 1000};
    void** array = KLOR::mspace_independent_comalloc(handle_, 3, sizes, nullptr);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(addr(array), start + 1152 + 16);
    EXPECT_EQ(top(), start + 1184) << "one allocation of 1184 bytes";
    EXPECT_EQ(addr(array[0]), start + 16);
    EXPECT_EQ(addr(array[1]), start + 32 + 16);
    EXPECT_EQ(addr(array[2]), start + 144 + 16);
    EXPECT_EQ(sizeWord(array[0]), 32u | 3);
    EXPECT_EQ(sizeWord(array[1]), 112u | 3);
    EXPECT_EQ(sizeWord(array[2]), 1008u | 3);
    EXPECT_EQ(sizeWord(array), 32u | 3);
    ASSERT_REGION_SOUND(handle_);
    for (int i = 0; i < 3; ++i) fill(array[i], sizes[i], static_cast<uint8_t>(i));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(holds(array[i], sizes[i], static_cast<uint8_t>(i)));

    // Each piece is released on its own.
    free(array[1]);
    ASSERT_REGION_SOUND(handle_);
    free(array[0]);
    free(array[2]);
    free(array);
    EXPECT_EQ(top(), start);
    EXPECT_EQ(m()->top_size, kTop0);
}

// An aggregate served whole from a free chunk 24 bytes larger than needed.
TEST_F(RegionResize, ASurplusGoesToTheLastElementOrToTheArrayChunk) {
    size_t sizes[3] = {10, 100, 1000};

    // With the caller's array the aggregate is 1152 bytes; a 1176-byte chunk
    // serves it whole and the last element takes the 24 bytes over.
    void* spare = malloc(1161);  // 1176
    malloc(8);
    free(spare);
    void* given[3] = {};
    ASSERT_EQ(KLOR::mspace_independent_comalloc(handle_, 3, sizes, given), given);
    EXPECT_EQ(chunkOf(given[0]), chunkOf(spare));
    EXPECT_EQ(sizeWord(given[2]), (1008u + 24) | 3);
    ASSERT_REGION_SOUND(handle_);
    for (void* p : given) free(p);

    // Without it the aggregate is 1184 bytes; a 1208-byte chunk serves it
    // whole and the array chunk takes the 24 bytes over. (A fresh region: the
    // pieces released above would serve the guard below.)
    RegionMemory other(64 * 1024);
    void* h = other.create();
    void* spare2 = KLOR::mspace_malloc(h, 1193);  // 1208
    KLOR::mspace_malloc(h, 8);
    KLOR::mspace_free(h, spare2);
    void** made = KLOR::mspace_independent_comalloc(h, 3, sizes, nullptr);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(chunkOf(made[0]), chunkOf(spare2));
    EXPECT_EQ(sizeWord(made[2]), 1008u | 3);
    EXPECT_EQ(sizeWord(made), (32u + 24) | 3);
    EXPECT_REGION_SOUND(h);
}

TEST_F(RegionResize, IndependentCallocZeroesEveryElement) {
    const uint64_t start = top();
    void** array = KLOR::mspace_independent_calloc(handle_, 4, 20, nullptr);
    ASSERT_NE(array, nullptr);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(addr(array[i]), start + 32 * i + 16);
        EXPECT_EQ(sizeWord(array[i]), 32u | 3);
        const auto* b = static_cast<const uint8_t*>(array[i]);
        for (int j = 0; j < 20; ++j) EXPECT_EQ(b[j], 0) << i << " " << j;
    }
    EXPECT_EQ(addr(array), start + 128 + 16);
    EXPECT_EQ(sizeWord(array), 40u | 3) << "4 pointers, padded";
    ASSERT_REGION_SOUND(handle_);
    for (int i = 0; i < 4; ++i) free(array[i]);
    free(array);
    EXPECT_EQ(m()->top_size, kTop0);
}

TEST_F(RegionResize, ABatchOfNothing) {
    void* given[2] = {reinterpret_cast<void*>(1), reinterpret_cast<void*>(2)};
    const std::vector<uint8_t> before = whole();
    EXPECT_EQ(KLOR::mspace_independent_calloc(handle_, 0, 20, given), given);
    EXPECT_EQ(KLOR::mspace_independent_comalloc(handle_, 0, nullptr, given), given);
    EXPECT_EQ(whole(), before) << "nothing allocated";
    EXPECT_EQ(given[0], reinterpret_cast<void*>(1));

    const uint64_t start = top();
    void** minimal = KLOR::mspace_independent_comalloc(handle_, 0, nullptr, nullptr);
    ASSERT_NE(minimal, nullptr);
    EXPECT_EQ(chunkOf(minimal), start);
    EXPECT_EQ(sizeWord(minimal), 32u | 3);
}

TEST_F(RegionResize, BatchTotalsThatWrapAreRefusedBeforeAnythingIsAllocated) {
    void* given[2] = {};
    const std::vector<uint8_t> before = whole();
    // 8 * n wraps.
    EXPECT_EQ(KLOR::mspace_independent_calloc(handle_, uint64_t(1) << 61, 8, nullptr), nullptr);
    // n * element size wraps (caller's array, so no array space).
    EXPECT_EQ(KLOR::mspace_independent_calloc(handle_, uint64_t(1) << 61, 8, given), nullptr);
    // An element size whose padding wraps.
    EXPECT_EQ(KLOR::mspace_independent_calloc(handle_, 2, ~uint64_t(0) - 3, given), nullptr);
    size_t halves[2] = {size_t(1) << 63, size_t(1) << 63};
    EXPECT_EQ(KLOR::mspace_independent_comalloc(handle_, 2, halves, given), nullptr);
    size_t huge[1] = {~size_t(0) - 100};
    EXPECT_EQ(KLOR::mspace_independent_comalloc(handle_, 1, huge, given), nullptr);
    // No wrap, just no room.
    size_t quarters[2] = {size_t(1) << 62, size_t(1) << 62};
    EXPECT_EQ(KLOR::mspace_independent_comalloc(handle_, 2, quarters, given), nullptr);
    EXPECT_EQ(whole(), before);
    EXPECT_EQ(given[0], nullptr);
}

}  // namespace
