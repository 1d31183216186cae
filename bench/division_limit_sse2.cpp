// Divider limit at four lanes (see division_limit.h).
#include <emmintrin.h>

#include "division_limit.h"

namespace klorbench {

void divideOnlySse2(const float* in, float* out, size_t count, float divisor) {
    const __m128 d = _mm_set1_ps(divisor);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        _mm_storeu_ps(out + i, _mm_div_ps(_mm_loadu_ps(in + i), d));
        _mm_storeu_ps(out + i + 4, _mm_div_ps(_mm_loadu_ps(in + i + 4), d));
        _mm_storeu_ps(out + i + 8, _mm_div_ps(_mm_loadu_ps(in + i + 8), d));
        _mm_storeu_ps(out + i + 12, _mm_div_ps(_mm_loadu_ps(in + i + 12), d));
    }
    for (; i + 4 <= count; i += 4) {
        _mm_storeu_ps(out + i, _mm_div_ps(_mm_loadu_ps(in + i), d));
    }
    for (; i < count; ++i) {
        out[i] = in[i] / divisor;
    }
}

}  // namespace klorbench
