// The read callback against the scalar model of the curve, bit for bit.
//
// Input layout (missing bytes read as zero):
//
//   byte  0      level source: low 2 bits 0 = raw float bits, else a table
//                of meaningful levels; bit 2 = negative channel count
//   4 or 1       level (raw bits, or a table index)
//   2            channel mask
//   1            channel count % 70 (0..69), or -1..-4 with bit 2 above
//   2            frame count % 1100
//   1            kernel set % 4 (scalar, SSE2, AVX2, AVX-512; one this CPU
//                cannot run falls back to the automatic choice)
//   1            floating-point environment: bits 0-1 rounding mode, bit 2
//                flush-to-zero, bit 3 denormals-are-zero; bit 4 in place
//   1            sample source % 3: raw bits, 16-bit PCM, special values
//   rest         sample bytes, used cyclically
//
// Checked: every output sample equals the model's (shaped where the channel
// is below 16 and selected, the input's bits elsewhere), under the same
// MXCSR, bit for bit, NaN payloads included except where two NaNs meet (see
// below); nothing is written when there is nothing to write or the channel
// count is negative; buffers are exact-sized so ASan sees any overrun.
#include <xmmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "distortion_kernels_dispatch.h"
#include "dsp_reference.h"
#include "fuzz_input.h"
#include "klor/dsp_distortion.h"

namespace {

using klor_fuzz::FuzzInput;

constexpr uint32_t kSentinelBits = 0x7FA5A5A5u;

const float kLevels[] = {0.0f, -0.0f, 0.5f, 0.75f, 0.9999f, 1.0f, 2.0f, -0.5f, 1e-8f, 0.25f,
                         std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), 1e30f, -1e30f, 0.1f};

const float kSpecials[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, -0.5f, 1.5f, -1.5f, 1e-40f, -1e-40f,
                           1e30f, -1e30f, std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::min(), 2.0f, 0.1f, 1e-30f};

class ScopedMxcsr {
public:
    explicit ScopedMxcsr(uint8_t environment) : saved_(_mm_getcsr()) {
        unsigned csr = saved_ & ~0xE040u;             // rounding, FTZ, DAZ cleared
        csr |= static_cast<unsigned>(environment & 3) << 13;  // RC
        if (environment & 4) csr |= 0x8000;                   // FTZ
        if (environment & 8) csr |= 0x0040;                   // DAZ
        _mm_setcsr(csr);
    }
    ~ScopedMxcsr() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
};

float sampleFrom(uint8_t source, const uint8_t* bytes, size_t length, size_t i) {
    if (length == 0) return kSpecials[i % (sizeof kSpecials / sizeof kSpecials[0])];
    auto byte = [&](size_t k) { return bytes[(i * 4 + k) % length]; };
    switch (source) {
        case 0: {
            const uint32_t bits = byte(0) | (byte(1) << 8) | (byte(2) << 16) |
                                  (static_cast<uint32_t>(byte(3)) << 24);
            return klortest::fromBits(bits);
        }
        case 1: {
            const int16_t pcm = static_cast<int16_t>(byte(0) | (byte(1) << 8));
            return static_cast<float>(pcm) / 32768.0f;
        }
        default:
            return kSpecials[byte(0) % (sizeof kSpecials / sizeof kSpecials[0])];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t mode = input.u8();
    const float level = (mode & 3) == 0 ? input.f32()
                                        : kLevels[input.u8() % (sizeof kLevels / sizeof kLevels[0])];
    const uint16_t mask = input.u16();
    const uint8_t channelByte = input.u8();
    const int channels = (mode & 4) ? -1 - (channelByte % 4) : channelByte % 70;
    const unsigned frames = input.u16() % 1100;
    const auto kernel = static_cast<KLOR::distortion::KernelSet>(input.u8() % 4);
    const uint8_t environment = input.u8();
    const bool inPlace = (environment & 16) != 0;
    const uint8_t source = input.u8() % 3;
    size_t length = 0;
    const uint8_t* bytes = input.rest(&length);

    if (!KLOR::distortion::forceKernelSetForTesting(kernel)) {
        KLOR::distortion::clearKernelChoiceForTesting();
    }

    const size_t count = channels > 0 ? static_cast<size_t>(frames) * channels : 0;
    std::vector<float> in(count == 0 ? 1 : count);
    for (size_t i = 0; i < count; ++i) in[i] = sampleFrom(source, bytes, length, i);
    std::vector<float> out(in.size());
    for (float& o : out) o = klortest::fromBits(kSentinelBits);
    if (count == 0) in[0] = klortest::fromBits(kSentinelBits);

    KLOR::DSPDistortion effect;
    std::memset(&effect, 0, sizeof effect);
    effect.object.state.channelMask = mask;
    effect.object.level = level;

    std::vector<float> expected;
    KLOR_RESULT result;
    {
        ScopedMxcsr scope(environment);
        if (count > 0) expected = klortest::referenceBlock(in, frames, channels, mask, level);
        float* target = inPlace ? in.data() : out.data();
        result = KLOR::DSPDistortion::readCallback(&effect.object.state, in.data(), target, frames,
                                                   channels, channels);
    }
    const std::vector<float>& got = inPlace ? in : out;

    klor_fuzz::countOperations(1);
    if (channels < 0 || count == 0) {
        if (klortest::bits(got[0]) != kSentinelBits) {
            klor_fuzz::fail("%d channels, %u frames: read wrote to its output", channels, frames);
        }
        if (channels >= 0 && result != KLOR_OK) {
            klor_fuzz::fail("%d channels, %u frames: result %d", channels, frames, result);
        }
        return 0;
    }
    if (result != KLOR_OK) klor_fuzz::fail("read returned %d", result);
    // A level of -Inf gives a NaN gain: a NaN sample then meets a NaN in
    // every operation, and which of two NaN operands the hardware passes on
    // depends on the operand order the compiler picked, in the model and in
    // each kernel alike. There any NaN is the right answer.
    const bool nanGain = std::isnan(klortest::referenceCurve(level).gain);
    for (size_t i = 0; i < count; ++i) {
        if (nanGain && std::isnan(got[i]) && std::isnan(expected[i])) continue;
        if (klortest::bits(got[i]) != klortest::bits(expected[i])) {
            klor_fuzz::fail("kernel %d, MXCSR env 0x%02x, level 0x%08x, mask 0x%04x, %d ch, %u "
                            "frames%s: sample %zu (channel %zu) input 0x%08x gives 0x%08x, the "
                            "model 0x%08x",
                            static_cast<int>(KLOR::distortion::chosenKernels().set), environment,
                            klortest::bits(level), mask, channels, frames,
                            inPlace ? " in place" : "", i, i % channels,
                            klortest::bits(sampleFrom(source, bytes, length, i)),
                            klortest::bits(got[i]), klortest::bits(expected[i]));
        }
    }
    return 0;
}
