// The allocators side by side in one binary (see alloc_peers.h and
// alloc_workloads.h for who and what):
//
//   alloc/lifo_<bytes>x<live>/<allocator>   one round of `live` LIFO pairs
//   alloc/churn_<live>/<allocator>          1024 churn steps, 8..512 bytes
//   alloc/realloc_growth/<allocator>        one round of realloc growth
//   block/pair64_half4096/<allocator>       1024 pairs of 64 bytes beside
//                                           2048 live 64-byte blocks (block
//                                           mode's span half occupied)
//   tail/churn_4096/<allocator>             a million churn steps timed one
//                                           by one; counters p50, p999,
//                                           p9999, max in nanoseconds
//
// Run with --syscall-probe=<allocator> instead, the binary sets that
// allocator up, churns 100,000 steps to warm it, then runs a million steps
// between two marker writes to fd -1; bench/run-bench counts the system
// calls strace sees between the markers.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc_peers.h"
#include "alloc_workloads.h"

namespace {

using klorbench::Allocator;
using klorbench::Churn;
using klorbench::ChurnPlan;

constexpr size_t kChurnStepsPerIteration = 1024;
constexpr size_t kPlanSteps = size_t{1} << 20;
constexpr size_t kWarmupSteps = 100000;
constexpr size_t kTailSteps = 1000000;
constexpr size_t kTailLive = 4096;

const ChurnPlan& planFor(size_t live) {
    static std::map<size_t, std::unique_ptr<ChurnPlan>> plans;
    std::unique_ptr<ChurnPlan>& plan = plans[live];
    if (!plan) {
        plan = std::make_unique<ChurnPlan>(
            klorbench::makeChurnPlan(live, kPlanSteps, 0xC0FFEEu + static_cast<uint32_t>(live)));
    }
    return *plan;
}

// Opens the allocator for one benchmark run and closes it after.
class Session {
public:
    Session(const Allocator& allocator, benchmark::State& state) : allocator_(allocator) {
        open_ = allocator.open();
        if (!open_) {
            state.SkipWithError("allocator could not be set up");
        }
    }
    ~Session() {
        if (open_) {
            allocator_.close();
        }
    }
    bool ok() const { return open_; }

private:
    const Allocator& allocator_;
    bool open_ = false;
};

void lifoPairs(benchmark::State& state, const Allocator& allocator, size_t size, size_t live) {
    Session session(allocator, state);
    if (!session.ok()) {
        return;
    }
    std::vector<void*> blocks(live);
    for (int warm = 0; warm < 4; ++warm) {
        klorbench::lifoRound(allocator, blocks.data(), live, size);
    }
    for (auto _ : state) {
        if (!klorbench::lifoRound(allocator, blocks.data(), live, size)) {
            state.SkipWithError("allocation failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * live));
}

void churn(benchmark::State& state, const Allocator& allocator, size_t live) {
    Session session(allocator, state);
    if (!session.ok()) {
        return;
    }
    Churn blocks(allocator, planFor(live));
    if (!blocks.fill() || !blocks.run(kWarmupSteps)) {
        state.SkipWithError("allocation failed");
        blocks.drain();
        return;
    }
    for (auto _ : state) {
        if (!blocks.run(kChurnStepsPerIteration)) {
            state.SkipWithError("allocation failed");
            break;
        }
    }
    blocks.drain();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kChurnStepsPerIteration));
}

void reallocGrowth(benchmark::State& state, const Allocator& allocator) {
    Session session(allocator, state);
    if (!session.ok()) {
        return;
    }
    size_t resizes = klorbench::reallocGrowthRound(allocator);
    for (auto _ : state) {
        resizes = klorbench::reallocGrowthRound(allocator);
        if (resizes == 0) {
            state.SkipWithError("resize failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * resizes));
}

// Block mode's span (4096 blocks of 64 bytes) half occupied at random, and
// the same live set for the allocators it is compared with.
void halfOccupiedPairs(benchmark::State& state, const Allocator& allocator) {
    Session session(allocator, state);
    if (!session.ok()) {
        return;
    }
    const size_t size = klorbench::kBlockSize;
    std::vector<void*> held(klorbench::kBlockCount, nullptr);
    for (void*& block : held) {
        block = allocator.allocate(size);
    }
    std::mt19937 rng(4096);
    std::vector<size_t> order(held.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i < order.size() / 2; ++i) {
        if (held[order[i]] != nullptr) {
            allocator.release(held[order[i]], size);
            held[order[i]] = nullptr;
        }
    }
    std::vector<void*> pair(1);
    for (auto _ : state) {
        for (size_t i = 0; i < kChurnStepsPerIteration; ++i) {
            if (!klorbench::lifoRound(allocator, pair.data(), 1, size)) {
                state.SkipWithError("allocation failed");
                break;
            }
        }
    }
    for (void* block : held) {
        if (block != nullptr) {
            allocator.release(block, size);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kChurnStepsPerIteration));
}

void churnTail(benchmark::State& state, const Allocator& allocator) {
    Session session(allocator, state);
    if (!session.ok()) {
        return;
    }
    std::vector<uint32_t> durations(kTailSteps);
    Churn blocks(allocator, planFor(kTailLive));
    bool ok = blocks.fill() && blocks.run(kWarmupSteps);
    for (auto _ : state) {
        ok = ok && blocks.runTimed(kTailSteps, durations.data());
    }
    blocks.drain();
    if (!ok) {
        state.SkipWithError("allocation failed");
        return;
    }
    const klorbench::TailFigures ticks = klorbench::tailFigures(durations);
    const double perNs = klorbench::tscTicksPerNanosecond();
    state.counters["p50_ns"] = ticks.p50 / perNs;
    state.counters["p999_ns"] = ticks.p999 / perNs;
    state.counters["p9999_ns"] = ticks.p9999 / perNs;
    state.counters["max_ns"] = ticks.max / perNs;
}

void registerAll() {
    for (const Allocator& allocator : klorbench::generalAllocators()) {
        const std::string name = allocator.name;
        for (size_t size : {16, 64, 256, 1024}) {
            for (size_t live : {100, 1000}) {
                benchmark::RegisterBenchmark(
                    ("alloc/lifo_" + std::to_string(size) + "x" + std::to_string(live) + "/" + name)
                        .c_str(),
                    [&allocator, size, live](benchmark::State& s) {
                        lifoPairs(s, allocator, size, live);
                    });
            }
        }
        for (size_t live : {1000, 4096, 100000}) {
            benchmark::RegisterBenchmark(
                ("alloc/churn_" + std::to_string(live) + "/" + name).c_str(),
                [&allocator, live](benchmark::State& s) { churn(s, allocator, live); });
        }
        benchmark::RegisterBenchmark(("alloc/realloc_growth/" + name).c_str(),
                                     [&allocator](benchmark::State& s) {
                                         reallocGrowth(s, allocator);
                                     });
        benchmark::RegisterBenchmark(("tail/churn_4096/" + name).c_str(),
                                     [&allocator](benchmark::State& s) {
                                         churnTail(s, allocator);
                                     })
            ->Iterations(1);
    }
    for (const char* name : {"pool_block", "system", "region", "pool_region"}) {
        const Allocator& allocator = *klorbench::findAllocator(name);
        benchmark::RegisterBenchmark((std::string("block/pair64_half4096/") + name).c_str(),
                                     [&allocator](benchmark::State& s) {
                                         halfOccupiedPairs(s, allocator);
                                     });
    }
    benchmark::AddCustomContext("process_heap_is_glibc",
                                klorbench::processHeapIsGlibc() ? "yes" : "NO");
    benchmark::AddCustomContext("tsc_ticks_per_ns",
                                std::to_string(klorbench::tscTicksPerNanosecond()));
}

void marker(const char* text) {
    // A write to fd -1 fails at once and shows in strace with its text.
    const ssize_t ignored = write(-1, text, std::strlen(text));
    (void)ignored;
}

int syscallProbe(const std::string& name) {
    const Allocator* allocator = klorbench::findAllocator(name);
    if (allocator == nullptr || !allocator->open()) {
        std::fprintf(stderr, "unknown allocator or set-up failed: %s\n", name.c_str());
        return 2;
    }
    Churn blocks(*allocator, planFor(kTailLive));
    bool ok = blocks.fill() && blocks.run(kWarmupSteps);
    marker("klor-probe-begin");
    ok = ok && blocks.run(kTailSteps);
    marker("klor-probe-end");
    blocks.drain();
    allocator->close();
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string probe = "--syscall-probe=";
    if (argc == 2 && std::strncmp(argv[1], probe.c_str(), probe.size()) == 0) {
        return syscallProbe(argv[1] + probe.size());
    }
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
