// The allocator workloads, each written once against the Allocator
// interface (alloc_peers.h):
//
//   LIFO pairs    allocate `live` blocks of one size, release them newest
//                 first; a step is one allocation and one release
//   churn         `live` blocks of 8 to 512 bytes; a step releases a random
//                 block and allocates a new random size in its place
//   realloc       16 buffers grown round-robin by 48 bytes from 16 bytes to
//   growth        8 KiB, so that neighbours block growing in place
//   tail          a million churn steps, each timed on its own with the TSC
//
// Random choices come from a plan made before timing starts (same seed for
// every allocator), so the generator is never measured. Every new block has
// its first word written, as a program would, which also catches an
// allocator that hands out bad memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "alloc_peers.h"

namespace klorbench {

struct ChurnPlan {
    std::vector<uint32_t> initialSizes;  // one per live block
    std::vector<uint32_t> slots;         // block replaced by step i
    std::vector<uint32_t> sizes;         // its new size
};

ChurnPlan makeChurnPlan(size_t live, size_t steps, uint32_t seed);

// Live blocks of a churn workload. fill() and drain() are untimed set-up.
class Churn {
public:
    Churn(const Allocator& allocator, const ChurnPlan& plan);
    bool fill();
    // Runs `count` steps of the plan from where the last call stopped,
    // wrapping around. False when an allocation failed.
    bool run(size_t count);
    void drain();

    // As run(), timing each step; durations[i] receives TSC ticks.
    bool runTimed(size_t count, uint32_t* durations);

private:
    const Allocator& allocator_;
    const ChurnPlan& plan_;
    std::vector<void*> blocks_;
    std::vector<uint32_t> sizes_;
    size_t next_ = 0;
};

// One round of LIFO pairs; `blocks` has room for `live` pointers.
bool lifoRound(const Allocator& allocator, void** blocks, size_t live, size_t size);

// One round of realloc growth; returns the number of resizes made, 0 on
// failure.
size_t reallocGrowthRound(const Allocator& allocator);

struct TailFigures {
    double p50;
    double p999;
    double p9999;
    double max;
};

// Percentiles of TSC durations (the vector is reordered).
TailFigures tailFigures(std::vector<uint32_t>& durations);

// TSC ticks per nanosecond, measured once against the steady clock.
double tscTicksPerNanosecond();

}  // namespace klorbench
