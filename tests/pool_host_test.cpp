// The pool as a host meets it: the built module loaded with the reference
// host, whose Global.memPool is a real pool made by the module's own
// constructor. Everything is reached through exported symbols.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "klor_host.h"

namespace {

using klor::host::Plugin;

typedef void* (*AllocFn)(int, const char*, int);
typedef void* (*ReallocFn)(void*, int, const char*, int);
typedef void (*FreeFn)(void*, const char*, int);
typedef char* (*StrdupFn)(const char*);
typedef KLOR_RESULT (*CritCreateFn)(KLOR_OS_CRITICALSECTION**, bool);
typedef KLOR_RESULT (*CritFreeFn)(KLOR_OS_CRITICALSECTION*, bool);
typedef KLOR_RESULT (*SemCreateFn)(KLOR_OS_SEMAPHORE**);
typedef KLOR_RESULT (*SemFreeFn)(KLOR_OS_SEMAPHORE*);
typedef KLOR_RESULT (*SemWaitFn)(KLOR_OS_SEMAPHORE*);
typedef KLOR_RESULT (*SemSignalFn)(KLOR_OS_SEMAPHORE*, bool);
typedef KLOR_RESULT (*ThreadCreateFn)(const char*, unsigned int (*)(void*), void*, KLOR_THREAD_PRIORITY, void*,
                                      int, void**);
typedef KLOR_RESULT (*ThreadDestroyFn)(void*);

struct Report {
    std::string text;
    int64_t length;
};
std::vector<Report> gReports;
void recordReport(int, int, const char* text, int64_t length) { gReports.push_back({text, length}); }

// One module for the whole binary: the region allocator binds its parameter
// block to the first Global it meets for as long as the module is loaded.
class HostPool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        plugin = Plugin::load(KLOR_PLUGIN_PATH, &error).release();
        ASSERT_NE(plugin, nullptr) << error;
        ASSERT_NE(plugin->pool(), nullptr);
        ASSERT_TRUE(plugin->publishGlobal());
    }
    static void TearDownTestSuite() {
        delete plugin;
        plugin = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(plugin, nullptr);
        gReports.clear();
        plugin->global().errorCallback = &recordReport;
        allocC = fn<AllocFn>("KLOR_Memory_allocC");
        callocC = fn<AllocFn>("KLOR_Memory_callocC");
        reallocC = fn<ReallocFn>("KLOR_Memory_reallocC");
        freeC = fn<FreeFn>("KLOR_Memory_freeC");
    }
    void TearDown() override { plugin->global().errorCallback = nullptr; }

    template <typename T>
    T fn(const char* name) {
        void* address = plugin->symbol(name);
        EXPECT_NE(address, nullptr) << name;
        return reinterpret_cast<T>(address);
    }
    KLOR::MemPool& pool() { return *plugin->pool(); }

    static Plugin* plugin;
    AllocFn allocC = nullptr;
    AllocFn callocC = nullptr;
    ReallocFn reallocC = nullptr;
    FreeFn freeC = nullptr;
};
Plugin* HostPool::plugin = nullptr;

TEST_F(HostPool, ThePoolStartsInCallbackModeOnTheModulesDefaults) {
    EXPECT_EQ(plugin->global().memPool, plugin->pool());
    EXPECT_EQ(pool().blockMode, 0);
    EXPECT_EQ(reinterpret_cast<void*>(pool().mallocCallback), plugin->symbol("_ZN4KLOR20Memory_DefaultMallocEjj"));
    EXPECT_EQ(reinterpret_cast<void*>(pool().reallocCallback),
              plugin->symbol("_ZN4KLOR21Memory_DefaultReallocEPvjj"));
    EXPECT_EQ(reinterpret_cast<void*>(pool().freeCallback), plugin->symbol("_ZN4KLOR18Memory_DefaultFreeEPvj"));
}

