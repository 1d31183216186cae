// Threads racing on the first block with no kernel chosen yet: every one
// must find a complete kernel table and produce the model's bits, and the
// choice they publish must be the automatic one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "distortion_kernels_dispatch.h"
#include "dsp_reference.h"
#include "klor/dsp_distortion.h"
#include "kernel_test_effect.h"

namespace {

using Effect = klortest::KernelTestEffect;

TEST(KernelChoiceRace, ThreadsRacingOnTheFirstBlockAllGetExactResults) {
    constexpr int kThreads = 4;
    constexpr unsigned kFrames = 67;
    std::vector<float> in(kFrames * 2);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<float>(i) * 0.037f - 2.0f;
    }
    const std::vector<float> want = klortest::referenceBlock(in, kFrames, 2, 0x1, 0.6f);
    for (int round = 0; round < 20; ++round) {
        KLOR::distortion::clearKernelChoiceForTesting();
        std::atomic<int> ready{0};
        std::vector<std::vector<float>> outs(kThreads, std::vector<float>(in.size()));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                Effect effect;
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                    std::this_thread::yield();
                }
                effect.read(in.data(), outs[t].data(), kFrames, 2, 0x1, 0.6f);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (int t = 0; t < kThreads; ++t) {
            ASSERT_EQ(std::memcmp(outs[t].data(), want.data(), want.size() * sizeof(float)), 0)
                << "round " << round << ", thread " << t;
        }
        EXPECT_EQ(KLOR::distortion::chosenKernels().set, KLOR::distortion::widestKernelSet());
    }
    KLOR::distortion::clearKernelChoiceForTesting();
}

}  // namespace
