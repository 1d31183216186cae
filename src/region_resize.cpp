// mspace_realloc, mspace_memalign and mspace_calloc: operations built on
// allocation and release. Pieces given back inside one operation (a shrink
// remainder, an alignment leader or trailer, the old block after a move) go
// through the ordinary release and are merged and binned there.
#include <cstring>

#include "klor/region_alloc.h"
#include "region_internal.h"
#include "region_layout.h"
#include "region_sanitize.h"

namespace KLOR {

namespace {

// The chunk of a caller's pointer, or null when it fails the release checks:
// below lowest_address, not in use, reaching past the region's end, not
// below its successor, or a successor that does not know it is in use.
KLOR_REGION_RAW_ACCESS region_chunk* checked_in_use_chunk(const region_state* m, void* mem) {
    region_chunk* p = mem_to_chunk(mem);
    if (below_lowest(m, p) || !chunk_in_use(p)) return nullptr;
    const uint64_t s = chunk_size(p);
    if (chunk_reaches_past_end(m, p, s)) return nullptr;
    region_chunk* n = chunk_plus<region_chunk>(p, s);
    if (address_of(p) >= address_of(n) || !prev_in_use(n)) return nullptr;
    return p;
}

// Cuts in-use chunk p (size s) to nb bytes and returns the tail, which is
// marked in use so that it can be released like any block.
KLOR_REGION_RAW_ACCESS void* cut_tail(region_chunk* p, uint64_t s, uint64_t nb) {
    set_in_use_keep_prev(p, nb);
    region_chunk* tail = chunk_plus<region_chunk>(p, nb);
    set_in_use_whole(tail, s - nb);
    return chunk_to_mem(tail);
}

}  // namespace

// Shrinking a 256-byte chunk: to 200 bytes (padded 208) releases a 48-byte
// tail; to 230 bytes (padded 240) keeps it whole (a 16-byte tail is too small).
KLOR_REGION_RAW_ACCESS void* mspace_realloc(void* msp, void* mem, size_t bytes) {
    if (mem == nullptr) return mspace_malloc(msp, bytes);
    if (bytes >= REGION_MAX_REQUEST) return nullptr;
    bind_region_params();
    region_state* m = static_cast<region_state*>(msp);
    region_chunk* p = checked_in_use_chunk(m, mem);
    if (p == nullptr) return nullptr;
    const uint64_t s = chunk_size(p);
    const uint64_t old_usable = s - REGION_CHUNK_OVERHEAD;
    const uint64_t nb = padded_size(bytes);

    if (s >= nb) {
        if (s - nb >= REGION_MIN_CHUNK) release_chunk(m, cut_tail(p, s, nb));
        region_check::resize_in_place(mem, old_usable, bytes);
        return mem;
    }
    region_chunk* n = chunk_plus<region_chunk>(p, s);
    if (n == m->top && s + m->top_size > nb) {
        const uint64_t top_size = s + m->top_size - nb;
        region_chunk* top = chunk_plus<region_chunk>(p, nb);
        m->top = top;
        m->top_size = top_size;
        set_size_flags(top, top_size | REGION_PREV_IN_USE);
        set_in_use_keep_prev(p, nb);
        region_check::resize_in_place(mem, old_usable, bytes);
        return mem;
    }

    void* moved = allocate_chunk(m, bytes);
    if (moved == nullptr) return nullptr;
    const uint64_t copy = old_usable < bytes ? old_usable : bytes;
    region_check::hand_out(moved, bytes);
    region_check::expose(mem, copy);  // the old block's slack may be poisoned
    std::memcpy(moved, mem, copy);
    release_chunk(m, mem);
    region_check::take_back(mem, old_usable);
    return moved;
}

// Effective alignment: 9..31 (16 among them) -> 32, powers of two as given,
// others the next power of two (48 -> 64). Alignment 4096, size 100: nb 112,
// an allocation of 112 + 4096 + 24 = 4232 bytes, a leader of at least 32
// bytes released in front, a trailer above 32 bytes released behind.
KLOR_REGION_RAW_ACCESS void* mspace_memalign(void* msp, size_t alignment, size_t bytes) {
    if (alignment <= 8) return mspace_malloc(msp, bytes);
    uint64_t a;
    if (alignment < 32) {
        a = 32;
    } else if ((alignment & (alignment - 1)) == 0) {
        a = alignment;
    } else if (alignment > (uint64_t(1) << 63)) {
        return nullptr;  // no power of two at or above it fits in 64 bits
    } else {
        a = 16;
        while (a < alignment) a <<= 1;
    }
    if (bytes >= REGION_MAX_REQUEST - a) return nullptr;

    region_state* m = static_cast<region_state*>(msp);
    const uint64_t nb = padded_size(bytes);
    void* mem = allocate_chunk(m, nb + a + 24);
    if (mem == nullptr) return nullptr;
    bind_region_params();

    region_chunk* p = mem_to_chunk(mem);
    void* leader = nullptr;
    void* trailer = nullptr;
    if (address_of(mem) % a != 0) {
        uint64_t q = ((address_of(mem) + a - 1) & ~(a - 1)) - REGION_MEM_OFFSET;
        if (q - address_of(p) < REGION_MIN_CHUNK) q += a;
        const uint64_t s = chunk_size(p);
        const uint64_t lead = q - address_of(p);
        set_in_use_keep_prev(p, lead);
        set_in_use_whole(chunk_at(q), s - lead);
        leader = mem;
        p = chunk_at(q);
    }
    const uint64_t size = chunk_size(p);
    if (size > nb + REGION_MIN_CHUNK) trailer = cut_tail(p, size, nb);
    if (leader != nullptr) release_chunk(m, leader);
    if (trailer != nullptr) release_chunk(m, trailer);

    void* aligned = chunk_to_mem(p);
    region_check::hand_out(aligned, bytes);
    return aligned;
}

// The product is tested for overflow only when an operand is 65536 or more:
// 65535 x 65535 = 4,294,836,225 is taken as it is, 2^32 x 2^32 fails.
void* mspace_calloc(void* msp, size_t count, size_t size) {
    uint64_t request = 0;
    if (count != 0) {
        request = uint64_t(count) * size;
        if ((count | size) >= 0x10000 && request / count != size) request = ~uint64_t(0);
    }
    void* mem = mspace_malloc(msp, request);
    if (mem != nullptr) std::memset(mem, 0, request);
    return mem;
}

}  // namespace KLOR
