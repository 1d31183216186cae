// Every kernel set this CPU runs, forced in turn, against the scalar model
// of tests/dsp_reference.h, bit for bit: special and random inputs, every
// level case, channel counts 1 to 20 and 64, every 16-bit mask for small
// channel counts, frame counts 0 to 40 and large, in place and out of
// place, under several MXCSR modes.
//
// Blocks sit flush against an inaccessible page (after the block or
// before it), so a kernel that reads or writes one sample past either end
// faults; the samples next to the open end carry a canary that must
// survive.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "distortion_kernels_dispatch.h"
#include "dsp_reference.h"
#include "klor/dsp_distortion.h"
#include "kernel_test_effect.h"

namespace {

using KLOR::distortion::KernelSet;
using klortest::bits;
using klortest::fromBits;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Scale the large loops down for sanitizer builds: KLOR_STRESS_SCALE=0.1.
double stressScale() {
    const char* text = std::getenv("KLOR_STRESS_SCALE");
    const double scale = text != nullptr ? std::atof(text) : 1.0;
    return scale > 0.0 ? scale : 1.0;
}

// ---------------------------------------------------------------------------
// Inputs

// Values whose bits the kernels must get exactly right: signed zeros,
// subnormals, the normal boundary, infinities, quiet and signalling NaNs with
// payloads, unit samples, huge values (|x| * k and gain * x overflow), and
// values near the level -0.5 pole (|x| = 1.5).
const uint32_t kSpecialBits[] = {
    0x00000000u, 0x80000000u,                            // +-0
    0x00000001u, 0x80000001u, 0x007FFFFFu, 0x807FFFFFu,  // subnormals
    0x00800000u, 0x80800000u,                            // +-smallest normal
    0x7F800000u, 0xFF800000u,                            // +-Inf
    0x7FC00000u, 0xFFC00000u, 0x7FC01234u, 0xFFFFFFFFu,  // quiet NaNs
    0x7F800001u, 0xFFA00001u, 0x7FBADBADu,               // signalling NaNs
    0x3F800000u, 0xBF800000u,                            // +-1
    0x3F000000u, 0xBF000000u,                            // +-0.5
    0x7F7FFFFFu, 0xFF7FFFFFu, 0x7149F2CAu, 0xF149F2CAu,  // FLT_MAX, 1e30
    0x3FC00000u, 0xBFC00000u, 0x3FBFFFFFu, 0x3FC00001u,  // 1.5 and neighbours
    0x33800000u, 0x2F800000u,                            // 2^-24, 2^-32
};

// A mix: a quarter special values, a quarter arbitrary bit patterns (every
// class of float, NaNs included), the rest audio-range values.
std::vector<float> mixedSamples(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> audio(-4.0f, 4.0f);
    std::vector<float> v(n);
    const size_t specialCount = sizeof kSpecialBits / sizeof kSpecialBits[0];
    for (float& x : v) {
        const uint32_t pick = rng() % 4;
        if (pick == 0) {
            x = fromBits(kSpecialBits[rng() % specialCount]);
        } else if (pick == 1) {
            x = fromBits(static_cast<uint32_t>(rng()));
        } else {
            x = audio(rng);
        }
    }
    return v;
}

// Every level case of the curve: the regular rule (0, 0.5, 0.75, tiny,
// subnormal, -0, the float just below 1), the saturated k (1, above 1, +Inf,
// NaN) and negative levels (a pole at |x| = 1.5 for -0.5; k near -2 for huge
// negatives; k = -Inf when 2L overflows). -Inf is left out: it makes k a NaN,
// and which of two NaN operands a multiplication returns depends on the
// operand order the compiler picks, so no two builds need agree on its bits.
const float kLevels[] = {
    0.0f,  0.5f,   0.75f, 1e-30f, 1e-40f,     -0.0f, 0.99999994f, 0.9999f, 0.1f,
    1.0f,  2.0f,   kInf,  kNaN,   -0.5f,      -1.0f, -2.0f,       -1e30f,  -3e38f,
};

// ---------------------------------------------------------------------------
// Buffers

// Pages: guard | data | guard. Blocks are placed flush against one guard.
class GuardedArena {
public:
    explicit GuardedArena(size_t floats) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        dataBytes_ = (floats * sizeof(float) + page_ - 1) / page_ * page_;
        const size_t total = dataBytes_ + 2 * page_;
        void* base = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            return;
        }
        base_ = static_cast<char*>(base);
        total_ = total;
        if (mprotect(base_ + page_, dataBytes_, PROT_READ | PROT_WRITE) != 0) {
            munmap(base_, total_);
            base_ = nullptr;
        }
    }
    ~GuardedArena() {
        if (base_ != nullptr) {
            munmap(base_, total_);
        }
    }
    GuardedArena(const GuardedArena&) = delete;
    GuardedArena& operator=(const GuardedArena&) = delete;

    bool ok() const { return base_ != nullptr; }
    float* begin() const { return reinterpret_cast<float*>(base_ + page_); }
    float* end() const { return reinterpret_cast<float*>(base_ + page_ + dataBytes_); }
    size_t capacity() const { return dataBytes_ / sizeof(float); }

