// Run-time choice of the read path's kernels.
//
// Feature test, per the vendors' rules for enabling vector state:
//
//   set     CPUID bits                              XCR0 bits (OS saves)
//   ------  --------------------------------------  ---------------------------
//   Sse2    baseline                                -
//   Avx2    1:ECX OSXSAVE, AVX; 7.0:EBX AVX2        1 SSE, 2 AVX
//   Avx512  7.0:EBX AVX512F, DQ, BW, VL             1, 2, 5 opmask, 6 ZMM_Hi256,
//                                                   7 Hi16_ZMM
//
// The AVX-512 kernels are built with F, BW, DQ and VL, so the compiler may
// use any of the four there; all four are required.
#include "distortion_kernels_dispatch.h"

#include <cpuid.h>

#include "distortion_kernels.h"

namespace KLOR {
namespace distortion {

namespace {

constexpr Kernels kKernelTables[kKernelSetCount] = {
    {&shapeAllScalar, &shapeMaskedScalar, KernelSet::Scalar},
    {&shapeAllSse2, &shapeMaskedSse2, KernelSet::Sse2},
    {&shapeAllAvx2, &shapeMaskedAvx2, KernelSet::Avx2},
    {&shapeAllAvx512, &shapeMaskedAvx512, KernelSet::Avx512},
};

constexpr uint64_t kYmmState = (1u << 1) | (1u << 2);
constexpr uint64_t kZmmState = kYmmState | (1u << 5) | (1u << 6) | (1u << 7);

// XGETBV with ECX = 0; only valid once CPUID reports OSXSAVE.
uint64_t enabledStateComponents() {
    uint32_t low = 0;
    uint32_t high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
}

const Kernels& tableFor(KernelSet set) {
    return kKernelTables[static_cast<int>(set)];
}

}  // namespace

std::atomic<const Kernels*> gChosenKernels{nullptr};

// Two CPUID leaves and one XGETBV. CPUID can be slow (a hypervisor may
// trap it: tens of microseconds), which is why the answer is kept. Leaf 7
// is read without asking for the highest leaf first: a CPU that reports
// OSXSAVE enumerates XSAVE state in leaf 13, so it has leaf 7.
KernelSet widestKernelSet() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(1, eax, ebx, ecx, edx);
    if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) {
        return KernelSet::Sse2;
    }
    const uint64_t enabled = enabledStateComponents();
    if ((enabled & kYmmState) != kYmmState) {
        return KernelSet::Sse2;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    constexpr unsigned int kAvx512 = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
    if ((ebx & kAvx512) == kAvx512 && (enabled & kZmmState) == kZmmState) {
        return KernelSet::Avx512;
    }
    if ((ebx & bit_AVX2) != 0) {
        return KernelSet::Avx2;
    }
    return KernelSet::Sse2;
}

bool kernelSetRuns(KernelSet set) {
    const int index = static_cast<int>(set);
    return index >= 0 && index < kKernelSetCount && index <= static_cast<int>(widestKernelSet());
}

const char* kernelSetName(KernelSet set) {
    switch (set) {
        case KernelSet::Scalar: return "scalar";
        case KernelSet::Sse2: return "sse2";
        case KernelSet::Avx2: return "avx2";
        case KernelSet::Avx512: return "avx512";
    }
    return "unknown";
}

const Kernels& chooseKernels() {
    const Kernels& table = tableFor(widestKernelSet());
    gChosenKernels.store(&table, std::memory_order_relaxed);
    return table;
}

bool forceKernelSetForTesting(KernelSet set) {
    if (!kernelSetRuns(set)) {
        return false;
    }
    gChosenKernels.store(&tableFor(set), std::memory_order_relaxed);
    return true;
}

void clearKernelChoiceForTesting() {
    gChosenKernels.store(nullptr, std::memory_order_relaxed);
}

}  // namespace distortion
}  // namespace KLOR
