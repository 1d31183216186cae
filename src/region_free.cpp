// mspace_free: release with backward and forward merging.
//
// Every check ends the release silently: a chunk below lowest_address, one
// not in use (so a second release of a pointer does nothing), one reaching
// past the region's end, a previous chunk below lowest_address, a chunk not
// below its successor, a successor whose bit 0 is clear. A backward merge made
// before a later check fails stays made.
#include "klor/region_alloc.h"
#include "region_internal.h"
#include "region_layout.h"
#include "region_sanitize.h"

namespace KLOR {

KLOR_REGION_RAW_ACCESS uint64_t release_chunk(region_state* m, void* mem) {
    bind_region_params();
    region_chunk* p = mem_to_chunk(mem);
    if (below_lowest(m, p) || !chunk_in_use(p)) return 0;
    uint64_t s = chunk_size(p);
    if (chunk_reaches_past_end(m, p, s)) return 0;
    const uint64_t usable = s - REGION_CHUNK_OVERHEAD;
    region_chunk* n = chunk_plus<region_chunk>(p, s);

    if (!prev_in_use(p)) {
        const uint64_t prev_size = p->prev_size;
        region_chunk* q = chunk_at(address_of(p) - prev_size);
        if (below_lowest(m, q)) return 0;
        s += prev_size;
        p = q;
        if (p != m->victim) {
            unlink_free_chunk(m, p, prev_size);
        } else if ((n->size_flags & REGION_FLAG_BITS) == REGION_FLAG_BITS) {
            // The victim grows over the released chunk; its successor is in use.
            m->victim_size = s;
            clear_prev_in_use(n);
            n->prev_size = s;
            set_size_flags(p, s | REGION_PREV_IN_USE);
            return usable;
        }
    }

    if (address_of(p) >= address_of(n) || !prev_in_use(n)) return 0;

    if (!chunk_in_use(n)) {
        if (n == m->top) {
            m->top_size += s;
            m->top = p;
            set_size_flags(p, m->top_size | REGION_PREV_IN_USE);
            if (p == m->victim) {
                m->victim = nullptr;
                m->victim_size = 0;
            }
            if (m->top_size > m->trim_limit) trim_region(m, 0);
            return usable;
        }
        if (n == m->victim) {
            m->victim_size += s;
            m->victim = p;
            set_free_with_foot(p, m->victim_size);
            return usable;
        }
        const uint64_t next_size = chunk_size(n);
        unlink_free_chunk(m, n, next_size);
        s += next_size;
        set_free_with_foot(p, s);
        if (p == m->victim) {
            m->victim_size = s;
            return usable;
        }
    } else {
        clear_prev_in_use(n);
        n->prev_size = s;
        set_size_flags(p, s | REGION_PREV_IN_USE);
    }
    insert_free_chunk(m, p, s);
    return usable;
}

KLOR_REGION_RAW_ACCESS void mspace_free(void* msp, void* mem) {
    if (mem == nullptr) return;
    const uint64_t usable = release_chunk(static_cast<region_state*>(msp), mem);
    if (usable != 0) region_check::take_back(mem, usable);
}

}  // namespace KLOR
