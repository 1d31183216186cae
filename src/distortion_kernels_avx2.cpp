// AVX2 kernels: eight lanes. Same plan as the SSE2 kernels: four vectors
// per step, the last whole vector read first and shaped again at the end
// when the count is not a multiple of eight, blocks shorter than one vector
// to the scalar loop, and mixed masks blended lane by lane (blendv selects
// by the mask's sign bit and moves the other lane's bits untouched).
//
// Built with -mavx2 only: nothing here may be shared with code that runs
// on CPUs without AVX2 (see distortion_kernels.h).
#include <immintrin.h>

#include <cstring>

#include "distortion_kernels.h"
#include "distortion_kernels_lanes.h"

namespace KLOR {
namespace distortion {
namespace {

constexpr int kLanes = 8;
constexpr PatternWalks kWalks = patternWalks(kLanes);

struct Shaper {
    __m256 k;
    __m256 gain;
    __m256 one;
    __m256 magnitude;  // every bit but the sign
};

inline Shaper shaperFor(Curve curve) {
    return Shaper{_mm256_set1_ps(curve.k), _mm256_set1_ps(curve.gain), _mm256_set1_ps(1.0f),
                  _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF))};
}

// p = gain * x; a = |x|; q = (a * k) + 1; y = p / q.
inline __m256 shape(__m256 x, const Shaper& s) {
    const __m256 p = _mm256_mul_ps(s.gain, x);
    const __m256 a = _mm256_and_ps(x, s.magnitude);
    const __m256 q = _mm256_add_ps(_mm256_mul_ps(a, s.k), s.one);
    return _mm256_div_ps(p, q);
}

// Lanes whose mask sign bit is set take `shaped`, the others keep `input`.
inline __m256 blend(__m256 lanes, __m256 shaped, __m256 input) {
    return _mm256_blendv_ps(input, shaped, lanes);
}

// Bit i of `bits` -> lane i all ones.
inline __m256 laneMask(uint32_t bits) {
    const __m256i lane = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i spread = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lane);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(spread, lane));
}

inline void copyBits(const float* in, float* out, size_t count) {
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        _mm256_storeu_ps(out + i, _mm256_loadu_ps(in + i));
    }
    for (; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, in + i, sizeof bits);
        std::memcpy(out + i, &bits, sizeof bits);
    }
}

// channels >= 16: only the first 16 samples of a frame can be selected.
// The block is copied first (out of place), then each frame's head is
// shaped one vector at a time, skipping vectors with no selected lane.
void shapeFrameHeads(const float* in, float* out, size_t frames, size_t channels,
                     uint32_t selected, const Shaper& s) {
    if (in != out) {
        copyBits(in, out, frames * channels);
    }
    __m256 lanes[kMaskedChannels / kLanes];
    size_t offsets[kMaskedChannels / kLanes];
    int used = 0;
    for (int first = 0; first < kMaskedChannels; first += kLanes) {
        const uint32_t bits = (selected >> first) & ((1u << kLanes) - 1u);
        if (bits != 0) {
            lanes[used] = laneMask(bits);
            offsets[used] = static_cast<size_t>(first);
            ++used;
        }
    }
    for (size_t f = 0; f < frames; ++f) {
        const float* src = in + f * channels;
        float* dst = out + f * channels;
        for (int u = 0; u < used; ++u) {
            const __m256 x = _mm256_loadu_ps(src + offsets[u]);
            _mm256_storeu_ps(dst + offsets[u], blend(lanes[u], shape(x, s), x));
        }
    }
}

}  // namespace

