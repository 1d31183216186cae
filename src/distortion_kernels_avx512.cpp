// AVX-512 kernels: sixteen lanes. Opmask registers make the edges simple:
// the tail of a block is one masked load and one masked store (masked-off
// lanes neither fault nor get written), and a mixed mask is a merge-masked
// division whose unselected lanes keep the input register's bits.
//
// Built with -mavx512f/bw/dq/vl: nothing here may be shared with code that
// runs on CPUs without them (see distortion_kernels.h).
#include <immintrin.h>

#include "distortion_kernels.h"
#include "distortion_kernels_lanes.h"

namespace KLOR {
namespace distortion {
namespace {

constexpr int kLanes = 16;
constexpr PatternWalks kWalks = patternWalks(kLanes);

struct Shaper {
    __m512 k;
    __m512 gain;
    __m512 one;
    __m512 magnitude;  // every bit but the sign
};

inline Shaper shaperFor(Curve curve) {
    return Shaper{_mm512_set1_ps(curve.k), _mm512_set1_ps(curve.gain), _mm512_set1_ps(1.0f),
                  _mm512_castsi512_ps(_mm512_set1_epi32(0x7FFFFFFF))};
}

// p = gain * x; a = |x|; q = (a * k) + 1; y = p / q.
inline __m512 shape(__m512 x, const Shaper& s) {
    const __m512 p = _mm512_mul_ps(s.gain, x);
    const __m512 a = _mm512_and_ps(x, s.magnitude);
    const __m512 q = _mm512_add_ps(_mm512_mul_ps(a, s.k), s.one);
    return _mm512_div_ps(p, q);
}

// As shape(), but lanes outside `lanes` are x's bits.
inline __m512 shapeSelected(__m512 x, __mmask16 lanes, const Shaper& s) {
    const __m512 p = _mm512_mul_ps(s.gain, x);
    const __m512 a = _mm512_and_ps(x, s.magnitude);
    const __m512 q = _mm512_add_ps(_mm512_mul_ps(a, s.k), s.one);
    return _mm512_mask_div_ps(x, lanes, p, q);
}

// Lanes 0 .. n-1, for n < 16.
inline __mmask16 firstLanes(size_t n) {
    return static_cast<__mmask16>((1u << n) - 1u);
}

inline void copyBits(const float* in, float* out, size_t count) {
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        _mm512_storeu_ps(out + i, _mm512_loadu_ps(in + i));
    }
    if (i < count) {
        const __mmask16 tail = firstLanes(count - i);
        _mm512_mask_storeu_ps(out + i, tail, _mm512_maskz_loadu_ps(tail, in + i));
    }
}

// channels >= 16: only the first 16 samples of a frame can be selected, and
// they fill exactly one vector. The block is copied first (out of place).
void shapeFrameHeads(const float* in, float* out, size_t frames, size_t channels,
                     uint32_t selected, const Shaper& s) {
    if (in != out) {
        copyBits(in, out, frames * channels);
    }
    const __mmask16 lanes = static_cast<__mmask16>(selected);
    for (size_t f = 0; f < frames; ++f) {
        const __m512 x = _mm512_loadu_ps(in + f * channels);
        _mm512_storeu_ps(out + f * channels, shapeSelected(x, lanes, s));
    }
}

}  // namespace

void shapeAllAvx512(const float* in, float* out, size_t count, Curve curve) {
    const Shaper s = shaperFor(curve);
    size_t i = 0;
    for (; i + kUnroll * kLanes <= count; i += kUnroll * kLanes) {
        const __m512 x0 = _mm512_loadu_ps(in + i);
        const __m512 x1 = _mm512_loadu_ps(in + i + kLanes);
        const __m512 x2 = _mm512_loadu_ps(in + i + 2 * kLanes);
        const __m512 x3 = _mm512_loadu_ps(in + i + 3 * kLanes);
        _mm512_storeu_ps(out + i, shape(x0, s));
        _mm512_storeu_ps(out + i + kLanes, shape(x1, s));
        _mm512_storeu_ps(out + i + 2 * kLanes, shape(x2, s));
        _mm512_storeu_ps(out + i + 3 * kLanes, shape(x3, s));
    }
    for (; i + kLanes <= count; i += kLanes) {
        _mm512_storeu_ps(out + i, shape(_mm512_loadu_ps(in + i), s));
    }
    if (i < count) {
        const __mmask16 tail = firstLanes(count - i);
        const __m512 x = _mm512_maskz_loadu_ps(tail, in + i);
        _mm512_mask_storeu_ps(out + i, tail, shape(x, s));
    }
}

void shapeMaskedAvx512(const float* in, float* out, size_t frames, int channels,
                       uint32_t selected, Curve curve) {
    const size_t stride = static_cast<size_t>(channels);
    const Shaper s = shaperFor(curve);
    if (channels >= kMaskedChannels) {
        shapeFrameHeads(in, out, frames, stride, selected, s);
        return;
    }
    const size_t count = frames * stride;

    const uint64_t repeated = repeatedChannelBits(selected, channels);
    const PatternWalk walk = kWalks.byChannels[channels];
    const int period = walk.period;
    const size_t vectors = (count + kLanes - 1) / kLanes;  // the tail counts
    const int wanted = period + kUnroll - 1;
    const int built = vectors < static_cast<size_t>(wanted) ? static_cast<int>(vectors) : wanted;
    // pattern[e]: the lanes of vector e of the block (distortion_kernels_lanes.h).
    __mmask16 pattern[kMaxPatternEntries];
    for (int e = 0, phase = 0; e < built; ++e) {
        pattern[e] = static_cast<__mmask16>(laneBits(repeated, phase, kLanes));
        phase = nextPhase(phase, walk.step, channels);
    }

    size_t i = 0;
    int j = 0;
    for (; i + kUnroll * kLanes <= count; i += kUnroll * kLanes) {
        const __m512 x0 = _mm512_loadu_ps(in + i);
        const __m512 x1 = _mm512_loadu_ps(in + i + kLanes);
        const __m512 x2 = _mm512_loadu_ps(in + i + 2 * kLanes);
        const __m512 x3 = _mm512_loadu_ps(in + i + 3 * kLanes);
        _mm512_storeu_ps(out + i, shapeSelected(x0, pattern[j], s));
        _mm512_storeu_ps(out + i + kLanes, shapeSelected(x1, pattern[j + 1], s));
        _mm512_storeu_ps(out + i + 2 * kLanes, shapeSelected(x2, pattern[j + 2], s));
        _mm512_storeu_ps(out + i + 3 * kLanes, shapeSelected(x3, pattern[j + 3], s));
        j += walk.advance;
        if (j >= period) {
            j -= period;
        }
    }
    for (; i + kLanes <= count; i += kLanes) {
        const __m512 x = _mm512_loadu_ps(in + i);
        _mm512_storeu_ps(out + i, shapeSelected(x, pattern[j], s));
        if (++j == period) {
            j = 0;
        }
    }
    if (i < count) {
        const __mmask16 tail = firstLanes(count - i);
        const __m512 x = _mm512_maskz_loadu_ps(tail, in + i);
        _mm512_mask_storeu_ps(out + i, tail, shapeSelected(x, pattern[j], s));
    }
}

}  // namespace distortion
}  // namespace KLOR
