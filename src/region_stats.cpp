// mspace_mallinfo: the statistics walk over a region's chunks.
#include "klor/region_alloc.h"
#include "region_internal.h"
#include "region_layout.h"
#include "region_sanitize.h"

namespace KLOR {

namespace {

// A size word of exactly 11 (size 8 with both bits) ends a segment's walk.
constexpr uint64_t kWalkStopWord = 11;

}  // namespace

// Fresh 8-aligned region of 4096 bytes: covered 4096 (912 walked + top 3112 +
// 72), free chunks 1, outside 0, used 912, free 3184, top 3112, peak 4096.
KLOR_REGION_RAW_ACCESS region_stats mspace_mallinfo(void* msp) {
    region_stats s{};
    bind_region_params();
    const region_state* m = static_cast<const region_state*>(msp);
    if (m->top == nullptr) return s;

    uint64_t covered = m->top_size + REGION_TRAILER_BYTES;
    uint64_t free_bytes = covered;
    uint64_t free_chunks = 1;
    for (const region_segment* seg = &m->segment; seg != nullptr; seg = seg->next) {
        const uint64_t start = seg->base;
        const uint64_t limit = seg->base + seg->size;
        uint64_t q = (start + 7) & ~uint64_t(7);
        while (q >= start && q < limit && chunk_at(q) != m->top &&
               chunk_at(q)->size_flags != kWalkStopWord) {
            const uint64_t size = chunk_size(chunk_at(q));
            covered += size;
            if (!chunk_in_use(chunk_at(q))) {
                free_bytes += size;
                ++free_chunks;
            }
            // Only damaged memory has a zero size; it would hold the walk in
            // place for ever.
            if (size == 0) break;
            q += size;
        }
    }
    s.covered_bytes = covered;
    s.free_chunks = free_chunks;
    s.outside_bytes = m->footprint - covered;
    s.peak_footprint = m->max_footprint;
    s.used_bytes = m->footprint - free_bytes;
    s.free_bytes = free_bytes;
    s.top_bytes = m->top_size;
    return s;
}

}  // namespace KLOR