void shapeAllAvx2(const float* in, float* out, size_t count, Curve curve) {
    if (count < kLanes) {
        shapeAllScalar(in, out, count, curve);
        return;
    }
    const Shaper s = shaperFor(curve);
    const size_t lastStart = count - kLanes;
    const __m256 last = _mm256_loadu_ps(in + lastStart);
    size_t i = 0;
    for (; i + kUnroll * kLanes <= count; i += kUnroll * kLanes) {
        const __m256 x0 = _mm256_loadu_ps(in + i);
        const __m256 x1 = _mm256_loadu_ps(in + i + kLanes);
        const __m256 x2 = _mm256_loadu_ps(in + i + 2 * kLanes);
        const __m256 x3 = _mm256_loadu_ps(in + i + 3 * kLanes);
        _mm256_storeu_ps(out + i, shape(x0, s));
        _mm256_storeu_ps(out + i + kLanes, shape(x1, s));
        _mm256_storeu_ps(out + i + 2 * kLanes, shape(x2, s));
        _mm256_storeu_ps(out + i + 3 * kLanes, shape(x3, s));
    }
    for (; i + kLanes <= count; i += kLanes) {
        _mm256_storeu_ps(out + i, shape(_mm256_loadu_ps(in + i), s));
    }
    if (i < count) {
        _mm256_storeu_ps(out + lastStart, shape(last, s));
    }
}

void shapeMaskedAvx2(const float* in, float* out, size_t frames, int channels,
                     uint32_t selected, Curve curve) {
    const size_t stride = static_cast<size_t>(channels);
    const Shaper s = shaperFor(curve);
    if (channels >= kMaskedChannels) {
        shapeFrameHeads(in, out, frames, stride, selected, s);
        return;
    }
    const size_t count = frames * stride;
    if (count < kLanes) {
        shapeMaskedScalar(in, out, frames, channels, selected, curve);
        return;
    }

    const uint64_t repeated = repeatedChannelBits(selected, channels);
    const PatternWalk walk = kWalks.byChannels[channels];
    const int period = walk.period;
    const size_t vectors = count / kLanes;
    const int wanted = period + kUnroll - 1;
    const int built = vectors < static_cast<size_t>(wanted) ? static_cast<int>(vectors) : wanted;
    // pattern[e]: the lanes of vector e of the block (distortion_kernels_lanes.h).
    __m256 pattern[kMaxPatternEntries];
    for (int e = 0, phase = 0; e < built; ++e) {
        pattern[e] = laneMask(laneBits(repeated, phase, kLanes));
        phase = nextPhase(phase, walk.step, channels);
    }

    const size_t lastStart = count - kLanes;
    const __m256 last = _mm256_loadu_ps(in + lastStart);
    const __m256 lastLanes =
        laneMask(laneBits(repeated, lastVectorPhase(walk.step, channels), kLanes));
    size_t i = 0;
    int j = 0;
    for (; i + kUnroll * kLanes <= count; i += kUnroll * kLanes) {
        const __m256 x0 = _mm256_loadu_ps(in + i);
        const __m256 x1 = _mm256_loadu_ps(in + i + kLanes);
        const __m256 x2 = _mm256_loadu_ps(in + i + 2 * kLanes);
        const __m256 x3 = _mm256_loadu_ps(in + i + 3 * kLanes);
        _mm256_storeu_ps(out + i, blend(pattern[j], shape(x0, s), x0));
        _mm256_storeu_ps(out + i + kLanes, blend(pattern[j + 1], shape(x1, s), x1));
        _mm256_storeu_ps(out + i + 2 * kLanes, blend(pattern[j + 2], shape(x2, s), x2));
        _mm256_storeu_ps(out + i + 3 * kLanes, blend(pattern[j + 3], shape(x3, s), x3));
        j += walk.advance;
        if (j >= period) {
            j -= period;
        }
    }
    for (; i + kLanes <= count; i += kLanes) {
        const __m256 x = _mm256_loadu_ps(in + i);
        _mm256_storeu_ps(out + i, blend(pattern[j], shape(x, s), x));
        if (++j == period) {
            j = 0;
        }
    }
    if (i < count) {
        _mm256_storeu_ps(out + lastStart, blend(lastLanes, shape(last, s), last));
    }
}

}  // namespace distortion
}  // namespace KLOR
