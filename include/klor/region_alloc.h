// The region allocator: a boundary-tag heap over one fixed block of caller
// memory. No lock inside (callers serialise), no system calls, never grows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klor/klor_export.h"
#include "klor/region_params.h"

namespace KLOR {

// Statistics returned by mspace_mallinfo: ten unsigned 64-bit fields.
struct region_stats {
    uint64_t covered_bytes;
    uint64_t free_chunks;
    uint64_t reserved1;
    uint64_t reserved2;
    uint64_t outside_bytes;
    uint64_t peak_footprint;
    uint64_t reserved3;
    uint64_t used_bytes;
    uint64_t free_bytes;
    uint64_t top_bytes;
};
static_assert(sizeof(region_stats) == 80, "region_stats layout");

KLOR_EXPORT void*  create_mspace_with_base(void* base, size_t capacity, int locked);
KLOR_EXPORT void*  mspace_malloc(void* msp, size_t bytes);
KLOR_EXPORT void   mspace_free(void* msp, void* mem);
KLOR_EXPORT void*  mspace_realloc(void* msp, void* mem, size_t bytes);
KLOR_EXPORT void*  mspace_calloc(void* msp, size_t count, size_t size);
KLOR_EXPORT void*  mspace_memalign(void* msp, size_t alignment, size_t bytes);
KLOR_EXPORT void** mspace_independent_calloc(void* msp, size_t count, size_t size, void** chunks);
KLOR_EXPORT void** mspace_independent_comalloc(void* msp, size_t count, size_t* sizes,
                                               void** chunks);
KLOR_EXPORT int    mspace_trim(void* msp, size_t pad);
KLOR_EXPORT size_t mspace_footprint(void* msp);
KLOR_EXPORT size_t mspace_max_footprint(void* msp);
KLOR_EXPORT region_stats mspace_mallinfo(void* msp);
KLOR_EXPORT int    mspace_mallopt(int param, int value);

}  // namespace KLOR
