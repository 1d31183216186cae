// An independent model of the "KLOR Distortion" curve, for the validator's
// curve check: written from the curve's definition, one sample at a time,
// with volatile temporaries so that the compiler can neither fuse nor reorder
// the four operations.
//
//   k    = (L + L) / (1 - L)   when 1 > L
//        = bits 0x469C355D     otherwise (L >= 1, or NaN: the test fails)
//   gain = k + 1
//   y    = (gain * x) / ((|x| * k) + 1), |x| by clearing the sign bit
//
// Worked example: L 0.5 -> k 2, gain 3; x 0.5 -> 1.5 / 2 = 0.75.
#pragma once

#include <cstdint>
#include <cstring>

namespace klor {
namespace validate {

struct ModelCurve {
    float k;
    float gain;
};

inline ModelCurve modelCurve(float level) {
    ModelCurve curve;
    if (1.0f > level) {
        volatile float twice = level + level;
        volatile float below = 1.0f - level;
        curve.k = twice / below;
    } else {
        const uint32_t saturated = 0x469C355Du;  // 19994.681640625
        std::memcpy(&curve.k, &saturated, sizeof curve.k);
    }
    volatile float gain = curve.k + 1.0f;
    curve.gain = gain;
    return curve;
}

inline float modelShape(float x, ModelCurve curve) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits &= 0x7FFFFFFFu;
    float magnitude;
    std::memcpy(&magnitude, &bits, sizeof magnitude);
    volatile float p = curve.gain * x;
    volatile float scaled = magnitude * curve.k;
    volatile float q = scaled + 1.0f;
    volatile float y = p / q;
    return y;
}

// The module's whole block: a channel below 16 with its mask bit set is
// shaped, every other channel is the input's bits.
inline void modelBlock(const float* in, float* out, unsigned frames, int channels, uint16_t mask,
                       float level) {
    const ModelCurve curve = modelCurve(level);
    for (unsigned f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const size_t i = static_cast<size_t>(f) * channels + c;
            const bool selected = c < 16 && ((mask >> c) & 1u);
            if (selected) {
                out[i] = modelShape(in[i], curve);
            } else {
                std::memcpy(&out[i], &in[i], sizeof(float));
            }
        }
    }
}

}  // namespace validate
}  // namespace klor
