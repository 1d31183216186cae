// Chunk accessors, size classes and bin arithmetic of the region allocator.
// The layouts themselves are drawn in klor/region_alloc.h.
//
// Addresses are compared and offset as unsigned integers: damaged sizes may
// carry an address past the end of memory, and the address checks must see
// the wrapped value rather than undefined pointer arithmetic.
#pragma once

#include <cstdint>

#include "klor/region_alloc.h"
#include "region_sanitize.h"

namespace KLOR {

enum : uint64_t {
    REGION_MIN_CHUNK = 32,
    REGION_LARGE_CHUNK = 256,          // sizes below are small, at and above large
    REGION_MAX_SMALL_REQUEST = 240,    // padded to 248, the largest small size
    REGION_MAX_REQUEST = ~uint64_t(0) - 127,  // 2^64 - 128: requests at or above fail
    REGION_CHUNK_OVERHEAD = 8,         // in-use chunk of size S offers S - 8 bytes
    REGION_MEM_OFFSET = 16,            // caller's pointer = chunk + 16
};

// ---- addresses --------------------------------------------------------------

inline uint64_t address_of(const void* p) { return reinterpret_cast<uintptr_t>(p); }

template <class Chunk = region_chunk>
inline Chunk* chunk_at(uint64_t address) {
    return reinterpret_cast<Chunk*>(static_cast<uintptr_t>(address));
}

template <class Chunk>
inline Chunk* chunk_plus(const void* p, uint64_t offset) {
    return chunk_at<Chunk>(address_of(p) + offset);
}

inline region_chunk* mem_to_chunk(const void* mem) {
    return chunk_at(address_of(mem) - REGION_MEM_OFFSET);
}

inline void* chunk_to_mem(const void* p) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address_of(p) + REGION_MEM_OFFSET));
}

// A chunk or link address below lowest_address is treated as damaged.
inline bool below_lowest(const region_state* m, const void* p) {
    return address_of(p) < m->lowest_address;
}

// ---- header words -------------------------------------------------------------

KLOR_REGION_RAW_ACCESS inline uint64_t chunk_size(const void* p) {
    return static_cast<const region_chunk*>(p)->size_flags & ~uint64_t(REGION_FLAG_BITS);
}
KLOR_REGION_RAW_ACCESS inline bool chunk_in_use(const void* p) {
    return (static_cast<const region_chunk*>(p)->size_flags & REGION_CHUNK_IN_USE) != 0;
}
KLOR_REGION_RAW_ACCESS inline bool prev_in_use(const void* p) {
    return (static_cast<const region_chunk*>(p)->size_flags & REGION_PREV_IN_USE) != 0;
}
KLOR_REGION_RAW_ACCESS inline region_chunk* next_chunk(const void* p) {
    return chunk_plus<region_chunk>(p, chunk_size(p));
}
KLOR_REGION_RAW_ACCESS inline void set_size_flags(void* p, uint64_t value) {
    static_cast<region_chunk*>(p)->size_flags = value;
}
KLOR_REGION_RAW_ACCESS inline void set_prev_in_use(void* p) {
    static_cast<region_chunk*>(p)->size_flags |= REGION_PREV_IN_USE;
}
KLOR_REGION_RAW_ACCESS inline void clear_prev_in_use(void* p) {
    static_cast<region_chunk*>(p)->size_flags &= ~uint64_t(REGION_PREV_IN_USE);
}

// A free chunk of size s: s | bit 0, with s repeated in the next prev_size.
KLOR_REGION_RAW_ACCESS inline void set_free_with_foot(void* p, uint64_t s) {
    set_size_flags(p, s | REGION_PREV_IN_USE);
    chunk_plus<region_chunk>(p, s)->prev_size = s;
}

// A chunk of size s handed out whole: both bits, and the next chunk learns
// that its predecessor is in use.
KLOR_REGION_RAW_ACCESS inline void set_in_use_whole(void* p, uint64_t s) {
    set_size_flags(p, s | REGION_FLAG_BITS);
    set_prev_in_use(chunk_plus<region_chunk>(p, s));
}

// The front of a split: size s in use, the chunk's own bit 0 kept.
KLOR_REGION_RAW_ACCESS inline void set_in_use_keep_prev(void* p, uint64_t s) {
    region_chunk* c = static_cast<region_chunk*>(p);
    c->size_flags = s | REGION_CHUNK_IN_USE | (c->size_flags & REGION_PREV_IN_USE);
}

// ---- sizes --------------------------------------------------------------------

// Padded chunk size of a request below REGION_MAX_REQUEST:
// 0..22 -> 32, 23 -> 32, 24 -> 32, 25 -> 40, 240 -> 248, 241 -> 256.
inline uint64_t padded_size(uint64_t n) {
    return n <= 22 ? uint64_t(REGION_MIN_CHUNK) : (n + 15) & ~uint64_t(7);
}

inline bool is_small(uint64_t size) { return size < REGION_LARGE_CHUNK; }

// Index of the lowest set bit of a non-zero mask.
inline uint32_t lowest_bit_index(uint32_t mask) {
    return static_cast<uint32_t>(__builtin_ctz(mask & (0u - mask)));
}

// Bits of all positions strictly above i (i < 32).
inline uint32_t bits_above(uint32_t i) { return i >= 31 ? 0u : ~((2u << i) - 1u); }

// ---- small bins ---------------------------------------------------------------

inline uint32_t small_bin_index(uint64_t size) { return static_cast<uint32_t>(size >> 3); }

// Bin i's pseudo-chunk starts 16*i bytes into small_bin_heads, so that its
// next_free / prev_free are the words at 80 + 16*i / 88 + 16*i of the state.
inline region_free_chunk* small_bin_head(region_state* m, uint32_t i) {
    return chunk_plus<region_free_chunk>(m->small_bin_heads, 16 * uint64_t(i));
}

// ---- tree bins ----------------------------------------------------------------

// Each power-of-two range of sizes splits into a lower and an upper half:
// 256..383 -> 0, 384..511 -> 1, 512..767 -> 2, 768..1023 -> 3, ...,
// 8388608..12582911 -> 30, 12582912 and above -> 31.
inline uint32_t tree_bin_index(uint64_t size) {
    const uint64_t x = size >> 8;
    if (x >= 0x10000) return 31;
    if (x == 0) return 0;  // only for sizes below 256, which never reach a tree
    const uint32_t k = 31u - static_cast<uint32_t>(__builtin_clz(static_cast<uint32_t>(x)));
    return 2 * k + static_cast<uint32_t>((size >> (k + 7)) & 1);
}

// The trie key of bin i: the size shifted so that its first bit below the
// bin's two leading bits (bit i/2 + 6) is bit 63. Bin 31 uses the size as is.
inline uint32_t tree_key_shift(uint32_t i) { return i == 31 ? 0u : 57u - (i >> 1); }

inline region_tree_chunk** tree_root_slot(region_state* m, uint32_t i) {
    return &m->tree_bin_roots[i];
}

// Leftmost step of a trie walk: the 0 child if present, else the 1 child.
KLOR_REGION_RAW_ACCESS inline region_tree_chunk* leftmost_child(const region_tree_chunk* t) {
    return t->children[0] != nullptr ? t->children[0] : t->children[1];
}

}  // namespace KLOR