private:
    char* base_ = nullptr;
    size_t page_ = 0;
    size_t dataBytes_ = 0;
    size_t total_ = 0;
};

enum class Placement { AgainstEnd, AgainstStart };
enum class Buffers { OutOfPlace, InPlace };

constexpr uint32_t kCanary = 0x7FBADBADu;  // a signalling NaN no kernel writes
constexpr size_t kCanarySpan = 24;         // more than one widest vector

// ---------------------------------------------------------------------------
// The effect as a host holds it, built here so the static archive's read
// path (and the test-only kernel hook) can be reached.

using Effect = klortest::KernelTestEffect;

// ---------------------------------------------------------------------------
// MXCSR: the kernels must honour the caller's rounding and flush modes
// exactly as scalar code does, and leave the control bits as they found them.

constexpr uint32_t kMxcsrDefault = 0x1F80;  // all exceptions masked, nearest
constexpr uint32_t kMxcsrFlushToZero = 0x8000;
constexpr uint32_t kMxcsrDenormalsAreZero = 0x0040;
constexpr uint32_t kMxcsrRoundDown = 0x2000;
constexpr uint32_t kMxcsrRoundUp = 0x4000;
constexpr uint32_t kMxcsrRoundToZero = 0x6000;
constexpr uint32_t kMxcsrFlags = 0x003F;  // sticky exception flags

struct MxcsrMode {
    const char* name;
    uint32_t value;
};

const MxcsrMode kMxcsrModes[] = {
    {"nearest", kMxcsrDefault},
    {"ftz+daz", kMxcsrDefault | kMxcsrFlushToZero | kMxcsrDenormalsAreZero},
    {"down", kMxcsrDefault | kMxcsrRoundDown},
    {"up", kMxcsrDefault | kMxcsrRoundUp},
    {"toward zero", kMxcsrDefault | kMxcsrRoundToZero},
};

// Saves MXCSR, installs `mode`, puts the saved value back on destruction.
class MxcsrScope {
public:
    explicit MxcsrScope(uint32_t mode) : saved_(_mm_getcsr()) { _mm_setcsr(mode); }
    ~MxcsrScope() { _mm_setcsr(saved_); }
    MxcsrScope(const MxcsrScope&) = delete;
    MxcsrScope& operator=(const MxcsrScope&) = delete;

private:
    uint32_t saved_;
};

// ---------------------------------------------------------------------------
// One block through the forced kernel, compared with the model.

struct Block {
    int channels;
    unsigned frames;
    uint16_t mask;
    float level;
};

std::string describe(const Block& b, Placement where, Buffers buffers, uint32_t seed) {
    std::ostringstream text;
    text << "channels " << b.channels << ", frames " << b.frames << ", mask 0x" << std::hex
         << b.mask << std::dec << ", level " << b.level << " (bits 0x" << std::hex
         << bits(b.level) << std::dec << "), "
         << (buffers == Buffers::InPlace ? "in place" : "out of place") << ", "
         << (where == Placement::AgainstEnd ? "against end" : "against start") << ", seed "
         << seed;
    return text.str();
}

class KernelExactness : public ::testing::TestWithParam<KernelSet> {
protected:
    static constexpr size_t kArenaFloats = 300000;

