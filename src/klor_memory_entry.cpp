// Exported ways into Global.memPool for code that holds no pool: memory
// type 0 (main account), arguments passed through, results unchanged.
// KLOR::gGlobal must be set before any of them is called.
#include "klor/klor_global.h"
#include "klor/klor_memory.h"
#include "klor/klor_string.h"

namespace {

// Tag of KLOR_strdup's request, as failure reports show it.
constexpr char kStringTagFile[] = "../src/klor_string";
constexpr int kStrdupLine = 242;

KLOR::MemPool& globalPool() { return *KLOR::gGlobal->memPool; }

}  // namespace

extern "C" {

void* KLOR_Memory_allocC(int length, const char* file, int line) {
    return globalPool().alloc(length, file, line, 0, false);
}

void* KLOR_Memory_callocC(int length, const char* file, int line) {
    return globalPool().calloc(length, file, line, 0);
}

void* KLOR_Memory_reallocC(void* ptr, int length, const char* file, int line) {
    return globalPool().realloc(ptr, length, file, line, 0);
}

void KLOR_Memory_freeC(void* ptr, const char* file, int line) {
    globalPool().free(ptr, file, line, 0);
}

// The copy is released with KLOR_Memory_freeC or the pool's free.
char* KLOR_strdup(const char* text) {
    const int length = KLOR_strlen(text);
    auto copy = static_cast<char*>(globalPool().alloc(length + 1, kStringTagFile, kStrdupLine, 0, false));
    if (copy != nullptr) KLOR_strcpy(copy, text);
    return copy;
}

}  // extern "C"
