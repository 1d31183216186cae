// The region allocator as a host meets it: the built module loaded with the
// reference host, every function found by its mangled name, the parameter
// block bound to the host's own Global record, and host-side code walking
// the same region memory through the published layouts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "klor/region_alloc.h"
#include "klor_host.h"

namespace {

using KLOR::region_stats;

struct RegionApi {
    void* (*create)(void*, size_t, int);
    void* (*malloc)(void*, size_t);
    void (*free)(void*, void*);
    void* (*realloc)(void*, void*, size_t);
    void* (*calloc)(void*, size_t, size_t);
    void* (*memalign)(void*, size_t, size_t);
    void** (*independentCalloc)(void*, size_t, size_t, void**);
    void** (*independentComalloc)(void*, size_t, size_t*, void**);
    int (*trim)(void*, size_t);
    size_t (*footprint)(void*);
    size_t (*maxFootprint)(void*);
    region_stats (*mallinfo)(void*);
    int (*mallopt)(int, int);
};

// One module for the whole process, never unloaded: the allocator binds its
// parameter block once, to this host's Global.
klor::host::Plugin* plugin() {
    static klor::host::Plugin* loaded = [] {
        std::string error;
        auto p = klor::host::Plugin::load(KLOR_PLUGIN_PATH, &error);
        if (p) p->publishGlobal();
        return p.release();
    }();
    return loaded;
}

template <class F>
void find(F*& out, const char* name) {
    out = reinterpret_cast<F*>(plugin()->symbol(name));
}

RegionApi api() {
    RegionApi a{};
    find(a.create, "_ZN4KLOR23create_mspace_with_baseEPvmi");
    find(a.malloc, "_ZN4KLOR13mspace_mallocEPvm");
    find(a.free, "_ZN4KLOR11mspace_freeEPvS0_");
    find(a.realloc, "_ZN4KLOR14mspace_reallocEPvS0_m");
    find(a.calloc, "_ZN4KLOR13mspace_callocEPvmm");
    find(a.memalign, "_ZN4KLOR15mspace_memalignEPvmm");
    find(a.independentCalloc, "_ZN4KLOR25mspace_independent_callocEPvmmPS0_");
    find(a.independentComalloc, "_ZN4KLOR27mspace_independent_comallocEPvmPmPS0_");
    find(a.trim, "_ZN4KLOR11mspace_trimEPvm");
    find(a.footprint, "_ZN4KLOR16mspace_footprintEPv");
    find(a.maxFootprint, "_ZN4KLOR20mspace_max_footprintEPv");
    find(a.mallinfo, "_ZN4KLOR15mspace_mallinfoEPv");
    find(a.mallopt, "_ZN4KLOR14mspace_malloptEii");
    return a;
}

// Region memory from the heap, 64-byte aligned.
struct Memory {
    explicit Memory(size_t n) : bytes(static_cast<uint8_t*>(std::aligned_alloc(64, n))), size(n) {}
    ~Memory() { std::free(bytes); }
    uint8_t* bytes;
    size_t size;
};

class RegionModule : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(plugin(), nullptr) << "cannot load " << KLOR_PLUGIN_PATH;
        a = api();
    }
    RegionApi a;
};

TEST_F(RegionModule, EveryRegionFunctionIsExportedUnderItsMangledName) {
    const void* all[] = {reinterpret_cast<void*>(a.create),       reinterpret_cast<void*>(a.malloc),
                         reinterpret_cast<void*>(a.free),         reinterpret_cast<void*>(a.realloc),
                         reinterpret_cast<void*>(a.calloc),       reinterpret_cast<void*>(a.memalign),
                         reinterpret_cast<void*>(a.independentCalloc),
                         reinterpret_cast<void*>(a.independentComalloc),
                         reinterpret_cast<void*>(a.trim),         reinterpret_cast<void*>(a.footprint),
                         reinterpret_cast<void*>(a.maxFootprint), reinterpret_cast<void*>(a.mallinfo),
                         reinterpret_cast<void*>(a.mallopt)};
    for (const void* f : all) EXPECT_NE(f, nullptr);
    // Internal helpers stay hidden.
    EXPECT_EQ(plugin()->symbol("_ZN4KLOR18bind_region_paramsEv"), nullptr);
    EXPECT_EQ(plugin()->symbol("_ZN4KLOR14allocate_batchEPNS_12region_stateEmPKmjPPv"), nullptr);
}

