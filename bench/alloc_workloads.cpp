// Workloads of alloc_workloads.h.
#include "alloc_workloads.h"

#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

namespace klorbench {
namespace {

constexpr uint32_t kMinChurnSize = 8;
constexpr uint32_t kMaxChurnSize = 512;

inline void stamp(const Allocator& allocator, void* block, uint64_t value) {
    void* bytes = allocator.memory != nullptr ? allocator.memory(block) : block;
    std::memcpy(bytes, &value, sizeof value);
}

}  // namespace

ChurnPlan makeChurnPlan(size_t live, size_t steps, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> size(kMinChurnSize, kMaxChurnSize);
    std::uniform_int_distribution<uint32_t> slot(0, static_cast<uint32_t>(live - 1));
    ChurnPlan plan;
    plan.initialSizes.resize(live);
    for (uint32_t& s : plan.initialSizes) {
        s = size(rng);
    }
    plan.slots.resize(steps);
    plan.sizes.resize(steps);
    for (size_t i = 0; i < steps; ++i) {
        plan.slots[i] = slot(rng);
        plan.sizes[i] = size(rng);
    }
    return plan;
}

Churn::Churn(const Allocator& allocator, const ChurnPlan& plan)
    : allocator_(allocator), plan_(plan), blocks_(plan.initialSizes.size(), nullptr),
      sizes_(plan.initialSizes) {}

bool Churn::fill() {
    for (size_t i = 0; i < blocks_.size(); ++i) {
        blocks_[i] = allocator_.allocate(sizes_[i]);
        if (blocks_[i] == nullptr) {
            return false;
        }
        stamp(allocator_, blocks_[i], i);
    }
    return true;
}

bool Churn::run(size_t count) {
    const size_t planSteps = plan_.slots.size();
    for (size_t done = 0; done < count; ++done) {
        const uint32_t slot = plan_.slots[next_];
        const uint32_t size = plan_.sizes[next_];
        next_ = next_ + 1 == planSteps ? 0 : next_ + 1;
        allocator_.release(blocks_[slot], sizes_[slot]);
        void* block = allocator_.allocate(size);
        blocks_[slot] = block;
        sizes_[slot] = size;
        if (block == nullptr) {
            return false;
        }
        stamp(allocator_, block, slot);
    }
    return true;
}

bool Churn::runTimed(size_t count, uint32_t* durations) {
    const size_t planSteps = plan_.slots.size();
    for (size_t done = 0; done < count; ++done) {
        const uint32_t slot = plan_.slots[next_];
        const uint32_t size = plan_.sizes[next_];
        next_ = next_ + 1 == planSteps ? 0 : next_ + 1;
        // The fences keep the step's loads and stores between the two reads.
        _mm_lfence();
        const uint64_t start = __rdtsc();
        _mm_lfence();
        allocator_.release(blocks_[slot], sizes_[slot]);
        void* block = allocator_.allocate(size);
        _mm_lfence();
        const uint64_t end = __rdtsc();
        durations[done] = static_cast<uint32_t>(std::min<uint64_t>(end - start, UINT32_MAX));
        blocks_[slot] = block;
        sizes_[slot] = size;
        if (block == nullptr) {
            return false;
        }
        stamp(allocator_, block, slot);
    }
    return true;
}

void Churn::drain() {
    for (size_t i = 0; i < blocks_.size(); ++i) {
        if (blocks_[i] != nullptr) {
            allocator_.release(blocks_[i], sizes_[i]);
            blocks_[i] = nullptr;
        }
    }
}

bool lifoRound(const Allocator& allocator, void** blocks, size_t live, size_t size) {
    for (size_t i = 0; i < live; ++i) {
        blocks[i] = allocator.allocate(size);
        if (blocks[i] == nullptr) {
            for (size_t j = i; j > 0; --j) {
                allocator.release(blocks[j - 1], size);
            }
            return false;
        }
        stamp(allocator, blocks[i], i);
    }
    for (size_t i = live; i > 0; --i) {
        allocator.release(blocks[i - 1], size);
    }
    return true;
}

size_t reallocGrowthRound(const Allocator& allocator) {
    constexpr size_t kBuffers = 16;
    constexpr size_t kFirst = 16;
    constexpr size_t kStep = 48;
    constexpr size_t kLast = 8192;
    void* buffers[kBuffers];
    size_t sizes[kBuffers];
    size_t resizes = 0;
    bool ok = true;
    for (size_t b = 0; b < kBuffers; ++b) {
        buffers[b] = allocator.allocate(kFirst);
        sizes[b] = kFirst;
        ok = ok && buffers[b] != nullptr;
        if (buffers[b] != nullptr) {
            stamp(allocator, buffers[b], b);
        }
    }
    while (ok && sizes[0] + kStep <= kLast) {
        for (size_t b = 0; b < kBuffers && ok; ++b) {
            void* grown = allocator.resize(buffers[b], sizes[b], sizes[b] + kStep);
            if (grown == nullptr) {
                ok = false;
                break;
            }
            buffers[b] = grown;
            sizes[b] += kStep;
            ++resizes;
        }
    }
    for (size_t b = 0; b < kBuffers; ++b) {
        if (buffers[b] != nullptr) {
            allocator.release(buffers[b], sizes[b]);
        }
    }
    return ok ? resizes : 0;
}

TailFigures tailFigures(std::vector<uint32_t>& durations) {
    auto at = [&durations](double fraction) {
        const size_t last = durations.size() - 1;
        const size_t index = std::min(
            last, static_cast<size_t>(fraction * static_cast<double>(durations.size())));
        std::nth_element(durations.begin(), durations.begin() + static_cast<std::ptrdiff_t>(index),
                         durations.end());
        return static_cast<double>(durations[index]);
    };
    TailFigures figures;
    figures.p50 = at(0.5);
    figures.p999 = at(0.999);
    figures.p9999 = at(0.9999);
    figures.max = static_cast<double>(*std::max_element(durations.begin(), durations.end()));
    return figures;
}

double tscTicksPerNanosecond() {
    static const double ratio = [] {
        const auto start = std::chrono::steady_clock::now();
        const uint64_t ticks = __rdtsc();
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(50)) {
        }
        const uint64_t elapsedTicks = __rdtsc() - ticks;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const double ns = std::chrono::duration<double, std::nano>(elapsed).count();
        return static_cast<double>(elapsedTicks) / ns;
    }();
    return ratio;
}

}  // namespace klorbench
