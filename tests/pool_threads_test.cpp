// The pool across threads: thread slots and the overflow slot, tallies that
// follow the header's slot, and several threads hammering one pool in each
// mode with stamped blocks.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "klor/klor_memory.h"
#include "pool_test_support.h"

namespace {

using KLOR::AllocHeader;
using pool_test::headerBefore;

using PoolThreads = pool_test::PoolTest;

// Threads must all be alive at once: a finished thread's ID can come back
// for the next one.
TEST_F(PoolThreads, FirstThirtyOneThreadsOwnSlotsAndTheRestShareSlot32) {
    constexpr int kThreads = 40;
    KLOR::MemPool pool;
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;
    bool release = false;
    std::vector<void*> blocks(kThreads);
    std::vector<unsigned int> ids(kThreads);

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return turn == i; });
            KLOR_OS_Thread_GetCurrentID(&ids[i]);
            blocks[i] = pool.alloc(i + 1, "t.cpp", i, 0, false);
            ++turn;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return turn == kThreads; });
    }

    uint32_t overflowBytes = 0;
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_NE(blocks[i], nullptr);
        const uint32_t slot = headerBefore(blocks[i])->threadSlot;
        if (i < 31) {
            EXPECT_EQ(slot, static_cast<uint32_t>(i + 1)) << "thread " << i;
            EXPECT_EQ(pool.threadIds[i + 1], ids[i]) << "thread " << i;
            EXPECT_EQ(pool.slotBytes[i + 1], static_cast<uint32_t>(i + 1));
        } else {
            EXPECT_EQ(slot, 32u) << "thread " << i;
            overflowBytes += static_cast<uint32_t>(i + 1);
        }
    }
    EXPECT_EQ(pool.slotBytes[32], overflowBytes);
    EXPECT_EQ(pool.slotBytes[0], static_cast<uint32_t>(kThreads * (kThreads + 1) / 2));

    // Released by this thread, charged back to the allocating thread's slot.
    pool.free(blocks[0], "t.cpp", 0, 0);
    EXPECT_EQ(pool.slotBytes[1], 0u);
    EXPECT_EQ(pool.threadIds[1], ids[0]) << "slots are never given back";
    pool.free(blocks[35], "t.cpp", 0, 0);
    EXPECT_EQ(pool.slotBytes[32], overflowBytes - 36);

    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    for (auto& t : threads) t.join();
    for (int i = 1; i < kThreads; ++i) {
        if (i != 35) pool.free(blocks[i], "t.cpp", 0, 0);
    }
    for (int s = 0; s <= 32; ++s) EXPECT_EQ(pool.slotBytes[s], 0u) << "slot " << s;
}

TEST_F(PoolThreads, ResizeMovesTheTallyToTheResizingThreadAndFreeFollowsTheHeader) {
    KLOR::MemPool pool;
    void* p = pool.alloc(100, "t.cpp", 1, 0, false);
    ASSERT_EQ(headerBefore(p)->threadSlot, 1u);
    std::thread other([&] { p = pool.realloc(p, 250, "t.cpp", 2, 0); });
    other.join();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(headerBefore(p)->threadSlot, 2u);
    EXPECT_EQ(pool.slotBytes[1], 0u);
    EXPECT_EQ(pool.slotBytes[2], 250u);
    EXPECT_EQ(pool.slotBytes[0], 250u);
    pool.free(p, "t.cpp", 3, 0);
    EXPECT_EQ(pool.slotBytes[2], 0u);
    EXPECT_EQ(pool.slotBytes[1], 0u);
}

// --- Several threads on one pool ---------------------------------------------

enum class Mode { Callback, Region, Block };

struct Live {
    void* pointer;
    int length;
    uint32_t stamp;
};

constexpr int kHammerBlockSize = 32;

// Where the caller's bytes are: after the header, or the block run.
uint8_t* bytesOf(KLOR::MemPool& pool, void* pointer) {
    if (pool.blockMode == 0) return static_cast<uint8_t*>(pointer);
    auto header = static_cast<AllocHeader*>(pointer);
    return static_cast<uint8_t*>(pool.blockBase) + header->startBlock * pool.blockSize;
}

void stamp(uint8_t* bytes, int length, uint32_t seed) {
    for (int i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed * 31u + static_cast<uint32_t>(i));
}

bool intact(const uint8_t* bytes, int length, uint32_t seed) {
    for (int i = 0; i < length; ++i) {
        if (bytes[i] != static_cast<uint8_t>(seed * 31u + static_cast<uint32_t>(i))) return false;
    }
    return true;
}