TEST_F(RegionModule, TheFirstCallFillsTheHostsParameterBlock) {
    Memory mem(4096);
    ASSERT_NE(a.create(mem.bytes, 4096, 0), nullptr);
    const KLOR::region_params& p = plugin()->global().allocatorParams;
    EXPECT_EQ(p.magic, 0x58585858u);
    EXPECT_EQ(p.page_size, 4096u);
    EXPECT_EQ(p.granularity, 0x10000u);
    EXPECT_EQ(p.map_threshold, ~uint64_t(0));
    EXPECT_EQ(p.trim_threshold, 0x200000u);
    EXPECT_EQ(p.default_flags, 4u);

    // The setter writes into the host's record, where the host sees it.
    ASSERT_EQ(a.mallopt(-3, 12345), 1);
    EXPECT_EQ(p.map_threshold, 12345u);
    ASSERT_EQ(a.mallopt(-3, -1), 1);
}

// Host-side walk over the module's region, through the published layouts.
// Chunk headers are not handed-out memory: under AddressSanitizer the module
// keeps them poisoned, so the walk is not instrumented.
struct HostWalk {
    uint64_t chunks = 0, freeChunks = 0, bytes = 0;
};

__attribute__((no_sanitize_address)) HostWalk walkAsHost(void* handle) {
    auto* m = static_cast<KLOR::region_state*>(handle);
    HostWalk w;
    auto* c = reinterpret_cast<KLOR::region_chunk*>(reinterpret_cast<uint8_t*>(handle) - 16);
    while (c != m->top) {
        const uint64_t size = c->size_flags & ~uint64_t(KLOR::REGION_FLAG_BITS);
        ++w.chunks;
        w.bytes += size;
        if ((c->size_flags & KLOR::REGION_CHUNK_IN_USE) == 0) ++w.freeChunks;
        c = reinterpret_cast<KLOR::region_chunk*>(reinterpret_cast<uint8_t*>(c) + size);
    }
    return w;
}

TEST_F(RegionModule, HostAndModuleReadTheSameRegion) {
    Memory mem(64 * 1024);
    void* h = a.create(mem.bytes, mem.size, 0);
    ASSERT_EQ(h, mem.bytes + 16);
    region_stats s = a.mallinfo(h);
    EXPECT_EQ(s.covered_bytes, 64u * 1024);
    EXPECT_EQ(s.used_bytes, 912u);
    EXPECT_EQ(s.top_bytes, 64u * 1024 - 984);

    std::vector<void*> blocks;
    for (int i = 0; i < 30; ++i) blocks.push_back(a.malloc(h, 16 + 50 * i));
    for (size_t i = 0; i < blocks.size(); i += 3) a.free(h, blocks[i]);
    s = a.mallinfo(h);
    const HostWalk w = walkAsHost(h);
    EXPECT_EQ(w.chunks, 31u);
    EXPECT_EQ(w.freeChunks, 10u);
    EXPECT_EQ(s.free_chunks, w.freeChunks + 1);
    EXPECT_EQ(s.covered_bytes, w.bytes + static_cast<KLOR::region_state*>(h)->top_size + 72);
    EXPECT_EQ(a.footprint(h), 64u * 1024);
    EXPECT_EQ(a.maxFootprint(h), 64u * 1024);
    EXPECT_EQ(a.trim(h, 0), 0);
    EXPECT_EQ(static_cast<KLOR::region_state*>(h)->trim_limit, ~uint64_t(0));
}

TEST_F(RegionModule, ResizeAlignAndBatchThroughTheModule) {
    Memory mem(64 * 1024);
    void* h = a.create(mem.bytes, mem.size, 0);
    auto* p = static_cast<uint8_t*>(a.malloc(h, 100));
    for (int i = 0; i < 100; ++i) p[i] = static_cast<uint8_t>(i);
    a.malloc(h, 8);
    auto* q = static_cast<uint8_t*>(a.realloc(h, p, 2000));
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(q[i], i);

    void* aligned = a.memalign(h, 256, 300);
    ASSERT_NE(aligned, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 256, 0u);

    auto* z = static_cast<uint8_t*>(a.calloc(h, 10, 10));
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(z[i], 0);

    size_t sizes[3] = {10, 100, 1000};
    void** parts = a.independentComalloc(h, 3, sizes, nullptr);
    ASSERT_NE(parts, nullptr);
    void** zeroed = a.independentCalloc(h, 5, 40, nullptr);
    ASSERT_NE(zeroed, nullptr);
    for (void* part : {parts[0], parts[1], parts[2], static_cast<void*>(parts)}) a.free(h, part);
    for (int i = 0; i < 5; ++i) a.free(h, zeroed[i]);
    a.free(h, zeroed);
    a.free(h, q);
    a.free(h, aligned);
    a.free(h, z);
    EXPECT_EQ(walkAsHost(h).freeChunks + 1, a.mallinfo(h).free_chunks);
}

}  // namespace
