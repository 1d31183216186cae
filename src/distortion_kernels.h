// Sample loops of the read path. Each kernel reproduces shapeSample() bit
// for bit; unselected samples are copied as bits (NaN payloads included).
// Kernels allocate nothing, lock nothing and call nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "distortion_curve.h"

namespace KLOR {
namespace distortion {

// Shapes in[0..count) into out[0..count) as one flat sequence.
// in == out is allowed.
void shapeAllScalar(const float* in, float* out, size_t count, Curve curve);

// Interleaved block of `frames` frames of `channels` channels: the sample of
// channel c is shaped when bit c of `selected` is set, copied otherwise.
// `selected` has no bits at or above min(channels, 16). in == out is allowed.
void shapeMaskedScalar(const float* in, float* out, size_t frames, int channels,
                       uint32_t selected, Curve curve);

}  // namespace distortion
}  // namespace KLOR
