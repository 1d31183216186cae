// The calling thread's ID: the low 32 bits of pthread_self, the same on
// every call from one thread, different for threads alive at the same time.
#include <gtest/gtest.h>
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "klor/klor_os.h"

namespace {

unsigned int currentId() {
    unsigned int id = 0xdeadbeef;
    EXPECT_EQ(KLOR_OS_Thread_GetCurrentID(&id), KLOR_OK);
    return id;
}

TEST(ThreadId, IsTheLowHalfOfTheSystemIdentifierOnEveryCall) {
    const auto expected = static_cast<unsigned int>(static_cast<uint64_t>(pthread_self()) & 0xffffffffu);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(currentId(), expected);
}

TEST(ThreadId, NullIsRefused) { EXPECT_EQ(KLOR_OS_Thread_GetCurrentID(nullptr), KLOR_ERR_BAD_ARGUMENT); }

// Every thread reads its ID twice while all of them are alive (none can end
// and hand its identifier to a newcomer before the others have read).
TEST(ThreadId, DiffersAcrossLiveThreadsAndIsStableWithinOne) {
    constexpr int kThreads = 4;
    std::mutex mutex;
    std::condition_variable allRead;
    int readCount = 0;
    struct Seen {
        unsigned int first = 0;
        unsigned int second = 0;
        unsigned int system = 0;
    };
    std::vector<Seen> seen(kThreads);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            seen[t].first = currentId();
            seen[t].system = static_cast<unsigned int>(static_cast<uint64_t>(pthread_self()) & 0xffffffffu);
            std::unique_lock<std::mutex> lock(mutex);
            ++readCount;
            allRead.notify_all();
            allRead.wait(lock, [&] { return readCount == kThreads; });
            lock.unlock();
            seen[t].second = currentId();
        });
    }
    for (std::thread& thread : threads) thread.join();

    const unsigned int mainId = currentId();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(seen[t].first, seen[t].second) << "thread " << t;
        EXPECT_EQ(seen[t].first, seen[t].system) << "thread " << t;
        EXPECT_NE(seen[t].first, mainId) << "thread " << t;
        for (int u = t + 1; u < kThreads; ++u) EXPECT_NE(seen[t].first, seen[u].first) << t << " and " << u;
    }
}

}  // namespace
