// Division-only loops: per lane one load, one division by a constant
// vector and one store, unrolled like the read path's kernels. They are the
// divider's limit for a lane width: a shaping kernel of the same width can
// at best hide its other work behind them.
#pragma once

#include <cstddef>

namespace klorbench {

void divideOnlySse2(const float* in, float* out, size_t count, float divisor);
void divideOnlyAvx2(const float* in, float* out, size_t count, float divisor);
void divideOnlyAvx512(const float* in, float* out, size_t count, float divisor);

// The curve as a plain loop, one sample at a time, compiled at -O2 without
// vectorisation: what a straightforward implementation would cost.
void shapePlainScalar(const float* in, float* out, size_t count, float k, float gain);

}  // namespace klorbench
