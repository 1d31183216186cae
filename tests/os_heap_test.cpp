// The system heap wrappers, debug output and the functions that only return.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "klor/klor_os.h"

#if defined(KLOR_SANITIZER_BUILD)
// An impossible request must come back as null, as it does from the plain
// system heap, instead of stopping the program with a sanitizer report.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

// The size is widened with its sign: every negative size is an impossible
// amount. The memory type plays no part.
TEST(SystemHeap, NegativeSizesGiveNull) {
    for (int size : {-1, -16, INT_MIN}) {
        for (unsigned int type : {0u, 0x00400000u, 0xffffffffu}) {
            EXPECT_EQ(KLOR_OS_Memory_Alloc(size, type), nullptr) << size << " type " << type;
        }
    }
}

TEST(SystemHeap, AllocatesResizesAndFreesWithContentsKept) {
    auto* block = static_cast<unsigned char*>(KLOR_OS_Memory_Alloc(64, 0xffffffffu));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u);
    for (int i = 0; i < 64; ++i) block[i] = static_cast<unsigned char>(i * 7);

    auto* grown = static_cast<unsigned char*>(KLOR_OS_Memory_Realloc(block, 1 << 20, 0));
    ASSERT_NE(grown, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(grown[i], static_cast<unsigned char>(i * 7)) << i;
    std::memset(grown, 0x5a, 1 << 20);

    // A failed resize leaves the block as it was.
    EXPECT_EQ(KLOR_OS_Memory_Realloc(grown, -1, 0), nullptr);
    EXPECT_EQ(grown[(1 << 20) - 1], 0x5a);

    auto* shrunk = static_cast<unsigned char*>(KLOR_OS_Memory_Realloc(grown, 8, 0));
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(shrunk[7], 0x5a);
    KLOR_OS_Memory_Free(shrunk, 0);
}

TEST(SystemHeap, NullBlocksBehaveAsTheSystemDefines) {
    void* fresh = KLOR_OS_Memory_Realloc(nullptr, 32, 0);  // a plain allocation
    ASSERT_NE(fresh, nullptr);
    std::memset(fresh, 1, 32);
    KLOR_OS_Memory_Free(fresh, 0);
    KLOR_OS_Memory_Free(nullptr, 0);  // nothing happens
}

// No usage is tracked, whatever has been allocated.
TEST(OnlyReturn, MemoryUsedIsAlwaysZero) {
    EXPECT_EQ(KLOR_OS_GetMemoryUsed(), 0u);
    void* held = KLOR_OS_Memory_Alloc(1 << 16, 0);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(KLOR_OS_GetMemoryUsed(), 0u);
    KLOR_OS_Memory_Free(held, 0);
}

TEST(OnlyReturn, DriverListLeavesTheFlagAsItWas) {
    for (bool initial : {false, true}) {
        bool flag = initial;
        EXPECT_EQ(KLOR_OS_CheckDriverList(&flag), KLOR_OK);
        EXPECT_EQ(flag, initial);
    }
    EXPECT_EQ(KLOR_OS_CheckDriverList(nullptr), KLOR_OK);  // never read
}

TEST(OnlyReturn, DriveStatusAndCancelReturnOk) {
    EXPECT_EQ(KLOR_OS_File_DriveStatus(), KLOR_OK);
    int anything = 0;
    EXPECT_EQ(KLOR_OS_File_Cancel(&anything), KLOR_OK);
    EXPECT_EQ(KLOR_OS_File_Cancel(nullptr), KLOR_OK);
}

// The text exactly as given: no line end, no prefix.
TEST(DebugOutput, WritesTheTextUnchangedToStandardError) {
    const char* texts[] = {"plain", "two\nlines\n", "\ttabbed, no line end", "", "\xe9\xff"};
    for (const char* text : texts) {
        ::testing::internal::CaptureStderr();
        const KLOR_RESULT result = KLOR_OS_Debug_OutputStr(text);
        const std::string written = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, KLOR_OK);
        EXPECT_EQ(written, text);
    }
}

TEST(DebugOutput, NullTextIsRefusedAndWritesNothing) {
    ::testing::internal::CaptureStderr();
    const KLOR_RESULT result = KLOR_OS_Debug_OutputStr(nullptr);
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(written, "");
}

}  // namespace
