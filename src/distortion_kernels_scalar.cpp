// Portable kernels: unrolled by eight (samples in the flat case, frames in
// the per-channel case) with a scalar tail. The unrolling changes no result:
// every output sample depends only on the input sample at the same index.
#include <cstring>

#include "distortion_kernels.h"

namespace KLOR {
namespace distortion {

void shapeAllScalar(const float* in, float* out, size_t count, Curve curve) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const float x0 = in[i + 0], x1 = in[i + 1], x2 = in[i + 2], x3 = in[i + 3];
        const float x4 = in[i + 4], x5 = in[i + 5], x6 = in[i + 6], x7 = in[i + 7];
        out[i + 0] = shapeSample(x0, curve);
        out[i + 1] = shapeSample(x1, curve);
        out[i + 2] = shapeSample(x2, curve);
        out[i + 3] = shapeSample(x3, curve);
        out[i + 4] = shapeSample(x4, curve);
        out[i + 5] = shapeSample(x5, curve);
        out[i + 6] = shapeSample(x6, curve);
        out[i + 7] = shapeSample(x7, curve);
    }
    for (; i < count; ++i) {
        out[i] = shapeSample(in[i], curve);
    }
}

// Copies through integer bits so that no float register can touch a
// signalling NaN on the way.
static inline void copySample(const float* in, float* out, size_t index) {
    uint32_t bits;
    std::memcpy(&bits, in + index, sizeof bits);
    std::memcpy(out + index, &bits, sizeof bits);
}

void shapeMaskedScalar(const float* in, float* out, size_t frames, int channels,
                       uint32_t selected, Curve curve) {
    const size_t stride = static_cast<size_t>(channels);
    for (int c = 0; c < channels; ++c) {
        const bool shaped = c < 32 && ((selected >> c) & 1u) != 0;
        size_t f = 0;
        if (shaped) {
            for (; f + 8 <= frames; f += 8) {
                for (size_t u = 0; u < 8; ++u) {
                    const size_t index = (f + u) * stride + static_cast<size_t>(c);
                    out[index] = shapeSample(in[index], curve);
                }
            }
            for (; f < frames; ++f) {
                const size_t index = f * stride + static_cast<size_t>(c);
                out[index] = shapeSample(in[index], curve);
            }
        } else if (in != out) {
            for (; f + 8 <= frames; f += 8) {
                for (size_t u = 0; u < 8; ++u) {
                    copySample(in, out, (f + u) * stride + static_cast<size_t>(c));
                }
            }
            for (; f < frames; ++f) {
                copySample(in, out, f * stride + static_cast<size_t>(c));
            }
        }
    }
}

}  // namespace distortion
}  // namespace KLOR
