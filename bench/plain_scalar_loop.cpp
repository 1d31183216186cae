// The curve as anyone would first write it (see division_limit.h). Built
// at -O2 with vectorisation off, so it stays one sample per iteration.
#include <cmath>

#include "division_limit.h"

namespace klorbench {

void shapePlainScalar(const float* in, float* out, size_t count, float k, float gain) {
    for (size_t i = 0; i < count; ++i) {
        const float x = in[i];
        out[i] = (gain * x) / (std::fabs(x) * k + 1.0f);
    }
}

}  // namespace klorbench
