// The shaping curve: coefficients from the level, and one sample.
//
// Every operation is rounded to single precision in exactly this order and
// nothing may fuse the multiply-add (the project builds with
// -ffp-contract=off): vector kernels must reproduce these bits.
#pragma once

#include <cstdint>
#include <cstring>

namespace KLOR {
namespace distortion {

// k for levels of 1 and above, and NaN: the single-precision value that the
// regular rule gives for the level nearest 0.9999.
constexpr uint32_t kSaturatedKBits = 0x469C355Du;  // 19994.681640625f

struct Curve {
    float k;     // bend: 0 at level 0, 2 at 0.5, 6 at 0.75
    float gain;  // k + 1, so that shape(1) == 1
};

inline float floatFromBits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline uint32_t bitsFromFloat(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// "1 > level" is false for NaN, so a NaN level takes the saturated k.
inline Curve curveForLevel(float level) {
    const float k = (1.0f > level) ? (level + level) / (1.0f - level)
                                   : floatFromBits(kSaturatedKBits);
    return Curve{k, k + 1.0f};
}

// y = (gain * x) / ((|x| * k) + 1), |x| by clearing the sign bit.
inline float shapeSample(float x, Curve curve) {
    const float p = curve.gain * x;
    const float a = floatFromBits(bitsFromFloat(x) & 0x7FFFFFFFu);
    const float q = (a * curve.k) + 1.0f;
    return p / q;
}

}  // namespace distortion
}  // namespace KLOR
