// Seeded randomised model test: mixed malloc, free, realloc, memalign,
// calloc and batch operations over regions of a few sizes. Every block is
// stamped with a pattern derived from its id and verified before it is
// released or resized; the heap checker runs every few hundred operations and
// at the end; a refused request must be one that nothing in the region could
// hold; and releasing everything must leave the first chunk and one top chunk.
//
// KLOR_STRESS_SCALE (default 1) scales the number of operations; the soak
// variant runs only when KLOR_REGION_SOAK names a number of seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "klor/region_alloc.h"
#include "region_checker.h"
#include "region_test_support.h"

namespace {

using namespace region_test;

double stressScale() {
    const char* text = std::getenv("KLOR_STRESS_SCALE");
    const double scale = text ? std::atof(text) : 1.0;
    return scale > 0 ? scale : 1.0;
}

uint64_t padded(uint64_t n) { return n <= 22 ? 32 : (n + 15) & ~uint64_t(7); }

// The alignment a block asked for with alignment a must have at least.
uint64_t expectedAlignment(uint64_t a) {
    if (a <= 8) return 8;
    uint64_t e = 32;
    while (e < a) e <<= 1;
    return e;
}

struct Block {
    uint8_t* p;
    uint64_t size;
    uint32_t id;
};

uint8_t patternByte(uint32_t id, uint64_t i) {
    return static_cast<uint8_t>(id * 131u + (id >> 8) + i * 7u + (i >> 8));
}

class Model {
public:
    Model(uint64_t capacity, uint32_t seed) : memory_(capacity), rng_(seed), seed_(seed) {
        handle_ = memory_.create();
        initialTop_ = state(handle_)->top_size;
    }

    bool ok() const { return !::testing::Test::HasFailure(); }

    void run(uint64_t operations) {
        ASSERT_NE(handle_, nullptr);
        for (uint64_t op = 0; op < operations && ok(); ++op) {
            step();
            if (op % 256 == 255) checkpoint();
        }
        checkpoint();
        releaseEverything();
    }

private:
    uint64_t randomSize() {
        const uint32_t r = rng_() % 1000;
        const uint64_t cap = memory_.capacity();
        if (r < 600) return rng_() % 257;
        if (r < 900) return 256 + rng_() % 3840;
        if (r < 990) return 4096 + rng_() % std::max<uint64_t>(1, std::min<uint64_t>(cap / 8, 65536));
        return rng_() % (cap / 3);
    }

    void stamp(const Block& b) {
        for (uint64_t i = 0; i < b.size; ++i) b.p[i] = patternByte(b.id, i);
    }
    void verify(const Block& b, uint64_t upTo, const char* when) {
        for (uint64_t i = 0; i < std::min(upTo, b.size); ++i) {
            if (b.p[i] != patternByte(b.id, i)) {
                ADD_FAILURE() << "seed " << seed_ << ": block " << b.id << " byte " << i
                              << " damaged (" << when << ")";
                return;
            }
        }
    }

    void add(void* p, uint64_t size) {
        Block b{static_cast<uint8_t*>(p), size, nextId_++};
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u) << "seed " << seed_;
        EXPECT_GE(usableSize(p), size) << "seed " << seed_;
        stamp(b);
        live_.push_back(b);
    }

    // A refused request must be one that no free chunk, victim or top could
    // hold: the search never misses.
    void expectNothingHolds(uint64_t request) {
        if (request >= uint64_t(0) - 128) return;
        const uint64_t nb = padded(request);
        EXPECT_LE(state(handle_)->top_size, nb) << "seed " << seed_ << ": top could hold " << request;
        for (const ChunkView& c : walkChunks(handle_)) {
            if (!c.inUse && c.size >= nb) {
                ADD_FAILURE() << "seed " << seed_ << ": free chunk of " << c.size
                              << " missed for request " << request;
                return;
            }
        }
    }

    void takeOut(size_t index) {
        live_[index] = live_.back();
        live_.pop_back();
    }

