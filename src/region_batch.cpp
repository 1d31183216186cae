// The batch operations: several separately releasable blocks carved out of
// one allocation.
//
// Layout of the aggregate chunk when the library makes the result array
// (sizes 10, 100, 1000 -> one allocation of 1184 bytes):
//
//   element 0   element 1   element 2    array chunk
//   32 bytes    112 bytes   1008 bytes   32 bytes (24 for 3 pointers, padded),
//                                        plus any surplus of the aggregate
//
// With a caller's array the last element absorbs the surplus instead.
#include <cstring>

#include "klor/region_alloc.h"
#include "region_internal.h"
#include "region_layout.h"
#include "region_sanitize.h"

namespace KLOR {

namespace {

// Padded size of a request, false when the request cannot be served (its
// padding would wrap).
inline bool padded_request(uint64_t n, uint64_t* out) {
    if (n >= REGION_MAX_REQUEST) return false;
    *out = padded_size(n);
    return true;
}

}  // namespace

KLOR_REGION_RAW_ACCESS void** allocate_batch(region_state* m, uint64_t n, const uint64_t* sizes,
                                             uint32_t options, void** chunks) {
    const bool same_size = (options & REGION_BATCH_SAME_SIZE) != 0;
    uint64_t array_size = 0;
    if (chunks != nullptr) {
        if (n == 0) return chunks;
    } else {
        if (n == 0) {
            // A minimal block stands for an empty array.
            void* mem = allocate_chunk(m, 0);
            if (mem != nullptr) region_check::hand_out(mem, 0);
            return static_cast<void**>(mem);
        }
        uint64_t array_bytes;
        if (__builtin_mul_overflow(n, uint64_t(8), &array_bytes)) return nullptr;
        if (!padded_request(array_bytes, &array_size)) return nullptr;
    }

    // Totals that wrap around 2^64 are refused before anything is allocated.
    uint64_t element_size = 0;
    uint64_t total = 0;
    if (same_size) {
        if (!padded_request(sizes[0], &element_size)) return nullptr;
        if (__builtin_mul_overflow(n, element_size, &total)) return nullptr;
    } else {
        for (uint64_t i = 0; i < n; ++i) {
            uint64_t padded;
            if (!padded_request(sizes[i], &padded)) return nullptr;
            if (__builtin_add_overflow(total, padded, &total)) return nullptr;
        }
    }
    uint64_t whole;
    if (__builtin_add_overflow(total, array_size, &whole)) return nullptr;

    // One chunk of at least total + array_size bytes.
    void* mem = allocate_chunk(m, whole - REGION_CHUNK_OVERHEAD);
    if (mem == nullptr) return nullptr;
    bind_region_params();
    region_chunk* p = mem_to_chunk(mem);
    uint64_t rem = chunk_size(p);

    const bool zeroed = (options & REGION_BATCH_ZEROED) != 0;
    if (zeroed) {
        const uint64_t span = rem - REGION_CHUNK_OVERHEAD - array_size;
        region_check::expose(mem, span);
        std::memset(mem, 0, span);
        region_check::conceal(mem, span);
    }
    if (chunks == nullptr) {
        region_chunk* array_chunk = chunk_plus<region_chunk>(p, total);
        set_size_flags(array_chunk, (rem - total) | REGION_FLAG_BITS);
        chunks = static_cast<void**>(chunk_to_mem(array_chunk));
        region_check::hand_out(chunks, 8 * n);
        rem = total;
    }
    for (uint64_t i = 0; i < n; ++i) {
        chunks[i] = chunk_to_mem(p);
        const uint64_t requested = same_size ? sizes[0] : sizes[i];
        if (i + 1 < n) {
            const uint64_t size = same_size ? element_size : padded_size(sizes[i]);
            rem -= size;
            set_size_flags(p, size | REGION_FLAG_BITS);
            region_check::hand_out(chunks[i], requested, zeroed);
            p = chunk_plus<region_chunk>(p, size);
        } else {
            set_size_flags(p, rem | REGION_FLAG_BITS);
            region_check::hand_out(chunks[i], requested, zeroed);
        }
    }
    return chunks;
}

KLOR_REGION_RAW_ACCESS void** mspace_independent_calloc(void* msp, size_t count, size_t size,
                                                        void** chunks) {
    const uint64_t sizes[1] = {size};
    return allocate_batch(static_cast<region_state*>(msp), count, sizes,
                          REGION_BATCH_SAME_SIZE | REGION_BATCH_ZEROED, chunks);
}

KLOR_REGION_RAW_ACCESS void** mspace_independent_comalloc(void* msp, size_t count, size_t* sizes,
                                                          void** chunks) {
    static_assert(sizeof(size_t) == sizeof(uint64_t), "sizes are 64-bit");
    return allocate_batch(static_cast<region_state*>(msp), count,
                          reinterpret_cast<const uint64_t*>(sizes), 0, chunks);
}

}  // namespace KLOR
