// Divider limit at eight lanes (see division_limit.h). Built with -mavx2;
// nothing here is inline-shared with baseline code.
#include <immintrin.h>

#include "division_limit.h"

namespace klorbench {

void divideOnlyAvx2(const float* in, float* out, size_t count, float divisor) {
    const __m256 d = _mm256_set1_ps(divisor);
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_loadu_ps(in + i), d));
        _mm256_storeu_ps(out + i + 8, _mm256_div_ps(_mm256_loadu_ps(in + i + 8), d));
        _mm256_storeu_ps(out + i + 16, _mm256_div_ps(_mm256_loadu_ps(in + i + 16), d));
        _mm256_storeu_ps(out + i + 24, _mm256_div_ps(_mm256_loadu_ps(in + i + 24), d));
    }
    for (; i + 8 <= count; i += 8) {
        _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_loadu_ps(in + i), d));
    }
    for (; i < count; ++i) {
        out[i] = in[i] / divisor;
    }
}

}  // namespace klorbench