    void step() {
        const uint32_t kind = rng_() % 100;
        if (live_.empty() || kind < 34) {
            const uint64_t n = randomSize();
            void* p = KLOR::mspace_malloc(handle_, n);
            if (p) add(p, n); else expectNothingHolds(n);
        } else if (kind < 64) {
            const size_t i = rng_() % live_.size();
            verify(live_[i], live_[i].size, "before free");
            KLOR::mspace_free(handle_, live_[i].p);
            takeOut(i);
        } else if (kind < 80) {
            const size_t i = rng_() % live_.size();
            Block b = live_[i];
            const uint64_t n = rng_() % 4 == 0 ? rng_() % 64 : randomSize();
            verify(b, b.size, "before realloc");
            void* p = KLOR::mspace_realloc(handle_, b.p, n);
            if (p == nullptr) {
                verify(b, b.size, "after a refused realloc");
                return;
            }
            b.p = static_cast<uint8_t*>(p);
            verify(b, n, "after realloc");
            takeOut(i);
            add(p, n);
        } else if (kind < 86) {
            static const uint64_t alignments[] = {0, 8, 16, 24, 32, 48, 64, 100, 256, 4096};
            const uint64_t a = alignments[rng_() % 10];
            const uint64_t n = randomSize() / 4;
            void* p = KLOR::mspace_memalign(handle_, a, n);
            if (p == nullptr) return;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % expectedAlignment(a), 0u)
                << "seed " << seed_ << " alignment " << a;
            add(p, n);
        } else if (kind < 92) {
            const uint64_t count = rng_() % 40;
            const uint64_t each = rng_() % 40;
            auto* p = static_cast<uint8_t*>(KLOR::mspace_calloc(handle_, count, each));
            if (p == nullptr) return;
            for (uint64_t j = 0; j < count * each; ++j) {
                if (p[j] != 0) {
                    ADD_FAILURE() << "seed " << seed_ << ": calloc byte " << j << " not zero";
                    break;
                }
            }
            add(p, count * each);
        } else if (kind < 96) {
            batch();
        } else {
            const uint32_t steps = rng_() % 8;
            for (uint32_t j = 0; j < steps && !live_.empty(); ++j) {
                const size_t i = live_.size() - 1;
                verify(live_[i], live_[i].size, "before free");
                KLOR::mspace_free(handle_, live_[i].p);
                live_.pop_back();
            }
        }
    }

    void batch() {
        const uint64_t n = rng_() % 9;
        const bool callerArray = rng_() % 2 == 0;
        std::vector<void*> given(n + 1, nullptr);
        void** array;
        std::vector<uint64_t> sizes(n + 1);
        if (rng_() % 2 == 0) {
            const uint64_t each = rng_() % 300;
            std::fill(sizes.begin(), sizes.end(), each);
            array = KLOR::mspace_independent_calloc(handle_, n, each, callerArray ? given.data() : nullptr);
            if (array != nullptr && n != 0) {
                for (uint64_t e = 0; e < n; ++e) {
                    const auto* b = static_cast<const uint8_t*>(array[e]);
                    for (uint64_t j = 0; j < each; ++j) {
                        if (b[j] != 0) {
                            ADD_FAILURE() << "seed " << seed_ << ": independent_calloc not zeroed";
                            return;
                        }
                    }
                }
            }
        } else {
            for (auto& s : sizes) s = rng_() % 600;
            std::vector<size_t> asked(sizes.begin(), sizes.end());
            array = KLOR::mspace_independent_comalloc(handle_, n, asked.data(),
                                                      callerArray ? given.data() : nullptr);
        }
        if (array == nullptr) return;
        if (callerArray) {
            EXPECT_EQ(array, given.data()) << "seed " << seed_;
        }
        std::vector<void*> elements(array, array + n);
        if (!callerArray) add(array, n == 0 ? 0 : 8 * n);  // the array is a block of its own
        for (uint64_t e = 0; e < n; ++e) add(elements[e], sizes[e]);
    }

    void checkpoint() {
        const auto problems = checkRegion(handle_);
        ASSERT_TRUE(problems.empty()) << "seed " << seed_ << "\n" << joinProblems(problems);
        for (int k = 0; k < 8 && !live_.empty(); ++k) {
            const Block& b = live_[rng_() % live_.size()];
            verify(b, b.size, "at a checkpoint");
        }
    }

    void releaseEverything() {
        std::shuffle(live_.begin(), live_.end(), rng_);
        for (const Block& b : live_) {
            verify(b, b.size, "at the end");
            KLOR::mspace_free(handle_, b.p);
        }
        live_.clear();
        const auto problems = checkRegion(handle_);
        ASSERT_TRUE(problems.empty()) << "seed " << seed_ << "\n" << joinProblems(problems);
        EXPECT_EQ(walkChunks(handle_).size(), 1u) << "seed " << seed_ << ": chunks left besides the first";
        EXPECT_EQ(state(handle_)->top_size, initialTop_) << "seed " << seed_;
        EXPECT_EQ(state(handle_)->victim_size, 0u) << "seed " << seed_;
        EXPECT_EQ(state(handle_)->small_bin_mask | state(handle_)->tree_bin_mask, 0u) << "seed " << seed_;
    }

    RegionMemory memory_;
    std::mt19937_64 rng_;
    uint32_t seed_;
    void* handle_ = nullptr;
    uint64_t initialTop_ = 0;
    std::vector<Block> live_;
    uint32_t nextId_ = 1;
};

struct ModelCase {
    uint64_t capacity;
    uint64_t operations;
};
void PrintTo(const ModelCase& c, std::ostream* os) { *os << "capacity " << c.capacity; }

class RegionModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(RegionModel, RandomOperationsKeepEveryBlockAndEveryInvariant) {
    const ModelCase c = GetParam();
    const uint64_t operations = static_cast<uint64_t>(c.operations * stressScale());
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", capacity " + std::to_string(c.capacity));
        Model(c.capacity, seed).run(operations);
        if (::testing::Test::HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Regions, RegionModel,
                         ::testing::Values(ModelCase{16 * 1024, 40000},
                                           ModelCase{256 * 1024, 40000},
                                           ModelCase{4 * 1024 * 1024, 40000}));

TEST(RegionModelSoak, ManySeeds) {
    const char* text = std::getenv("KLOR_REGION_SOAK");
    if (text == nullptr) GTEST_SKIP() << "set KLOR_REGION_SOAK=<seeds> to run";
    const uint32_t seeds = static_cast<uint32_t>(std::atoi(text));
    for (uint32_t seed = 100; seed < 100 + seeds; ++seed) {
        for (uint64_t capacity : {uint64_t(8 * 1024), uint64_t(1024 * 1024), uint64_t(16 * 1024 * 1024)}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", capacity " + std::to_string(capacity));
            Model(capacity, seed).run(200000);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
