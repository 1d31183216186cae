// The run-time choice of kernels: the automatic choice against the CPU's
// features as the compiler's own run-time test sees them, and the test
// hook's refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "distortion_kernels_dispatch.h"
#include "dsp_reference.h"
#include "klor/dsp_distortion.h"
#include "kernel_test_effect.h"

namespace {

using KLOR::distortion::KernelSet;

// Independent of the library's CPUID reading: GCC's run-time feature test
// (which also asks the OS, through XGETBV, whether the state is saved).
KernelSet widestByCompilerRuntime() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
        return KernelSet::Avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return KernelSet::Avx2;
    }
    return KernelSet::Sse2;
}

using Effect = klortest::KernelTestEffect;

class KernelChoice : public ::testing::Test {
protected:
    void SetUp() override { KLOR::distortion::clearKernelChoiceForTesting(); }
    void TearDown() override { KLOR::distortion::clearKernelChoiceForTesting(); }
};

TEST_F(KernelChoice, FirstBlockChoosesTheWidestSetTheCpuRuns) {
    ASSERT_EQ(KLOR::distortion::gChosenKernels.load(), nullptr);
    Effect effect;
    const float in[3] = {0.5f, -0.25f, 2.0f};
    float out[3] = {};
    ASSERT_EQ(effect.read(in, out, 3, 1, 0x1, 0.5f), KLOR_OK);
    const KLOR::distortion::Kernels* chosen = KLOR::distortion::gChosenKernels.load();
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->set, widestByCompilerRuntime());
    EXPECT_EQ(KLOR::distortion::widestKernelSet(), widestByCompilerRuntime());
    EXPECT_EQ(klortest::bits(out[0]), klortest::bits(0.75f));
    EXPECT_EQ(klortest::bits(out[1]), klortest::bits(-0.5f));
}

TEST_F(KernelChoice, HookRefusesSetsTheCpuCannotRunAndKeepsTheChoice) {
    const KernelSet widest = widestByCompilerRuntime();
    const KernelSet sets[] = {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2,
                              KernelSet::Avx512};
    for (KernelSet set : sets) {
        ASSERT_TRUE(KLOR::distortion::forceKernelSetForTesting(KernelSet::Scalar));
        const bool runs = static_cast<int>(set) <= static_cast<int>(widest);
        EXPECT_EQ(KLOR::distortion::kernelSetRuns(set), runs)
            << KLOR::distortion::kernelSetName(set);
        EXPECT_EQ(KLOR::distortion::forceKernelSetForTesting(set), runs)
            << KLOR::distortion::kernelSetName(set);
        EXPECT_EQ(KLOR::distortion::chosenKernels().set, runs ? set : KernelSet::Scalar)
            << "a refused set must leave the previous choice in place";
    }
    EXPECT_FALSE(KLOR::distortion::forceKernelSetForTesting(static_cast<KernelSet>(4)));
    EXPECT_FALSE(KLOR::distortion::forceKernelSetForTesting(static_cast<KernelSet>(-1)));
}

}  // namespace
