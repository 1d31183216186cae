// The real-time probe that klor-validate preloads: it must count every kind
// of call it wraps on the armed thread, nothing on any other thread and
// nothing while disarmed, and the program must keep working under it.
//
// The probe only works preloaded, so the Probe tests run this same binary
// again under LD_PRELOAD (ProbeChild tests, skipped unless run that way).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "klor_rt_probe.h"

namespace {

constexpr char kChildFlag[] = "KLOR_RT_PROBE_CHILD";

bool inChild() { return std::getenv(kChildFlag) != nullptr; }

struct Probe {
    KlorRtProbeArmFn arm = reinterpret_cast<KlorRtProbeArmFn>(dlsym(RTLD_DEFAULT, KLOR_RT_PROBE_ARM_SYMBOL));
    KlorRtProbeDisarmFn disarm =
        reinterpret_cast<KlorRtProbeDisarmFn>(dlsym(RTLD_DEFAULT, KLOR_RT_PROBE_DISARM_SYMBOL));
};

// Calls of every wrapped kind, through volatile pointers so that none is
// optimised away.
void callEveryKind() {
    void* (*volatile allocate)(size_t) = &std::malloc;
    void (*volatile release)(void*) = &std::free;
    release(allocate(32));
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&mutex);
    pthread_mutex_unlock(&mutex);
    sem_t semaphore;
    sem_init(&semaphore, 0, 1);
    sem_wait(&semaphore);
    sem_destroy(&semaphore);
    usleep(0);
}

TEST(ProbeChild, CountsEachKindOnTheArmedThread) {
    if (!inChild()) GTEST_SKIP() << "runs under the probe only";
    Probe probe;
    ASSERT_NE(probe.arm, nullptr);
    KlorRtProbeCounts counts{};
    probe.arm();
    callEveryKind();
    probe.disarm(&counts);
    EXPECT_GE(counts.allocations, 1u);
    EXPECT_GE(counts.releases, 1u);
    EXPECT_GE(counts.locks, 1u);
    EXPECT_GE(counts.waits, 1u);
    EXPECT_GE(counts.sleeps, 1u);
}

TEST(ProbeChild, IgnoresOtherThreadsAndDisarmedCalls) {
    if (!inChild()) GTEST_SKIP() << "runs under the probe only";
    Probe probe;
    ASSERT_NE(probe.arm, nullptr);
    std::atomic<int> phase{0};
    std::thread other([&] {
        while (phase.load() != 1) std::this_thread::yield();
        for (int i = 0; i < 100; ++i) callEveryKind();
        phase.store(2);
    });
    KlorRtProbeCounts counts{};
    probe.arm();
    phase.store(1);
    while (phase.load() != 2) {
    }
    probe.disarm(&counts);
    other.join();
    EXPECT_EQ(counts.allocations + counts.releases + counts.locks + counts.waits + counts.sleeps, 0u);

    callEveryKind();  // disarmed
    probe.arm();
    probe.disarm(&counts);
    EXPECT_EQ(counts.allocations + counts.releases + counts.locks + counts.waits + counts.sleeps, 0u);
}

TEST(ProbeChild, EveryAllocatorEntryStillWorks) {
    if (!inChild()) GTEST_SKIP() << "runs under the probe only";
    char* grown = static_cast<char*>(std::malloc(16));
    ASSERT_NE(grown, nullptr);
    std::memcpy(grown, "fifteen bytes..", 16);
    grown = static_cast<char*>(std::realloc(grown, 1 << 20));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::memcmp(grown, "fifteen bytes..", 16), 0);
    std::free(grown);

    auto* zeroed = static_cast<unsigned char*>(std::calloc(1000, 3));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(zeroed[i], 0);
    std::free(zeroed);

    void* aligned = nullptr;
    ASSERT_EQ(posix_memalign(&aligned, 256, 100), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 256, 0u);
    std::free(aligned);
    void* page = valloc(10);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % 4096, 0u);
    std::free(page);
    void* big = aligned_alloc(64, 640);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % 64, 0u);
    std::free(big);
    void* old = memalign(32, 33);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(old) % 32, 0u);
    std::free(old);
}

TEST(Probe, PassesItsChecksWhenPreloaded) {
    if (inChild()) GTEST_SKIP() << "the parent runs the child";
    const std::string command = std::string("env ") + kChildFlag + "=1 LD_PRELOAD='" +
                                KLOR_RT_PROBE_PATH + "' '" + KLOR_TEST_BINARY_DIR +
                                "/rt_probe_test' --gtest_filter='ProbeChild.*' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[1024];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 3 tests"), std::string::npos) << output;
}

}  // namespace
