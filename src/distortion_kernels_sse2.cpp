// SSE2 kernels: four lanes, the x86-64 baseline.
//
// Flat pass: four vectors per step while they fit, then single vectors.
// When the count is not a multiple of four, the last four samples are read
// before anything is written and shaped again at the very end; in place,
// the samples they overlap are then rewritten with the bits they already
// hold, since every output depends only on the input at its own index.
// Blocks shorter than one vector go to the scalar loop.
//
// Mixed masks: every lane is shaped and the result is blended with the
// input by a lane mask (see distortion_kernels_lanes.h), so unselected
// lanes keep the input register's bits, NaN payloads included.
#include <emmintrin.h>

#include <cstring>

#include "distortion_kernels.h"
#include "distortion_kernels_lanes.h"

namespace KLOR {
namespace distortion {
namespace {

constexpr int kLanes = 4;
constexpr PatternWalks kWalks = patternWalks(kLanes);

struct Shaper {
    __m128 k;
    __m128 gain;
    __m128 one;
    __m128 magnitude;  // every bit but the sign
};

inline Shaper shaperFor(Curve curve) {
    return Shaper{_mm_set1_ps(curve.k), _mm_set1_ps(curve.gain), _mm_set1_ps(1.0f),
                  _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF))};
}

// p = gain * x; a = |x|; q = (a * k) + 1; y = p / q.
inline __m128 shape(__m128 x, const Shaper& s) {
    const __m128 p = _mm_mul_ps(s.gain, x);
    const __m128 a = _mm_and_ps(x, s.magnitude);
    const __m128 q = _mm_add_ps(_mm_mul_ps(a, s.k), s.one);
    return _mm_div_ps(p, q);
}

// Bitwise: all-ones lanes take `shaped`, zero lanes keep `input`.
inline __m128 blend(__m128 lanes, __m128 shaped, __m128 input) {
    return _mm_or_ps(_mm_and_ps(lanes, shaped), _mm_andnot_ps(lanes, input));
}

// Bit i of `bits` -> lane i all ones.
inline __m128 laneMask(uint32_t bits) {
    const __m128i lane = _mm_set_epi32(8, 4, 2, 1);
    const __m128i spread = _mm_and_si128(_mm_set1_epi32(static_cast<int>(bits)), lane);
    return _mm_castsi128_ps(_mm_cmpeq_epi32(spread, lane));
}

inline void copyBits(const float* in, float* out, size_t count) {
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        _mm_storeu_ps(out + i, _mm_loadu_ps(in + i));
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
    __m128 lanes[kMaskedChannels / kLanes];
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
            const __m128 x = _mm_loadu_ps(src + offsets[u]);
            _mm_storeu_ps(dst + offsets[u], blend(lanes[u], shape(x, s), x));
        }
    }
}

}  // namespace

void shapeAllSse2(const float* in, float* out, size_t count, Curve curve) {
    if (count < kLanes) {
        shapeAllScalar(in, out, count, curve);
        return;
    }
    const Shaper s = shaperFor(curve);
    const size_t lastStart = count - kLanes;
    const __m128 last = _mm_loadu_ps(in + lastStart);
    size_t i = 0;
    for (; i + kUnroll * kLanes <= count; i += kUnroll * kLanes) {
        const __m128 x0 = _mm_loadu_ps(in + i);
        const __m128 x1 = _mm_loadu_ps(in + i + kLanes);
        const __m128 x2 = _mm_loadu_ps(in + i + 2 * kLanes);
        const __m128 x3 = _mm_loadu_ps(in + i + 3 * kLanes);
        _mm_storeu_ps(out + i, shape(x0, s));
        _mm_storeu_ps(out + i + kLanes, shape(x1, s));
        _mm_storeu_ps(out + i + 2 * kLanes, shape(x2, s));
        _mm_storeu_ps(out + i + 3 * kLanes, shape(x3, s));
    }
    for (; i + kLanes <= count; i += kLanes) {
        _mm_storeu_ps(out + i, shape(_mm_loadu_ps(in + i), s));
    }
    if (i < count) {
        _mm_storeu_ps(out + lastStart, shape(last, s));
    }
}

void shapeMaskedSse2(const float* in, float* out, size_t frames, int channels,
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
    __m128 pattern[kMaxPatternEntries];
    for (int e = 0, phase = 0; e < built; ++e) {
        pattern[e] = laneMask(laneBits(repeated, phase, kLanes));
        phase = nextPhase(phase, walk.step, channels);
    }

    const size_t lastStart = count - kLanes;
    const __m128 last = _mm_loadu_ps(in + lastStart);
    const __m128 lastLanes =
        laneMask(laneBits(repeated, lastVectorPhase(walk.step, channels), kLanes));
    size_t i = 0;
    int j = 0;
    for (; i + kUnroll * kLanes <= count; i += kUnroll * kLanes) {
        const __m128 x0 = _mm_loadu_ps(in + i);
        const __m128 x1 = _mm_loadu_ps(in + i + kLanes);
        const __m128 x2 = _mm_loadu_ps(in + i + 2 * kLanes);
        const __m128 x3 = _mm_loadu_ps(in + i + 3 * kLanes);
        _mm_storeu_ps(out + i, blend(pattern[j], shape(x0, s), x0));
        _mm_storeu_ps(out + i + kLanes, blend(pattern[j + 1], shape(x1, s), x1));
        _mm_storeu_ps(out + i + 2 * kLanes, blend(pattern[j + 2], shape(x2, s), x2));
        _mm_storeu_ps(out + i + 3 * kLanes, blend(pattern[j + 3], shape(x3, s), x3));
        j += walk.advance;
        if (j >= period) {
            j -= period;
        }
    }
    for (; i + kLanes <= count; i += kLanes) {
        const __m128 x = _mm_loadu_ps(in + i);
        _mm_storeu_ps(out + i, blend(pattern[j], shape(x, s), x));
        if (++j == period) {
            j = 0;
        }
    }
    if (i < count) {
        _mm_storeu_ps(out + lastStart, blend(lastLanes, shape(last, s), last));
    }
}

}  // namespace distortion
}  // namespace KLOR