    void SetUp() override {
        if (!KLOR::distortion::kernelSetRuns(GetParam())) {
            GTEST_SKIP() << KLOR::distortion::kernelSetName(GetParam())
                         << " does not run on this CPU";
        }
        ASSERT_TRUE(KLOR::distortion::forceKernelSetForTesting(GetParam()));
        ASSERT_TRUE(input_.ok());
        ASSERT_TRUE(output_.ok());
    }

    void TearDown() override { KLOR::distortion::clearKernelChoiceForTesting(); }

    float* place(const GuardedArena& arena, size_t n, Placement where) {
        return where == Placement::AgainstEnd ? arena.end() - n : arena.begin();
    }

    // Fills the canary span on the open side of [block, block + n).
    static void setCanaries(const GuardedArena& arena, float* block, size_t n, Placement where) {
        float* from = where == Placement::AgainstEnd ? block - kCanarySpan : block + n;
        for (size_t i = 0; i < kCanarySpan; ++i) {
            if (from + i >= arena.begin() && from + i < arena.end()) {
                from[i] = fromBits(kCanary);
            }
        }
    }

    static ::testing::AssertionResult canariesIntact(const GuardedArena& arena, const float* block,
                                                     size_t n, Placement where) {
        const float* from = where == Placement::AgainstEnd ? block - kCanarySpan : block + n;
        for (size_t i = 0; i < kCanarySpan; ++i) {
            if (from + i >= arena.begin() && from + i < arena.end() &&
                bits(from[i]) != kCanary) {
                return ::testing::AssertionFailure()
                       << "wrote " << (where == Placement::AgainstEnd ? kCanarySpan - i : i + 1)
                       << " samples past the block";
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Runs the block and returns the output (in place: the buffer after the
    // call). `mxcsr` is in force for the read only.
    std::vector<float> runKernel(const std::vector<float>& in, const Block& b, Placement where,
                                 Buffers buffers, uint32_t mxcsr, uint32_t* mxcsrAfter) {
        const size_t n = in.size();
        float* src = place(input_, n, where);
        float* dst = buffers == Buffers::InPlace ? src : place(output_, n, where);
        if (n != 0) {
            std::memcpy(src, in.data(), n * sizeof(float));
        }
        setCanaries(input_, src, n, where);
        if (buffers == Buffers::OutOfPlace) {
            for (size_t i = 0; i < n; ++i) {
                dst[i] = fromBits(0xDEADBEEFu);
            }
            setCanaries(output_, dst, n, where);
        }
        KLOR_RESULT result;
        {
            MxcsrScope scope(mxcsr);
            result = effect_.read(src, dst, b.frames, b.channels, b.mask, b.level);
            *mxcsrAfter = _mm_getcsr();
        }
        EXPECT_EQ(result, KLOR_OK);
        EXPECT_TRUE(canariesIntact(input_, src, n, where));
        if (buffers == Buffers::OutOfPlace) {
            EXPECT_TRUE(canariesIntact(output_, dst, n, where));
            for (size_t i = 0; i < n; ++i) {
                if (bits(src[i]) != bits(in[i])) {
                    ADD_FAILURE() << "input sample " << i << " changed out of place";
                    break;
                }
            }
        }
        return std::vector<float>(dst, dst + n);
    }

    // Kernel and model under the same MXCSR mode; returns false on the first
    // differing sample so that sweeps stop early.
    bool check(const Block& b, uint32_t seed, Placement where, Buffers buffers,
               uint32_t mxcsr = kMxcsrDefault, const std::vector<float>* given = nullptr) {
        const std::vector<float> in = given != nullptr
            ? *given
            : mixedSamples(static_cast<size_t>(b.frames) * static_cast<size_t>(b.channels), seed);
        std::vector<float> want;
        {
            MxcsrScope scope(mxcsr);
            want = klortest::referenceBlock(in, b.frames, b.channels, b.mask, b.level);
        }
        uint32_t after = 0;
        const std::vector<float> got = runKernel(in, b, where, buffers, mxcsr, &after);
        if ((after & ~kMxcsrFlags) != (mxcsr & ~kMxcsrFlags)) {
            ADD_FAILURE() << "MXCSR control bits changed from 0x" << std::hex << mxcsr << " to 0x"
                          << after << ": " << describe(b, where, buffers, seed);
            return false;
        }
        for (size_t i = 0; i < got.size(); ++i) {
            if (bits(got[i]) != bits(want[i])) {
                ADD_FAILURE() << "sample " << i << " (frame " << i / b.channels << ", channel "
                              << i % b.channels << "): got 0x" << std::hex << bits(got[i])
                              << ", want 0x" << bits(want[i]) << ", input 0x" << bits(in[i])
                              << std::dec << "; " << describe(b, where, buffers, seed);
                return false;
            }
        }
        return !::testing::Test::HasFailure();
    }

    GuardedArena input_{kArenaFloats};
    GuardedArena output_{kArenaFloats};
    Effect effect_;
};

const Placement kPlacements[] = {Placement::AgainstEnd, Placement::AgainstStart};
const Buffers kBuffers[] = {Buffers::OutOfPlace, Buffers::InPlace};

TEST_P(KernelExactness, ForcedSetIsTheOneThatRuns) {
    float x = 0.5f;
    float y = 0.0f;
    ASSERT_EQ(effect_.read(&x, &y, 1, 1, 1, 0.5f), KLOR_OK);
    EXPECT_EQ(KLOR::distortion::chosenKernels().set, GetParam());
    EXPECT_EQ(bits(y), bits(0.75f));
}

TEST_P(KernelExactness, SpecialInputsAtEveryLevel) {
    // Every special value at every lane position of the widest vector: the
    // table is repeated with a shift so that each value meets each lane.
    std::vector<float> in;
    for (uint32_t shift = 0; shift < 17; ++shift) {
        for (uint32_t b : kSpecialBits) {
            in.push_back(fromBits(b));
        }
        in.push_back(fromBits(kSpecialBits[shift % (sizeof kSpecialBits / 4)]));
    }
    struct Layout {
        int channels;
        uint16_t mask;
    } layouts[] = {{1, 0x1}, {2, 0x3}, {2, 0x1}, {2, 0x2}, {3, 0x5}, {6, 0x2D}, {16, 0xFFFF},
                   {16, 0x7FF7}, {8, 0x0F}};
    for (float level : kLevels) {
        for (const Layout& layout : layouts) {
            const unsigned frames = static_cast<unsigned>(in.size()) / layout.channels;
            std::vector<float> block(in.begin(), in.begin() + frames * layout.channels);
            for (Buffers buffers : kBuffers) {
                ASSERT_TRUE(check({layout.channels, frames, layout.mask, level}, 0,
                                  Placement::AgainstEnd, buffers, kMxcsrDefault, &block));
            }
        }
    }
}

TEST_P(KernelExactness, ChannelCountsFrameCountsAndMasks) {
    // Masks chosen to cover none, all, single channels at both ends, every
    // other channel, runs, and bits at and above N (which must be ignored).
    const uint16_t masks[] = {0x0000, 0xFFFF, 0x0001, 0x0002, 0x0005, 0x002D, 0x5555,
                              0xAAAA, 0x8001, 0x7FFE, 0xFFFE, 0x0F0F, 0xC000, 0x1234};
    std::vector<int> channelCounts;
    for (int n = 1; n <= 20; ++n) {
        channelCounts.push_back(n);
    }
    channelCounts.push_back(64);
    std::vector<unsigned> frameCounts;
    for (unsigned f = 0; f <= 40; ++f) {
        frameCounts.push_back(f);
    }
    frameCounts.push_back(257);
    frameCounts.push_back(1000);

    uint32_t seed = 1;
    size_t levelIndex = 0;
    for (int channels : channelCounts) {
        for (unsigned frames : frameCounts) {
            for (uint16_t mask : masks) {
                const float level = kLevels[levelIndex++ % (sizeof kLevels / sizeof kLevels[0])];
                for (Placement where : kPlacements) {
                    for (Buffers buffers : kBuffers) {
                        ASSERT_TRUE(check({channels, frames, mask, level}, seed++, where, buffers));
                    }
                }
            }
        }
    }
}

TEST_P(KernelExactness, LargeBlocks) {
    // Long enough that every loop runs its unrolled body many times, with
    // counts that leave every possible tail length for 4, 8 and 16 lanes.
    struct Case {
        int channels;
        unsigned frames;
        uint16_t mask;
    } cases[] = {{1, 4096 + 15, 0x1}, {2, 4096 + 7, 0x3}, {2, 4099, 0x1}, {6, 2731, 0x2D},
                 {7, 1999, 0x55},     {13, 701, 0x1FFE}, {16, 997, 0xFFFF}, {17, 503, 0xFFFF},
                 {64, 1024, 0x8001},  {20, 401, 0xFFFF}};
    uint32_t seed = 7000;
    for (const Case& c : cases) {
        for (float level : {0.5f, 1.0f, -0.5f}) {
            for (Placement where : kPlacements) {
                for (Buffers buffers : kBuffers) {
                    const Block block{c.channels, c.frames, c.mask, level};
                    ASSERT_TRUE(check(block, seed++, where, buffers));
                }
            }
        }
    }
}

TEST_P(KernelExactness, EverySixteenBitMaskForSmallChannelCounts) {
    // Bits at and above N must be ignored whatever they hold; every mask
    // value is tried. 19 frames puts a partial vector at the end for every
    // lane width and channel count here.
    const uint32_t stride = stressScale() < 1.0 ? 7 : 1;
    for (int channels = 1; channels <= 5; ++channels) {
        const unsigned frames = 19;
        const std::vector<float> in =
            mixedSamples(static_cast<size_t>(frames) * channels, 100u + channels);
        for (uint32_t mask = 0; mask <= 0xFFFF; mask += stride) {
            const Buffers buffers = (mask & 0x100) != 0 ? Buffers::InPlace : Buffers::OutOfPlace;
            ASSERT_TRUE(check({channels, frames, static_cast<uint16_t>(mask), 0.75f}, 0,
                              Placement::AgainstEnd, buffers, kMxcsrDefault, &in));
        }
    }
}

TEST_P(KernelExactness, MxcsrModesAreHonouredAndKept) {
    // Subnormal inputs and results, and every rounding direction: the kernel
    // must round and flush exactly as the scalar model does under the same
    // mode, and leave the mode as it found it.
    struct Layout {
        int channels;
        unsigned frames;
        uint16_t mask;
    } layouts[] = {{2, 37, 0x3}, {2, 37, 0x1}, {6, 23, 0x2D}, {20, 9, 0xFFFF}, {1, 5, 0x1}};
    uint32_t seed = 900;
    for (const MxcsrMode& mode : kMxcsrModes) {
        for (const Layout& layout : layouts) {
            for (float level : {0.5f, 1e-40f, 0.99999994f, -0.5f, kNaN}) {
                for (Buffers buffers : kBuffers) {
                    SCOPED_TRACE(mode.name);
                    ASSERT_TRUE(check({layout.channels, layout.frames, layout.mask, level}, seed++,
                                      Placement::AgainstEnd, buffers, mode.value));
                }
            }
        }
    }
}

TEST_P(KernelExactness, UnselectedLanesKeepSignallingNaNPayloads) {
    // Channel 1 and channels 16+ are never shaped here: every one of their
    // samples is a distinct signalling NaN that must come back bit for bit.
    for (int channels : {2, 3, 18, 64}) {
        const unsigned frames = 33;
        std::vector<float> in = mixedSamples(static_cast<size_t>(frames) * channels, 55);
        for (unsigned f = 0; f < frames; ++f) {
            for (int c = 1; c < channels; c += (c == 1 ? 15 : 1)) {
                in[static_cast<size_t>(f) * channels + c] =
                    fromBits(0x7F800001u + f * 97u + static_cast<uint32_t>(c));
            }
        }
        for (Buffers buffers : kBuffers) {
            ASSERT_TRUE(check({channels, frames, 0xFFFD, 0.5f}, 0, Placement::AgainstEnd, buffers,
                              kMxcsrDefault, &in));
        }
    }
}

std::string kernelName(const ::testing::TestParamInfo<KernelSet>& info) {
    return KLOR::distortion::kernelSetName(info.param);
}

INSTANTIATE_TEST_SUITE_P(EveryKernelSet, KernelExactness,
                         ::testing::Values(KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2,
                                           KernelSet::Avx512),
                         kernelName);

}  // namespace