TEST_F(HostPool, EntryPointsAllocateFromGlobalMemPoolWithHeaders) {
    const uint32_t before = pool().slotBytes[0];
    auto p = static_cast<uint8_t*>(allocC(100, "host.cpp", 1));
    auto z = static_cast<uint8_t*>(callocC(64, "host.cpp", 2));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(z[i], 0);
    const auto* header = reinterpret_cast<const KLOR::AllocHeader*>(p) - 1;
    EXPECT_EQ(header->size, 100u);
    EXPECT_GE(header->threadSlot, 1u);
    EXPECT_EQ(pool().slotBytes[0], before + 164);
    EXPECT_EQ(static_cast<void*>(pool().crit), plugin->symbol("gMemoryCrit"));

    auto q = static_cast<uint8_t*>(reallocC(p, 1000, "host.cpp", 3));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(pool().slotBytes[0], before + 1064);
    freeC(q, "host.cpp", 4);
    freeC(z, "host.cpp", 5);
    EXPECT_EQ(pool().slotBytes[0], before);
}

void* refuse(unsigned int, unsigned int) { return nullptr; }

TEST_F(HostPool, FailureReachesTheHostsErrorCallback) {
    auto strdupFn = fn<StrdupFn>("KLOR_strdup");
    char* copy = strdupFn("amp");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "amp");
    freeC(copy, "host.cpp", 1);

    const auto saved = pool().mallocCallback;
    pool().mallocCallback = &refuse;
    EXPECT_EQ(strdupFn("abc"), nullptr);
    EXPECT_EQ(allocC(500, "host.cpp", 77), nullptr);
    pool().mallocCallback = saved;
    ASSERT_EQ(gReports.size(), 2u);
    EXPECT_EQ(gReports[0].text, "../src/klor_string (242)");
    EXPECT_EQ(gReports[0].length, 4);
    EXPECT_EQ(gReports[1].text, "host.cpp (77)");
    EXPECT_EQ(gReports[1].length, 500);
}

TEST_F(HostPool, LocksAndSemaphoresTakeTheirStorageFromThePool) {
    const uint32_t before = pool().slotBytes[0];
    KLOR_OS_CRITICALSECTION* section = nullptr;
    ASSERT_EQ(fn<CritCreateFn>("KLOR_OS_CriticalSection_Create")(&section, false), KLOR_OK);
    EXPECT_EQ(pool().slotBytes[0], before + 40);
    KLOR_OS_SEMAPHORE* semaphore = nullptr;
    ASSERT_EQ(fn<SemCreateFn>("KLOR_OS_Semaphore_Create")(&semaphore), KLOR_OK);
    EXPECT_EQ(pool().slotBytes[0], before + 72);
    EXPECT_EQ(fn<SemSignalFn>("KLOR_OS_Semaphore_Signal")(semaphore, false), KLOR_OK);
    EXPECT_EQ(fn<SemWaitFn>("KLOR_OS_Semaphore_Wait")(semaphore), KLOR_OK);
    EXPECT_EQ(fn<SemFreeFn>("KLOR_OS_Semaphore_Free")(semaphore), KLOR_OK);
    EXPECT_EQ(fn<CritFreeFn>("KLOR_OS_CriticalSection_Free")(section, false), KLOR_OK);
    EXPECT_EQ(pool().slotBytes[0], before);
}

std::atomic<void*> gThreadArgument{nullptr};
unsigned int recordArgument(void* argument) {
    gThreadArgument = argument;
    return 0;
}

