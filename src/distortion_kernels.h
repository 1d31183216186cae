// Sample loops of the read path. Each kernel reproduces shapeSample() bit
// for bit; unselected samples are copied as bits (NaN payloads included).
// Kernels allocate nothing, lock nothing and make no system call.
//
// One set of two loops per instruction set:
//
//   shapeAll*     every sample of in[0..count) shaped, as one flat sequence
//   shapeMasked*  interleaved block of `frames` frames of `channels`
//                 channels: the sample of channel c is shaped when bit c of
//                 `selected` is set, copied bit for bit otherwise
//
// Contract shared by every kernel:
//   - in == out is allowed; otherwise the buffers must not overlap.
//   - `selected` is non-zero and has no bits at or above min(channels, 16),
//     and shapeMasked* is used only when some channel is left unselected.
//   - Results do not depend on the kernel: the vector kernels run the same
//     four operations per lane in the same order (no fused multiply-add, no
//     approximate reciprocal) and honour MXCSR exactly as scalar code does,
//     so they match the scalar loops under every rounding mode and with
//     flush-to-zero or denormals-are-zero set.
//
// The vector kernels live in files built for their instruction set
// (*_avx2.cpp, *_avx512.cpp). Those files keep every helper at internal
// linkage and use nothing inline from shared headers except plain data:
// an out-of-line copy of a shared inline function compiled there could be
// the one the linker keeps, and would then run on CPUs without the
// instructions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "distortion_curve.h"

namespace KLOR {
namespace distortion {

void shapeAllScalar(const float* in, float* out, size_t count, Curve curve);
void shapeMaskedScalar(const float* in, float* out, size_t frames, int channels,
                       uint32_t selected, Curve curve);

// 4 lanes; the x86-64 baseline, so always available.
void shapeAllSse2(const float* in, float* out, size_t count, Curve curve);
void shapeMaskedSse2(const float* in, float* out, size_t frames, int channels,
                     uint32_t selected, Curve curve);

// 8 lanes; needs AVX2 and the OS saving YMM state.
void shapeAllAvx2(const float* in, float* out, size_t count, Curve curve);
void shapeMaskedAvx2(const float* in, float* out, size_t frames, int channels,
                     uint32_t selected, Curve curve);

// 16 lanes; needs AVX-512 F, BW, DQ and VL and the OS saving ZMM and
// opmask state.
void shapeAllAvx512(const float* in, float* out, size_t count, Curve curve);
void shapeMaskedAvx512(const float* in, float* out, size_t frames, int channels,
                       uint32_t selected, Curve curve);

}  // namespace distortion
}  // namespace KLOR
