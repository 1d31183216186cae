// The pool's one report: an allocation that could not be served.
#include <cstdio>

#include "klor/klor_global.h"
#include "klor_memory_internal.h"

namespace KLOR {
namespace pool_detail {

// Formatted on the stack with a bounded formatter: a file text too long for
// the buffer is cut, never overrun, and nothing is allocated on this path.
// Arguments: result 0, severity 1, "file (line)", the length the caller asked
// for sign-extended to 64 bits.
void reportAllocationFailure(const char* file, int line, int length) {
    const KLOR_ERROR_CALLBACK callback = gGlobal->errorCallback;
    if (callback == nullptr) return;
    char text[kReportBufferBytes];
    std::snprintf(text, sizeof(text), "%s (%d)", file, line);
    callback(0, 1, text, static_cast<int64_t>(length));
}

}  // namespace pool_detail
}  // namespace KLOR
