// Critical sections: both storage forms, recursion across threads, the
// result mapping, and what goes to and comes back from Global.memPool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "klor/klor_os.h"
#include "pool_test_support.h"

namespace {

using pool_test::hostLiveBytes;

using CriticalSection = pool_test::PoolTest;

TEST_F(CriticalSection, SizeIsTheMutexStorage) {
    EXPECT_EQ(gSizeofCriticalSection, 40);
    EXPECT_EQ(sizeof(gMemoryCrit), 40u);
}

TEST_F(CriticalSection, NullArgumentsGive37AndAllocateNothing) {
    const uint32_t before = hostLiveBytes();
    EXPECT_EQ(KLOR_OS_CriticalSection_Create(nullptr, false), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_CriticalSection_Create(nullptr, true), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(hostLiveBytes(), before);
    EXPECT_EQ(KLOR_OS_CriticalSection_Enter(nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_CriticalSection_Leave(nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_CriticalSection_Free(nullptr, true), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_CriticalSection_Free(nullptr, false), KLOR_ERR_BAD_ARGUMENT);
}

TEST_F(CriticalSection, MemoryFormIsAlwaysGMemoryCritAndTouchesNoPool) {
    const uint32_t before = hostLiveBytes();
    for (int round = 0; round < 2; ++round) {
        KLOR_OS_CRITICALSECTION* section = nullptr;
        ASSERT_EQ(KLOR_OS_CriticalSection_Create(&section, true), KLOR_OK);
        EXPECT_EQ(static_cast<void*>(section), static_cast<void*>(&gMemoryCrit)) << "round " << round;
        EXPECT_EQ(KLOR_OS_CriticalSection_Enter(section), KLOR_OK);
        EXPECT_EQ(KLOR_OS_CriticalSection_Leave(section), KLOR_OK);
        EXPECT_EQ(KLOR_OS_CriticalSection_Free(section, true), KLOR_OK);
        EXPECT_EQ(hostLiveBytes(), before);
    }
}

TEST_F(CriticalSection, AllocatedFormTakes40BytesAndFreeGivesThemBack) {
    const uint32_t before = hostLiveBytes();
    KLOR_OS_CRITICALSECTION* section = nullptr;
    ASSERT_EQ(KLOR_OS_CriticalSection_Create(&section, false), KLOR_OK);
    ASSERT_NE(section, nullptr);
    EXPECT_NE(static_cast<void*>(section), static_cast<void*>(&gMemoryCrit));
    EXPECT_EQ(hostLiveBytes(), before + 40);
    EXPECT_EQ(KLOR_OS_CriticalSection_Enter(section), KLOR_OK);
    EXPECT_EQ(KLOR_OS_CriticalSection_Leave(section), KLOR_OK);
    EXPECT_EQ(KLOR_OS_CriticalSection_Free(section, false), KLOR_OK);
    EXPECT_EQ(hostLiveBytes(), before);
}

TEST_F(CriticalSection, PoolWithoutMemoryGives44AndOutKeepsItsValue) {
    pool_test::hostFailuresLeft() = 1;
    auto* sentinel = reinterpret_cast<KLOR_OS_CRITICALSECTION*>(0x1234);
    KLOR_OS_CRITICALSECTION* section = sentinel;
    EXPECT_EQ(KLOR_OS_CriticalSection_Create(&section, false), KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(section, sentinel);
    ASSERT_EQ(pool_test::reports().size(), 1u);
    EXPECT_EQ(pool_test::reports()[0].text, "../linux/src/klor_os_misc (468)");
    EXPECT_EQ(pool_test::reports()[0].length, 40);
}

// The owner enters three times; another thread gets in only after the third
// leave.
TEST_F(CriticalSection, RecursiveHolderKeepsOthersOutUntilItsLastLeave) {
    KLOR_OS_CRITICALSECTION* section = nullptr;
    ASSERT_EQ(KLOR_OS_CriticalSection_Create(&section, false), KLOR_OK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(KLOR_OS_CriticalSection_Enter(section), KLOR_OK);

    std::atomic<bool> entered{false};
    std::thread other([&] {
        KLOR_OS_CriticalSection_Enter(section);
        entered = true;
        KLOR_OS_CriticalSection_Leave(section);
    });

    auto stillOutside = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return !entered.load();
    };
    EXPECT_TRUE(stillOutside());
    EXPECT_EQ(KLOR_OS_CriticalSection_Leave(section), KLOR_OK);
    EXPECT_TRUE(stillOutside());
    EXPECT_EQ(KLOR_OS_CriticalSection_Leave(section), KLOR_OK);
    EXPECT_TRUE(stillOutside()) << "one enter is still outstanding";
    EXPECT_EQ(KLOR_OS_CriticalSection_Leave(section), KLOR_OK);
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(KLOR_OS_CriticalSection_Free(section, false), KLOR_OK);
}

// A leave by a thread that does not hold the section is refused with 44 and
// the owner still holds it: its own leave succeeds, and a second leave by
// the owner is then refused too. ThreadSanitizer reports every such unlock
// as an error, so this case runs only in builds without it.
TEST_F(CriticalSection, LeaveByANonOwnerIsRefusedAndChangesNothing) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer treats the refused unlock as an error";
#else
    KLOR_OS_CRITICALSECTION* section = nullptr;
    ASSERT_EQ(KLOR_OS_CriticalSection_Create(&section, false), KLOR_OK);
    ASSERT_EQ(KLOR_OS_CriticalSection_Enter(section), KLOR_OK);
    KLOR_RESULT strangerLeave = KLOR_OK;
    std::thread stranger([&] { strangerLeave = KLOR_OS_CriticalSection_Leave(section); });
    stranger.join();
    EXPECT_EQ(strangerLeave, KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(KLOR_OS_CriticalSection_Leave(section), KLOR_OK) << "the owner still held it";
    EXPECT_EQ(KLOR_OS_CriticalSection_Leave(section), KLOR_ERR_NO_MEMORY) << "and now nobody does";
    EXPECT_EQ(KLOR_OS_CriticalSection_Free(section, false), KLOR_OK);
#endif
}

}  // namespace
