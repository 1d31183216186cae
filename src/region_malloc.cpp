// mspace_malloc: the order of trials.
//
//   small request (n <= 240, padded nb <= 248):
//     a. exact bin, or the bin 8 bytes larger, taken whole (no split: the
//        surplus would be at most 8 bytes)
//     b. the designated victim, if it holds nb
//     c. the lowest non-empty larger small bin, split; the remainder becomes
//        the victim
//     d. the best chunk of the lowest non-empty tree bin, split the same way
//   large request: the best fit of the trees, used only when it fits strictly
//   better than the victim; its remainder goes back into a bin
//   then: the designated victim, then the top chunk (only when strictly larger
//   than nb, so that it never shrinks to nothing), else null.
//
// Cost: a small request with a non-empty exact bin is one mask test and one
// list pop; every other path is bounded by one trie descent (at most 64
// levels) plus a leftmost walk.
#include "klor/region_alloc.h"
#include "region_internal.h"
#include "region_layout.h"
#include "region_sanitize.h"

namespace KLOR {

namespace {

// The old victim is always small here: it was smaller than the request that
// replaces it (step b did not take it).
KLOR_REGION_RAW_ACCESS void replace_victim(region_state* m, region_chunk* r, uint64_t size) {
    if (m->victim_size != 0) {
        insert_small_chunk(m, reinterpret_cast<region_free_chunk*>(m->victim), m->victim_size);
    }
    m->victim = r;
    m->victim_size = size;
}

// Hands out nb bytes from the front of free chunk p (size `have`); a
// remainder of 32 bytes or more becomes the designated victim.
KLOR_REGION_RAW_ACCESS void* split_for_small(region_state* m, region_chunk* p, uint64_t have,
                                             uint64_t nb) {
    const uint64_t r = have - nb;
    if (r < REGION_MIN_CHUNK) {
        set_in_use_whole(p, have);
    } else {
        set_size_flags(p, nb | REGION_FLAG_BITS);
        region_chunk* rest = chunk_plus<region_chunk>(p, nb);
        set_free_with_foot(rest, r);
        replace_victim(m, rest, r);
    }
    return chunk_to_mem(p);
}

// A chunk found in a bin is usable only if it passes the address check and
// p + nb does not wrap.
inline bool usable_for(const region_state* m, const void* p, uint64_t nb) {
    return !below_lowest(m, p) && address_of(p) + nb > address_of(p);
}

// Steps a to d. Null sends the request on to the victim and the top chunk.
KLOR_REGION_RAW_ACCESS void* allocate_small(region_state* m, uint64_t nb) {
    const uint32_t idx = small_bin_index(nb);
    const uint32_t bits = m->small_bin_mask >> idx;
    if ((bits & 3) != 0) {
        const uint32_t i = idx + ((~bits) & 1);  // idx if non-empty, else idx + 1
        region_free_chunk* p = take_small_bin_front(m, i);
        set_in_use_whole(p, uint64_t(i) << 3);
        return chunk_to_mem(p);
    }
    if (nb <= m->victim_size) return nullptr;

    const uint32_t larger = m->small_bin_mask & bits_above(idx);
    if (larger != 0) {
        const uint32_t i = lowest_bit_index(larger);
        region_free_chunk* p = take_small_bin_front(m, i);
        return split_for_small(m, reinterpret_cast<region_chunk*>(p), uint64_t(i) << 3, nb);
    }

    if (m->tree_bin_mask != 0) {
        region_tree_chunk* v = m->tree_bin_roots[lowest_bit_index(m->tree_bin_mask)];
        uint64_t r = chunk_size(v) - nb;
        for (region_tree_chunk* t = leftmost_child(v); t != nullptr; t = leftmost_child(t)) {
            const uint64_t rt = chunk_size(t) - nb;
            if (rt < r) {
                r = rt;
                v = t;
            }
        }
        if (!usable_for(m, v, nb)) return nullptr;
        unlink_tree_chunk(m, v);
        return split_for_small(m, reinterpret_cast<region_chunk*>(v), nb + r, nb);
    }
    return nullptr;
}

// Best fit among the trees for a large nb; null when nothing fits strictly
// better than the designated victim. Among equal fits the first met wins, and
// of a same-size ring only its trie node is ever chosen.
KLOR_REGION_RAW_ACCESS void* allocate_from_trees(region_state* m, uint64_t nb) {
    const uint32_t idx = tree_bin_index(nb);
    region_tree_chunk* best = nullptr;
    uint64_t best_rest = uint64_t(0) - nb;  // chunks smaller than nb wrap above it
    region_tree_chunk* t = m->tree_bin_roots[idx];

    if (t != nullptr) {
        uint64_t key = nb << tree_key_shift(idx);
        region_tree_chunk* rst = nullptr;  // deepest right subtree not taken
        for (;;) {
            const uint64_t r = chunk_size(t) - nb;
            if (r < best_rest) {
                best = t;
                best_rest = r;
                if (r == 0) break;  // exact fit
            }
            region_tree_chunk* rt = t->children[1];
            t = t->children[key >> 63];
            if (rt != nullptr && rt != t) rst = rt;
            if (t == nullptr) {
                t = rst;
                break;
            }
            key <<= 1;
        }
    }
    if (t == nullptr && best == nullptr) {
        const uint32_t above = m->tree_bin_mask & bits_above(idx);
        if (above != 0) t = m->tree_bin_roots[lowest_bit_index(above)];
    }
    for (; t != nullptr; t = leftmost_child(t)) {
        const uint64_t r = chunk_size(t) - nb;
        if (r < best_rest) {
            best = t;
            best_rest = r;
        }
    }

    // Unsigned: a victim smaller than nb wraps and never wins.
    if (best == nullptr || best_rest >= m->victim_size - nb) return nullptr;
    if (!usable_for(m, best, nb)) return nullptr;
    unlink_tree_chunk(m, best);
    if (best_rest < REGION_MIN_CHUNK) {
        set_in_use_whole(best, nb + best_rest);
    } else {
        set_size_flags(best, nb | REGION_FLAG_BITS);
        region_chunk* rest = chunk_plus<region_chunk>(best, nb);
        set_free_with_foot(rest, best_rest);
        insert_free_chunk(m, rest, best_rest);
    }
    return chunk_to_mem(best);
}

KLOR_REGION_RAW_ACCESS void* allocate_from_victim(region_state* m, uint64_t nb) {
    region_chunk* p = m->victim;
    const uint64_t have = m->victim_size;
    const uint64_t r = have - nb;
    if (r >= REGION_MIN_CHUNK) {
        region_chunk* rest = chunk_plus<region_chunk>(p, nb);
        m->victim = rest;
        m->victim_size = r;
        set_free_with_foot(rest, r);
        set_size_flags(p, nb | REGION_FLAG_BITS);
    } else {
        m->victim = nullptr;
        m->victim_size = 0;
        set_in_use_whole(p, have);
    }
    return chunk_to_mem(p);
}

// Only called with nb < top_size.
KLOR_REGION_RAW_ACCESS void* allocate_from_top(region_state* m, uint64_t nb) {
    region_chunk* p = m->top;
    m->top_size -= nb;
    m->top = chunk_plus<region_chunk>(p, nb);
    set_size_flags(m->top, m->top_size | REGION_PREV_IN_USE);
    set_size_flags(p, nb | REGION_FLAG_BITS);
    return chunk_to_mem(p);
}

}  // namespace

KLOR_REGION_RAW_ACCESS void* allocate_chunk(region_state* m, uint64_t n) {
    bind_region_params();
    uint64_t nb;
    if (n <= REGION_MAX_SMALL_REQUEST) {
        nb = padded_size(n);
        if (void* mem = allocate_small(m, nb)) return mem;
    } else if (n >= REGION_MAX_REQUEST) {
        nb = ~uint64_t(0);  // fails both tests below
    } else {
        nb = padded_size(n);
        if (m->tree_bin_mask != 0) {
            if (void* mem = allocate_from_trees(m, nb)) return mem;
        }
    }
    if (nb <= m->victim_size) return allocate_from_victim(m, nb);
    if (nb < m->top_size) return allocate_from_top(m, nb);
    return nullptr;
}

KLOR_REGION_RAW_ACCESS void* mspace_malloc(void* msp, size_t bytes) {
    void* mem = allocate_chunk(static_cast<region_state*>(msp), bytes);
    if (mem != nullptr) region_check::hand_out(mem, bytes);
    return mem;
}

}  // namespace KLOR
