// Under AddressSanitizer the allocator leaves only handed-out bytes
// addressable: a one-byte overrun of a region block and a use after release
// are reported. In other builds the tests are skipped.
#include <gtest/gtest.h>

#include <cstdint>

#include "klor/region_alloc.h"
#include "region_test_support.h"

namespace {

using namespace region_test;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif
#else
constexpr bool kAsan = false;
#endif

class RegionSanitizer : public RegionTest {
protected:
    void SetUp() override {
        if (!kAsan) GTEST_SKIP() << "not an AddressSanitizer build";
        RegionTest::SetUp();
    }
    static void touch(void* p, uint64_t at) { static_cast<volatile uint8_t*>(p)[at] = 1; }
    static uint8_t peek(const void* p, uint64_t at) { return static_cast<const volatile uint8_t*>(p)[at]; }
};

using RegionSanitizerDeathTest = RegionSanitizer;

TEST_F(RegionSanitizer, EveryRequestedByteOfABlockIsUsable) {
    for (uint64_t n : {1u, 20u, 24u, 100u, 241u, 4000u}) {
        void* p = malloc(n);
        ASSERT_NE(p, nullptr);
        for (uint64_t i = 0; i < n; ++i) touch(p, i);
        void* q = KLOR::mspace_realloc(handle_, p, n + 300);
        ASSERT_NE(q, nullptr);
        for (uint64_t i = 0; i < n + 300; ++i) touch(q, i);
        free(q);
    }
}

// 20 bytes end inside an 8-byte granule; 24 bytes end where the next chunk's
// size word begins; both overruns are caught.
TEST_F(RegionSanitizerDeathTest, AOneByteOverrunIsReported) {
    for (uint64_t n : {20u, 24u, 100u}) {
        void* p = malloc(n);
        malloc(8);
        EXPECT_DEATH(touch(p, n), "AddressSanitizer") << n;
    }
}

TEST_F(RegionSanitizerDeathTest, AnOverrunOfAnAlignedOrBatchBlockIsReported) {
    void* aligned = KLOR::mspace_memalign(handle_, 256, 40);
    EXPECT_DEATH(touch(aligned, 40), "AddressSanitizer");
    size_t sizes[2] = {10, 30};
    void** parts = KLOR::mspace_independent_comalloc(handle_, 2, sizes, nullptr);
    EXPECT_DEATH(touch(parts[0], 10), "AddressSanitizer");
    EXPECT_DEATH(touch(parts, 16), "AddressSanitizer");
}

TEST_F(RegionSanitizerDeathTest, AUseAfterReleaseIsReported) {
    void* p = malloc(100);
    malloc(8);
    free(p);
    EXPECT_DEATH(peek(p, 0), "AddressSanitizer: use-after-poison");
    EXPECT_DEATH(touch(p, 50), "AddressSanitizer: use-after-poison");
}

TEST_F(RegionSanitizerDeathTest, TheOldBlockOfAMovedReallocIsReleased) {
    void* p = malloc(24);
    malloc(8);
    void* q = KLOR::mspace_realloc(handle_, p, 500);
    ASSERT_NE(q, p);
    EXPECT_DEATH(peek(p, 0), "AddressSanitizer");
}

TEST_F(RegionSanitizerDeathTest, AShrunkBlockLosesItsTail) {
    void* p = malloc(300);
    malloc(8);
    ASSERT_EQ(KLOR::mspace_realloc(handle_, p, 40), p);
    touch(p, 39);
    EXPECT_DEATH(touch(p, 40), "AddressSanitizer");
}

}  // namespace
