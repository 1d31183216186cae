// The read path against its limits, side by side in one binary:
//
//   read/<set>/<block>      the read callback with kernel set <set> forced
//   kernel/<set>/<block>    that set's flat kernel alone, coefficients ready
//   level1/<set>/<block>    the read callback at level 1, whose k is a
//                           constant: no coefficient division in the block
//   divide/<set>/<block>    division-only loop of the same lane width
//   plain/scalar/<block>    the curve as a plain scalar loop at -O2
//   memcpy/-/<block>        memcpy of the same block
//
// Blocks: <selection>_<layout>_<frames>, e.g. all_stereo_512 (mask 0b11),
// mixed_stereo_512 (0b01), mixed_six_512 (0b101101), none_stereo_512.
// Every block lives in L1 and runs out of place, as a host's does; inputs
// are audio-range values. bench/goals.py turns medians into the goals.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "distortion_curve.h"
#include "distortion_kernels_dispatch.h"
#include "division_limit.h"
#include "klor/dsp_distortion.h"

namespace {

using KLOR::distortion::KernelSet;

constexpr float kLevel = 0.7f;

struct BlockCase {
    std::string name;
    int channels;
    unsigned frames;
    uint16_t mask;
};

const BlockCase kBlocks[] = {
    {"all_stereo_512", 2, 512, 0x3},  {"mixed_stereo_512", 2, 512, 0x1},
    {"all_six_512", 6, 512, 0x3F},    {"mixed_six_512", 6, 512, 0x2D},
    {"none_stereo_512", 2, 512, 0x0}, {"all_stereo_32", 2, 32, 0x3},
    {"all_stereo_64", 2, 64, 0x3},
};

// 64-byte aligned, so no kernel pays for a split line the baselines avoid.
struct Buffer {
    explicit Buffer(size_t n)
        : data(static_cast<float*>(std::aligned_alloc(64, (n * sizeof(float) + 63) / 64 * 64))),
          size(n) {}
    ~Buffer() { std::free(data); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    float* data;
    size_t size;
};

void fillAudio(Buffer& b, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> audio(-1.0f, 1.0f);
    for (size_t i = 0; i < b.size; ++i) {
        b.data[i] = audio(rng);
    }
}

struct Effect {
    alignas(16) KLOR::DSPDistortion object;
    Effect() { std::memset(static_cast<void*>(&object), 0, sizeof object); }
};

void readBlock(benchmark::State& state, KernelSet set, const BlockCase& block, float level) {
    if (!KLOR::distortion::forceKernelSetForTesting(set)) {
        state.SkipWithError("kernel set does not run on this CPU");
        return;
    }
    const size_t n = static_cast<size_t>(block.frames) * block.channels;
    Buffer in(n), out(n);
    fillAudio(in, 1);
    Effect effect;
    effect.object.object.level = level;
    effect.object.object.state.channelMask = block.mask;
    KLOR_DSP_STATE* dspState = &effect.object.object.state;
    for (auto _ : state) {
        KLOR::DSPDistortion::readCallback(dspState, in.data, out.data, block.frames,
                                          block.channels, block.channels);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
    KLOR::distortion::clearKernelChoiceForTesting();
}

void flatKernel(benchmark::State& state, KernelSet set, const BlockCase& block) {
    if (!KLOR::distortion::forceKernelSetForTesting(set)) {
        state.SkipWithError("kernel set does not run on this CPU");
        return;
    }
    const KLOR::distortion::Kernels& kernels = KLOR::distortion::chosenKernels();
    const KLOR::distortion::Curve curve = KLOR::distortion::curveForLevel(kLevel);
    const size_t n = static_cast<size_t>(block.frames) * block.channels;
    Buffer in(n), out(n);
    fillAudio(in, 1);
    for (auto _ : state) {
        kernels.shapeAll(in.data, out.data, n, curve);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
    KLOR::distortion::clearKernelChoiceForTesting();
}

void divideOnly(benchmark::State& state, KernelSet set, const BlockCase& block) {
    if (!KLOR::distortion::kernelSetRuns(set)) {
        state.SkipWithError("kernel set does not run on this CPU");
        return;
    }
    void (*divide)(const float*, float*, size_t, float) =
        set == KernelSet::Avx512 ? klorbench::divideOnlyAvx512
        : set == KernelSet::Avx2 ? klorbench::divideOnlyAvx2
                                 : klorbench::divideOnlySse2;
    const size_t n = static_cast<size_t>(block.frames) * block.channels;
    Buffer in(n), out(n);
    fillAudio(in, 1);
    for (auto _ : state) {
        divide(in.data, out.data, n, 1.37f);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void plainScalar(benchmark::State& state, const BlockCase& block) {
    const KLOR::distortion::Curve curve = KLOR::distortion::curveForLevel(kLevel);
    const size_t n = static_cast<size_t>(block.frames) * block.channels;
    Buffer in(n), out(n);
    fillAudio(in, 1);
    for (auto _ : state) {
        klorbench::shapePlainScalar(in.data, out.data, n, curve.k, curve.gain);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void copyBlock(benchmark::State& state, const BlockCase& block) {
    const size_t n = static_cast<size_t>(block.frames) * block.channels;
    Buffer in(n), out(n);
    fillAudio(in, 1);
    // Through a volatile pointer: the size is known here and the compiler
    // would otherwise inline a copy loop instead of calling memcpy.
    void* (*volatile copy)(void*, const void*, size_t) = &std::memcpy;
    for (auto _ : state) {
        copy(out.data, in.data, n * sizeof(float));
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void registerAll() {
    const KernelSet sets[] = {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2,
                              KernelSet::Avx512};
    for (const BlockCase& block : kBlocks) {
        for (KernelSet set : sets) {
            if (!KLOR::distortion::kernelSetRuns(set)) {
                continue;
            }
            const std::string setName = KLOR::distortion::kernelSetName(set);
            benchmark::RegisterBenchmark(("read/" + setName + "/" + block.name).c_str(),
                                         [set, &block](benchmark::State& s) {
                                             readBlock(s, set, block, kLevel);
                                         });
            if (block.mask != (1u << block.channels) - 1u) {
                continue;
            }
            benchmark::RegisterBenchmark(("kernel/" + setName + "/" + block.name).c_str(),
                                         [set, &block](benchmark::State& s) {
                                             flatKernel(s, set, block);
                                         });
            benchmark::RegisterBenchmark(("level1/" + setName + "/" + block.name).c_str(),
                                         [set, &block](benchmark::State& s) {
                                             readBlock(s, set, block, 1.0f);
                                         });
            if (set != KernelSet::Scalar) {
                benchmark::RegisterBenchmark(("divide/" + setName + "/" + block.name).c_str(),
                                             [set, &block](benchmark::State& s) {
                                                 divideOnly(s, set, block);
                                             });
            }
        }
        if (block.mask == (1u << block.channels) - 1u) {
            benchmark::RegisterBenchmark(("plain/scalar/" + block.name).c_str(),
                                         [&block](benchmark::State& s) { plainScalar(s, block); });
        }
        benchmark::RegisterBenchmark(("memcpy/-/" + block.name).c_str(),
                                     [&block](benchmark::State& s) { copyBlock(s, block); });
    }
    benchmark::AddCustomContext(
        "klor_widest_kernel_set",
        KLOR::distortion::kernelSetName(KLOR::distortion::widestKernelSet()));
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
