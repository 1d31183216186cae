// Divider limit at sixteen lanes (see division_limit.h). Built with
// -mavx512f/bw/dq/vl; nothing here is inline-shared with baseline code.
#include <immintrin.h>

#include "division_limit.h"

namespace klorbench {

void divideOnlyAvx512(const float* in, float* out, size_t count, float divisor) {
    const __m512 d = _mm512_set1_ps(divisor);
    size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        _mm512_storeu_ps(out + i, _mm512_div_ps(_mm512_loadu_ps(in + i), d));
        _mm512_storeu_ps(out + i + 16, _mm512_div_ps(_mm512_loadu_ps(in + i + 16), d));
        _mm512_storeu_ps(out + i + 32, _mm512_div_ps(_mm512_loadu_ps(in + i + 32), d));
        _mm512_storeu_ps(out + i + 48, _mm512_div_ps(_mm512_loadu_ps(in + i + 48), d));
    }
    for (; i + 16 <= count; i += 16) {
        _mm512_storeu_ps(out + i, _mm512_div_ps(_mm512_loadu_ps(in + i), d));
    }
    if (i < count) {
        const __mmask16 tail = static_cast<__mmask16>((1u << (count - i)) - 1u);
        _mm512_mask_storeu_ps(out + i, tail, _mm512_div_ps(_mm512_maskz_loadu_ps(tail, in + i), d));
    }
}

}  // namespace klorbench
