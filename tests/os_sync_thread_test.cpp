// Threads: the entry runs with its argument, the priority table, detaching.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "klor/klor_os.h"
#include "pool_test_support.h"

namespace {

// What a started thread saw. The entry waits for `go` (given once Create has
// returned, so the priority has been applied), records its argument and its
// scheduling, then waits for `release` before it returns.
struct Probe {
    std::mutex mutex;
    std::condition_variable changed;
    bool go = false;
    bool release = false;
    bool ran = false;
    void* argument = nullptr;
    int policy = -1;
    int priority = -1;

    void open(bool Probe::*flag) {
        std::lock_guard<std::mutex> lock(mutex);
        this->*flag = true;
        changed.notify_all();
    }
    bool waitRan() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return ran; });
    }
};

unsigned int probeEntry(void* argument) {
    auto probe = static_cast<Probe*>(argument);
    std::unique_lock<std::mutex> lock(probe->mutex);
    probe->changed.wait(lock, [&] { return probe->go; });
    sched_param parameters;
    pthread_getschedparam(pthread_self(), &probe->policy, &parameters);
    probe->priority = parameters.sched_priority;
    probe->argument = argument;
    probe->ran = true;
    probe->changed.notify_all();
    probe->changed.wait(lock, [&] { return probe->release; });
    return 7;
}

// Starts a probe thread, lets it look at itself, detaches it.
void runProbe(Probe& probe, KLOR_THREAD_PRIORITY priority, const char* name = "probe",
              int stackSize = 0) {
    void* handle = nullptr;
    ASSERT_EQ(KLOR_OS_Thread_Create(name, &probeEntry, &probe, priority, nullptr, stackSize, &handle), KLOR_OK);
    probe.open(&Probe::go);
    ASSERT_TRUE(probe.waitRan());
    pthread_t thread;
    std::memcpy(&thread, &handle, sizeof(thread));
    probe.open(&Probe::release);
    EXPECT_EQ(pthread_join(thread, nullptr), 0);
}

bool realTimeAllowed() {
    static const bool allowed = [] {
        bool ok = false;
        std::thread probe([&] {
            sched_param parameters{};
            parameters.sched_priority = 94;
            ok = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
        });
        probe.join();
        return ok;
    }();
    return allowed;
}

TEST(Thread, EntryRunsWithItsArgumentAndTheHandleIsTheThread) {
    Probe probe;
    runProbe(probe, KLOR_THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(probe.argument, &probe);
}

TEST(Thread, NameAndStackSizeMakeNoDifference) {
    Probe probe;
    runProbe(probe, KLOR_THREAD_PRIORITY_NORMAL, nullptr, 1);
    EXPECT_EQ(probe.argument, &probe);
}

std::atomic<int> gNeverRuns{0};
unsigned int countingEntry(void*) {
    ++gNeverRuns;
    return 0;
}

TEST(Thread, NullHandlePointerGives37AndStartsNothing) {
    EXPECT_EQ(KLOR_OS_Thread_Create("x", &countingEntry, nullptr, KLOR_THREAD_PRIORITY_NORMAL, nullptr, 0,
                                    nullptr),
              KLOR_ERR_BAD_ARGUMENT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(gNeverRuns.load(), 0);
}

TEST(Thread, DestroyDetachesWithoutWaiting) {
    // Nobody joins a detached thread, so its probe must outlive the test.
    static Probe& probe = *new Probe();
    void* handle = nullptr;
    ASSERT_EQ(KLOR_OS_Thread_Create("d", &probeEntry, &probe, KLOR_THREAD_PRIORITY_NORMAL, nullptr, 0, &handle),
              KLOR_OK);
    EXPECT_EQ(KLOR_OS_Thread_Destroy(&handle), KLOR_OK) << "returns while the thread still waits";
    pthread_t thread;
    std::memcpy(&thread, &handle, sizeof(thread));
    EXPECT_EQ(pthread_detach(thread), EINVAL) << "already detached (the thread is still alive)";
    probe.open(&Probe::go);
    ASSERT_TRUE(probe.waitRan());
    probe.open(&Probe::release);
}

TEST(Thread, DestroyOfANullLocationGives37) {
    EXPECT_EQ(KLOR_OS_Thread_Destroy(nullptr), KLOR_ERR_BAD_ARGUMENT);
}

struct PriorityCase {
    int priority;
    int policy;
    int schedulingPriority;
};

class ThreadPriority : public ::testing::TestWithParam<PriorityCase> {};

// Without the right to real-time scheduling the request is refused quietly:
// the thread runs on with what it started with and Create still succeeds.
TEST_P(ThreadPriority, AppliesTheTableOrRunsOnWhenRealTimeIsRefused) {
    const PriorityCase& c = GetParam();
    Probe probe;
    runProbe(probe, static_cast<KLOR_THREAD_PRIORITY>(c.priority));
    if (c.policy == SCHED_FIFO && !realTimeAllowed()) {
        EXPECT_EQ(probe.policy, SCHED_OTHER);
        EXPECT_EQ(probe.priority, 0);
    } else {
        EXPECT_EQ(probe.policy, c.policy);
        EXPECT_EQ(probe.priority, c.schedulingPriority);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ThreadPriority,
                         ::testing::Values(PriorityCase{-2, SCHED_OTHER, 0}, PriorityCase{-1, SCHED_OTHER, 0},
                                           PriorityCase{0, SCHED_OTHER, 0}, PriorityCase{1, SCHED_FIFO, 90},
                                           PriorityCase{2, SCHED_FIFO, 94}, PriorityCase{3, SCHED_FIFO, 99},
                                           PriorityCase{7, SCHED_OTHER, 0}, PriorityCase{-3, SCHED_OTHER, 0}));

// A thread inherits its creator's scheduling; normal and out-of-range
// priorities still bring it back to SCHED_OTHER at 0.
TEST(Thread, NormalPriorityFromARealTimeCreatorIsSchedOther) {
    if (!realTimeAllowed()) GTEST_SKIP() << "this process may not use real-time scheduling";
    for (int priority : {0, 7, -3}) {
        Probe probe;
        std::thread creator([&] {
            sched_param parameters{};
            parameters.sched_priority = 50;
            ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters), 0);
            runProbe(probe, static_cast<KLOR_THREAD_PRIORITY>(priority));
        });
        creator.join();
        EXPECT_EQ(probe.policy, SCHED_OTHER) << "priority " << priority;
        EXPECT_EQ(probe.priority, 0) << "priority " << priority;
    }
}

}  // namespace
