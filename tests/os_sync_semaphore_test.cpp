// Semaphores: pool storage, counting, null handling.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "klor/klor_os.h"
#include "pool_test_support.h"

namespace {

using pool_test::hostLiveBytes;

using Semaphore = pool_test::PoolTest;

TEST_F(Semaphore, SizeIsTheSystemSemaphore) { EXPECT_EQ(gSizeofSemaphore, 32); }

TEST_F(Semaphore, CreateTakes32BytesAndFreeGivesThemBack) {
    const uint32_t before = hostLiveBytes();
    KLOR_OS_SEMAPHORE* semaphore = nullptr;
    ASSERT_EQ(KLOR_OS_Semaphore_Create(&semaphore), KLOR_OK);
    ASSERT_NE(semaphore, nullptr);
    EXPECT_EQ(hostLiveBytes(), before + 32);
    EXPECT_EQ(KLOR_OS_Semaphore_Free(semaphore), KLOR_OK);
    EXPECT_EQ(hostLiveBytes(), before);
}

TEST_F(Semaphore, NullArgumentsGive37) {
    const uint32_t before = hostLiveBytes();
    EXPECT_EQ(KLOR_OS_Semaphore_Create(nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(hostLiveBytes(), before);
    EXPECT_EQ(KLOR_OS_Semaphore_Wait(nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_Semaphore_Signal(nullptr, false), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_Semaphore_Signal(nullptr, true), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_Semaphore_Free(nullptr), KLOR_ERR_BAD_ARGUMENT);
}

TEST_F(Semaphore, PoolWithoutMemoryGives44AndOutKeepsItsValue) {
    pool_test::hostFailuresLeft() = 1;
    auto* sentinel = reinterpret_cast<KLOR_OS_SEMAPHORE*>(0x1234);
    KLOR_OS_SEMAPHORE* semaphore = sentinel;
    EXPECT_EQ(KLOR_OS_Semaphore_Create(&semaphore), KLOR_ERR_NO_MEMORY);
    EXPECT_EQ(semaphore, sentinel);
    ASSERT_EQ(pool_test::reports().size(), 1u);
    EXPECT_EQ(pool_test::reports()[0].text, "../linux/src/klor_os_misc (661)");
    EXPECT_EQ(pool_test::reports()[0].length, 32);
}

// Two signals (flag true and false alike) let two waits through; the third
// wait lasts until the next signal.
TEST_F(Semaphore, CountsSignalsAndBlocksAWaitWithNoCountLeft) {
    KLOR_OS_SEMAPHORE* semaphore = nullptr;
    ASSERT_EQ(KLOR_OS_Semaphore_Create(&semaphore), KLOR_OK);
    EXPECT_EQ(KLOR_OS_Semaphore_Signal(semaphore, true), KLOR_OK);
    EXPECT_EQ(KLOR_OS_Semaphore_Signal(semaphore, false), KLOR_OK);
    EXPECT_EQ(KLOR_OS_Semaphore_Wait(semaphore), KLOR_OK);
    EXPECT_EQ(KLOR_OS_Semaphore_Wait(semaphore), KLOR_OK);

    std::atomic<bool> through{false};
    std::thread waiter([&] {
        KLOR_OS_Semaphore_Wait(semaphore);
        through = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(through.load());
    EXPECT_EQ(KLOR_OS_Semaphore_Signal(semaphore, false), KLOR_OK);
    waiter.join();
    EXPECT_TRUE(through.load());
    EXPECT_EQ(KLOR_OS_Semaphore_Free(semaphore), KLOR_OK);
}

TEST_F(Semaphore, ManyWaitersEachTakeOneSignal) {
    constexpr int kWaiters = 6;
    KLOR_OS_SEMAPHORE* semaphore = nullptr;
    ASSERT_EQ(KLOR_OS_Semaphore_Create(&semaphore), KLOR_OK);
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            KLOR_OS_Semaphore_Wait(semaphore);
            ++through;
        });
    }
    for (int i = 0; i < kWaiters; ++i) KLOR_OS_Semaphore_Signal(semaphore, false);
    for (auto& w : waiters) w.join();
    EXPECT_EQ(through.load(), kWaiters);
    EXPECT_EQ(KLOR_OS_Semaphore_Free(semaphore), KLOR_OK);
}

}  // namespace
