// Which kernel set the read path runs, chosen from the CPU's features.
//
// The choice is made on the first block, not at load time: the library has
// no static initialiser of its own beyond the description's list node. The
// chosen table lives in one relaxed atomic pointer; two threads racing on
// the first block both compute and store the same answer, and every later
// block costs one load.
//
// Audio thread: chosenKernels() allocates nothing, locks nothing, makes no
// system call. Its first call executes CPUID twice and XGETBV once, which a
// hypervisor may trap (about 60 microseconds in some VMs); a host-facing
// path that runs before audio starts can call chooseKernels() to take that
// cost off the audio thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "distortion_curve.h"

namespace KLOR {
namespace distortion {

// Narrowest first; a wider set needs every feature of the narrower ones.
enum class KernelSet : int { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

constexpr int kKernelSetCount = 4;

struct Kernels {
    void (*shapeAll)(const float* in, float* out, size_t count, Curve curve);
    void (*shapeMasked)(const float* in, float* out, size_t frames, int channels,
                        uint32_t selected, Curve curve);
    KernelSet set;
};

// Null until the first block (or a forced choice).
extern std::atomic<const Kernels*> gChosenKernels;

// Picks the widest set this CPU and OS run, publishes it and returns it.
const Kernels& chooseKernels();

inline const Kernels& chosenKernels() {
    const Kernels* chosen = gChosenKernels.load(std::memory_order_relaxed);
    return chosen != nullptr ? *chosen : chooseKernels();
}

// The widest set whose instructions the CPU has and whose registers the OS
// saves across context switches (XCR0). Never Scalar: SSE2 is the x86-64
// baseline.
KernelSet widestKernelSet();

// True when `set` can run here: Scalar and Sse2 always.
bool kernelSetRuns(KernelSet set);

const char* kernelSetName(KernelSet set);

// Test and benchmark hook, never called by the library: makes every later
// block use `set`. Returns false, changing nothing, when the set cannot
// run on this CPU. Not for use while another thread is inside read.
bool forceKernelSetForTesting(KernelSet set);

// Test hook: forgets any choice, so the next block chooses again.
void clearKernelChoiceForTesting();

}  // namespace distortion
}  // namespace KLOR
