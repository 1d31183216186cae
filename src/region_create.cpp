// Region creation, the top chunk's set-up, trimming and the footprint queries.
#include <cstring>

#include "klor/region_alloc.h"
#include "region_internal.h"
#include "region_layout.h"
#include "region_sanitize.h"

namespace KLOR {

KLOR_REGION_RAW_ACCESS void init_top_chunk(region_state* m, region_chunk* p, uint64_t size) {
    m->top = p;
    m->top_size = size;
    set_size_flags(p, size | REGION_PREV_IN_USE);
    // The trailer's size word; its own flag bits stay clear.
    set_size_flags(chunk_plus<region_chunk>(p, size), REGION_TRAILER_BYTES);
    m->trim_limit = bind_region_params()->trim_threshold;
}

int trim_region(region_state* m, uint64_t pad) {
    if (pad >= REGION_MAX_REQUEST || m->top == nullptr) return 0;
    m->trim_limit = ~uint64_t(0);
    return 0;
}

// Bounds: 984 < Q < 2^64 - (984 + page_size); with the default page size the
// first capacity refused at the top is 18,446,744,073,709,546,536.
//
// The region itself is [B + s, E) with E = (B + Q) rounded down to 8, so that
// the top chunk's size is always a multiple of 8 and never reaches into its
// flag bits. It must hold the first chunk, the trailer and a top chunk of at
// least 8 bytes: E - (B + s) >= 992. Example: B = 8k + 3, Q = 988 -> s = 5,
// E = B + 987, E - (B + s) = 982 -> null.
KLOR_REGION_RAW_ACCESS void* create_mspace_with_base(void* base, size_t capacity, int locked) {
    (void)locked;  // no lock inside the allocator
    const region_params* params = bind_region_params();
    const uint64_t b = address_of(base);
    const uint64_t q = capacity;
    if (q <= REGION_OVERHEAD_BYTES || q >= uint64_t(0) - (REGION_OVERHEAD_BYTES + params->page_size)) {
        return nullptr;
    }
    if (b + q < b) return nullptr;  // would wrap around the address space
    const uint64_t first = (b + 7) & ~uint64_t(7);
    const uint64_t end = (b + q) & ~uint64_t(7);
    if (end - first < REGION_OVERHEAD_BYTES + 8) return nullptr;

    // Earlier regions over the same memory may have left it poisoned.
    region_check::expose(chunk_at<void>(first), end - first);

    region_state* m = chunk_at<region_state>(first + REGION_MEM_OFFSET);
    std::memset(m, 0, REGION_FIRST_CHUNK_BYTES);  // the record and the 8 bytes after it
    set_size_flags(chunk_at(first), REGION_FIRST_CHUNK_SIZE_FLAGS);

    m->max_footprint = q;
    m->footprint = q;
    m->segment.size = q;
    m->lowest_address = b;
    m->segment.base = b;
    m->magic = params->magic;
    m->flags = params->default_flags | REGION_FLAGS_ADDED;
    for (uint32_t i = 0; i < REGION_SMALL_BINS; ++i) {
        region_free_chunk* head = small_bin_head(m, i);
        head->next_free = head;
        head->prev_free = head;
    }
    region_chunk* top = chunk_at(first + REGION_FIRST_CHUNK_BYTES);
    init_top_chunk(m, top, end - REGION_TRAILER_BYTES - address_of(top));
    m->segment.flags = REGION_SEGMENT_CALLER_OWNED;

    // From the top chunk's size word on, nothing belongs to a caller yet.
    region_check::conceal(&top->size_flags, end - address_of(&top->size_flags));
    return m;
}

int mspace_trim(void* msp, size_t pad) {
    bind_region_params();
    return trim_region(static_cast<region_state*>(msp), pad);
}

size_t mspace_footprint(void* msp) { return static_cast<region_state*>(msp)->footprint; }

size_t mspace_max_footprint(void* msp) { return static_cast<region_state*>(msp)->max_footprint; }

}  // namespace KLOR