// One thread's share of the work; returns the number of damaged blocks seen.
int hammer(KLOR::MemPool& pool, unsigned seed, int operations, int maxLength) {
    std::mt19937 random(seed);
    std::vector<Live> live;
    int damaged = 0;
    uint32_t nextStamp = seed;
    for (int op = 0; op < operations; ++op) {
        const unsigned choice = random() % 10;
        if (live.empty() || choice < 4) {
            const int length = static_cast<int>(random() % static_cast<unsigned>(maxLength));
            void* p = pool.alloc(length, "hammer.cpp", op, 0, false);
            if (p == nullptr) continue;
            const uint32_t s = ++nextStamp;
            stamp(bytesOf(pool, p), length, s);
            live.push_back({p, length, s});
        } else if (choice < 7) {
            Live& item = live[random() % live.size()];
            if (!intact(bytesOf(pool, item.pointer), item.length, item.stamp)) ++damaged;
            const int length = static_cast<int>(random() % static_cast<unsigned>(maxLength));
            void* moved = pool.realloc(item.pointer, length, "hammer.cpp", op, 0);
            if (moved == nullptr) continue;  // the old allocation is still ours
            item.pointer = moved;
            const int kept = length < item.length ? length : item.length;
            // Block mode copies nothing; elsewhere the common prefix survives.
            if (pool.blockMode == 0 && !intact(bytesOf(pool, moved), kept, item.stamp)) ++damaged;
            item.length = length;
            item.stamp = ++nextStamp;
            stamp(bytesOf(pool, moved), length, item.stamp);
        } else {
            const size_t index = random() % live.size();
            Live item = live[index];
            live[index] = live.back();
            live.pop_back();
            if (!intact(bytesOf(pool, item.pointer), item.length, item.stamp)) ++damaged;
            pool.free(item.pointer, "hammer.cpp", op, 0);
        }
    }
    for (const Live& item : live) {
        if (!intact(bytesOf(pool, item.pointer), item.length, item.stamp)) ++damaged;
        pool.free(item.pointer, "hammer.cpp", 0, 0);
    }
    return damaged;
}

class PoolHammer : public pool_test::PoolTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(PoolHammer, CountersReturnToZeroAndEveryPatternSurvives) {
    constexpr int kThreads = 4;
    constexpr int kMemoryBytes = 4 * 1024 * 1024;
    const int operations = pool_test::scaled(3000);
    const unsigned baseSeed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(baseSeed));

    KLOR::MemPool pool;
    void* memory = std::aligned_alloc(256, kMemoryBytes);
    int maxLength = 2000;
    switch (GetParam()) {
        case Mode::Callback: break;
        case Mode::Region:
            ASSERT_EQ(pool.init(memory, kMemoryBytes, 256), KLOR_OK);
            pool.mallocCallback = nullptr;
            pool.reallocCallback = nullptr;
            pool.freeCallback = nullptr;
            break;
        case Mode::Block:
            ASSERT_EQ(pool.initCustom(memory, kMemoryBytes, kHammerBlockSize), KLOR_OK);
            maxLength = 600;
            break;
    }
    // The lock is created by the first operation, which the caller must not
    // run on two threads at once.
    pool.free(pool.alloc(0, "prime.cpp", 1, 0, false), "prime.cpp", 2, 0);
    const uint32_t hostBefore = pool_test::hostLiveBytes();

    std::vector<std::thread> threads;
    std::vector<int> damaged(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { damaged[t] = hammer(pool, baseSeed + t, operations, maxLength); });
    }
    for (auto& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(damaged[t], 0) << "thread " << t;
    for (int s = 0; s <= 32; ++s) EXPECT_EQ(pool.slotBytes[s], 0u) << "slot " << s;
    EXPECT_EQ(pool.sideBytes, 0u);
    EXPECT_EQ(pool.blocksInUse, 0);
    EXPECT_GT(pool.peakBytes, 0u);
    if (GetParam() == Mode::Block) {
        EXPECT_EQ(pool.firstFreeHint, 0);
        EXPECT_EQ(pool.findFreeBlocks(0, pool.blockCount, pool.blockCount), 0) << "every block free";
        EXPECT_EQ(pool_test::hostLiveBytes(), hostBefore) << "every header record went back";
    }
    pool.close();
    std::free(memory);
}

INSTANTIATE_TEST_SUITE_P(Modes, PoolHammer, ::testing::Values(Mode::Callback, Mode::Region, Mode::Block),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                             switch (info.param) {
                                 case Mode::Callback: return std::string("Callback");
                                 case Mode::Region: return std::string("Region");
                                 case Mode::Block: return std::string("Block");
                             }
                             return std::string("Unknown");
                         });

}  // namespace
