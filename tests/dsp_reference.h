// An independent scalar model of the shaper for tests: written from the
// curve's definition, sample by sample, with volatile temporaries so that the
// compiler can neither fuse nor reorder the steps.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace klortest {

inline uint32_t bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

inline float fromBits(uint32_t b) {
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

struct ReferenceCurve {
    float k;
    float gain;
};

inline ReferenceCurve referenceCurve(float level) {
    ReferenceCurve c;
    if (level < 1.0f) {  // NaN compares false and takes the saturated value
        volatile float twice = level + level;
        volatile float below = 1.0f - level;
        c.k = twice / below;
    } else {
        c.k = fromBits(0x469C355Du);
    }
    volatile float gain = c.k + 1.0f;
    c.gain = gain;
    return c;
}

inline float referenceShape(float x, ReferenceCurve c) {
    volatile float p = c.gain * x;
    volatile float magnitude = fromBits(bits(x) & 0x7FFFFFFFu);
    volatile float scaled = magnitude * c.k;
    volatile float q = scaled + 1.0f;
    volatile float y = p / q;
    return y;
}

// The whole block as the effect must produce it: channel c of every frame
// shaped when c < 16 and its mask bit is set, the input bits otherwise.
inline std::vector<float> referenceBlock(const std::vector<float>& in, unsigned frames,
                                         int channels, uint16_t mask, float level) {
    std::vector<float> out(in);
    const ReferenceCurve c = referenceCurve(level);
    for (unsigned f = 0; f < frames; ++f) {
        for (int ch = 0; ch < channels && ch < 16; ++ch) {
            if ((mask >> ch) & 1u) {
                const size_t i = static_cast<size_t>(f) * channels + ch;
                out[i] = referenceShape(in[i], c);
            }
        }
    }
    return out;
}

}  // namespace klortest
