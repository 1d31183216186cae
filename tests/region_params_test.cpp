// Binding the parameter block. The binding happens once per process, so each
// case runs in a child process of its own (gtest's death-test machinery,
// expecting a clean exit) in which nothing has been bound yet; the parent
// process of this binary never binds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "klor/klor_global.h"
#include "klor/region_alloc.h"
#include "region_internal.h"

namespace {

using KLOR::region_params;

// A host's Global record in the child, with its parameter block as given.
KLOR::Global* publishHostGlobal(const region_params& block) {
    auto* g = new KLOR::Global;
    std::memset(g, 0, sizeof *g);
    g->allocatorParams = block;
    KLOR::gGlobal = g;
    return g;
}

// Child-side check: prints what differs and exits non-zero on a mismatch.
void expectBlock(const region_params& got, const region_params& want) {
    bool same = std::memcmp(&got, &want, sizeof got) == 0;
    if (!same) {
        std::fprintf(stderr,
                     "block: magic %llx page %llx gran %llx map %llx trim %llx flags %x untouched %x\n",
                     (unsigned long long)got.magic, (unsigned long long)got.page_size,
                     (unsigned long long)got.granularity, (unsigned long long)got.map_threshold,
                     (unsigned long long)got.trim_threshold, got.default_flags, got.untouched);
        std::exit(1);
    }
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "failed: %s\n", what);
        std::exit(2);
    }
}

region_params defaults(uint64_t magic, uint32_t untouched) {
    region_params p;
    p.magic = magic;
    p.page_size = 4096;
    p.granularity = 0x10000;
    p.map_threshold = ~uint64_t(0);
    p.trim_threshold = 0x200000;
    p.default_flags = 4;
    p.untouched = untouched;
    return p;
}

TEST(RegionParamsBinding, AFilledBlockIsBoundAndNothingInItIsWritten) {
    EXPECT_EXIT(
        {
            require(KLOR::bound_region_params() == nullptr, "unbound at start");
            region_params host{};
            host.magic = 0x1234;
            host.page_size = 8192;
            host.granularity = 7;
            host.map_threshold = 9;
            host.trim_threshold = 11;
            host.default_flags = 3;
            host.untouched = 0xDEADBEEF;
            KLOR::Global* g = publishHostGlobal(host);
            std::vector<uint64_t> memory(4096 / 8);
            void* h = KLOR::create_mspace_with_base(memory.data(), 4096, 0);
            require(h != nullptr, "created");
            require(KLOR::bound_region_params() == &g->allocatorParams, "bound to the host's block");
            expectBlock(g->allocatorParams, host);
            auto* m = static_cast<KLOR::region_state*>(h);
            require(m->magic == 0x1234, "magic copied");
            require(m->trim_limit == 11, "trim threshold used");
            require(m->flags == 7, "default flags used");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RegionParamsBinding, AnAllZeroBlockGetsAllSixDefaults) {
    EXPECT_EXIT(
        {
            KLOR::Global* g = publishHostGlobal(region_params{});
            require(KLOR::mspace_mallopt(0, 0) == 0, "unknown parameter refused");
            expectBlock(g->allocatorParams, defaults(0x58585858, 0));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RegionParamsBinding, AZeroPageSizeWithAMagicKeepsTheMagicAndTheUntouchedWord) {
    EXPECT_EXIT(
        {
            region_params host{};
            host.magic = 0x77;
            host.untouched = 0xCAFEBABE;
            KLOR::Global* g = publishHostGlobal(host);
            std::vector<uint64_t> memory(4096 / 8);
            require(KLOR::create_mspace_with_base(memory.data(), 4096, 0) != nullptr, "created");
            expectBlock(g->allocatorParams, defaults(0x77, 0xCAFEBABE));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RegionParamsBinding, BindsOnceToTheFirstGlobalAndNeverAgain) {
    EXPECT_EXIT(
        {
            KLOR::Global* first = publishHostGlobal(region_params{});
            KLOR::mspace_mallopt(-1, 5000);
            KLOR::Global* second = publishHostGlobal(region_params{});
            std::vector<uint64_t> memory(4096 / 8);
            void* h = KLOR::create_mspace_with_base(memory.data(), 4096, 0);
            require(KLOR::bound_region_params() == &first->allocatorParams, "still the first");
            require(second->allocatorParams.page_size == 0, "second block untouched");
            require(static_cast<KLOR::region_state*>(h)->trim_limit == 5000, "first block's values");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RegionParamsBinding, QueriesAndNullReleasesDoNotBind) {
    EXPECT_EXIT(
        {
            std::vector<uint64_t> record(904 / 8, 0);
            record[848 / 8] = 4096;
            record[856 / 8] = 8192;
            // gGlobal is still null: none of these may reach for it.
            require(KLOR::mspace_footprint(record.data()) == 4096, "footprint");
            require(KLOR::mspace_max_footprint(record.data()) == 8192, "max footprint");
            KLOR::mspace_free(record.data(), nullptr);
            require(KLOR::bound_region_params() == nullptr, "still unbound");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RegionParamsBinding, EveryOtherOperationBindsBeforeTouchingTheRegion) {
    using Operation = void (*)(void* h);
    const Operation operations[] = {
        [](void* h) { KLOR::mspace_malloc(h, 10); },
        [](void* h) { KLOR::mspace_free(h, reinterpret_cast<void*>(64)); },
        [](void* h) { KLOR::mspace_realloc(h, reinterpret_cast<void*>(64), 10); },
        [](void* h) { KLOR::mspace_calloc(h, 1, 10); },
        [](void* h) { KLOR::mspace_memalign(h, 64, 10); },
        [](void* h) { KLOR::mspace_trim(h, 0); },
        [](void* h) { KLOR::mspace_mallinfo(h); },
        [](void* h) {
            size_t sizes[1] = {10};
            KLOR::mspace_independent_comalloc(h, 1, sizes, nullptr);
        },
        [](void* h) { KLOR::mspace_independent_calloc(h, 1, 10, nullptr); },
    };
    for (const Operation op : operations) {
        EXPECT_EXIT(
            {
                // A record whose lowest_address lies above every pointer used
                // here: operations that get past binding touch nothing else.
                std::vector<uint64_t> record(904 / 8, 0);
                record[24 / 8] = ~uint64_t(0);
                KLOR::Global* g = publishHostGlobal(region_params{});
                op(record.data());
                require(KLOR::bound_region_params() == &g->allocatorParams, "bound");
                require(g->allocatorParams.page_size == 4096, "filled");
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