TEST_F(HostPool, ThreadsRunTheirEntryWithTheArgument) {
    int marker = 0;
    void* handle = nullptr;
    ASSERT_EQ(fn<ThreadCreateFn>("KLOR_OS_Thread_Create")("t", &recordArgument, &marker,
                                                           KLOR_THREAD_PRIORITY_NORMAL, nullptr, 0, &handle),
              KLOR_OK);
    ASSERT_EQ(fn<ThreadDestroyFn>("KLOR_OS_Thread_Destroy")(&handle), KLOR_OK);
    for (int i = 0; i < 2000 && gThreadArgument.load() == nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(gThreadArgument.load(), &marker);
}

// Region mode as a host lays it: init, then the callbacks cleared.
class HostRegion : public HostPool {
protected:
    static constexpr int kBytes = 1 << 20;
    void SetUp() override {
        HostPool::SetUp();
        memory = static_cast<uint8_t*>(std::aligned_alloc(256, kBytes));
        ASSERT_EQ(plugin->useRegion(memory, kBytes), KLOR_OK);
    }
    void TearDown() override {
        EXPECT_EQ(plugin->useHeap(), KLOR_OK);
        EXPECT_NE(pool().mallocCallback, nullptr);
        std::free(memory);
        HostPool::TearDown();
    }
    bool inRegion(const void* p) const {
        auto byte = static_cast<const uint8_t*>(p);
        return byte >= memory && byte < memory + kBytes;
    }
    uint8_t* memory = nullptr;
};

TEST_F(HostRegion, AllocationsComeFromTheRegionAndTheParametersGetFilled) {
    EXPECT_EQ(pool().mallocCallback, nullptr);
    void* p = allocC(300, "host.cpp", 1);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(inRegion(p));
    EXPECT_EQ(plugin->global().allocatorParams.page_size, 4096u);
    EXPECT_EQ(pool().slotBytes[0], 300u);
    void* q = reallocC(p, 5000, "host.cpp", 2);
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(inRegion(q));
    EXPECT_EQ(reallocC(q, kBytes, "big.cpp", 3), nullptr);
    ASSERT_EQ(gReports.size(), 1u);
    EXPECT_EQ(gReports[0].text, "big.cpp (3)");
    EXPECT_EQ(pool().slotBytes[0], 5000u) << "the failed resize left the allocation counted";
    freeC(q, "host.cpp", 4);
    EXPECT_EQ(pool().slotBytes[0], 0u);
}

TEST_F(HostRegion, ThreadsShareTheRegionAndEveryPatternSurvives) {
    constexpr int kThreads = 4;
    const char* scaleText = std::getenv("KLOR_STRESS_SCALE");
    const double scale = scaleText ? std::atof(scaleText) : 1.0;
    const int operations = std::max(1, static_cast<int>(2000 * (scale > 0 ? scale : 1.0)));
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));

    std::atomic<int> damaged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(seed + t);
            struct Live {
                uint8_t* p;
                int length;
                uint8_t stamp;
            };
            std::vector<Live> live;
            auto check = [&](const Live& item) {
                for (int i = 0; i < item.length; ++i) {
                    if (item.p[i] != static_cast<uint8_t>(item.stamp + i)) return ++damaged, void();
                }
            };
            for (int op = 0; op < operations; ++op) {
                const unsigned choice = random() % 10;
                const int length = static_cast<int>(random() % 3000);
                if (live.empty() || choice < 4) {
                    auto p = static_cast<uint8_t*>(allocC(length, "hammer.cpp", op));
                    if (p == nullptr) continue;
                    Live item{p, length, static_cast<uint8_t>(random())};
                    for (int i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(item.stamp + i);
                    live.push_back(item);
                } else if (choice < 7) {
                    Live& item = live[random() % live.size()];
                    check(item);
                    auto moved = static_cast<uint8_t*>(reallocC(item.p, length, "hammer.cpp", op));
                    if (moved == nullptr) continue;
                    item.p = moved;
                    item.length = std::min(item.length, length);
                    check(item);
                    for (int i = 0; i < length; ++i) moved[i] = static_cast<uint8_t>(item.stamp + i);
                    item.length = length;
                } else {
                    const size_t index = random() % live.size();
                    check(live[index]);
                    freeC(live[index].p, "hammer.cpp", op);
                    live[index] = live.back();
                    live.pop_back();
                }
            }
            for (const Live& item : live) {
                check(item);
                freeC(item.p, "hammer.cpp", 0);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(damaged.load(), 0);
    for (int s = 0; s <= 32; ++s) EXPECT_EQ(pool().slotBytes[s], 0u) << "slot " << s;
}

}  // namespace
