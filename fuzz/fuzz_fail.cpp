// The targets' one way of reporting a mismatch: print and abort, which
// libFuzzer (and the corpus replay) turn into a failing input.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"

namespace klor_fuzz {

namespace {

uint64_t gOperations = 0;

void printOperations() { std::fprintf(stderr, "klor fuzz: %" PRIu64 " operations\n", gOperations); }

}  // namespace

void countOperations(uint64_t operations) {
    if (gOperations == 0) std::atexit(&printOperations);
    gOperations += operations;
}

void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("klor fuzz: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

}  // namespace klor_fuzz
