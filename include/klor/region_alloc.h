// The region allocator: a boundary-tag heap over one fixed block of caller
// memory. No lock inside (callers serialise), no system calls, never grows.
//
// Host code runs over the same region memory as the library, so every record
// below is a fixed layout. All words are little-endian; every link is an
// absolute address, so a region can never be moved or copied.
//
// Region layout right after create_mspace_with_base(B, Q), s = (8 - B % 8) % 8,
// E = (B + Q) rounded down to a multiple of 8 (E == B + Q for the usual
// 8-aligned base and capacity):
//
//   bytes              content
//   -----------------  ------------------------------------------------------
//   B .. B+s           not written (alignment slack)
//   B+s                first chunk: prev_size not written, size_flags = 915
//   B+s+16 .. B+s+920  region_state; B+s+16 is the region handle
//   B+s+912            top chunk: its prev_size word is the last 8 bytes of
//                      the state record; size_flags = (E-72 - (B+s+912)) | 1
//   E-72 .. E          trailer: a 72-byte pseudo-chunk whose size_flags word
//                      (at E-64) is 72 with no flag bits
//
//   first chunk   912 bytes, always in use (size_flags 915 = 912 | both bits);
//                 its payload is the state record.
//   top chunk     the free space carved by allocation, grown by release; its
//                 size ends exactly at the trailer and is not repeated there.
//   trailer       written once at creation; its other 64 bytes never are.
//   footprint     Q, the capacity given; the bytes outside [B+s, E) are the
//                 statistics' outside_bytes.
//   With B and Q 8-aligned: top size = Q - 984, e.g. Q 4096 -> top 3112.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klor/klor_export.h"
#include "klor/region_params.h"

// Region words are read and written through these records over raw caller
// memory, where the same address serves as a size at one time and as a link
// or payload at another; the compiler must not assume the types keep apart.
#if defined(__GNUC__)
#define KLOR_REGION_WORDS __attribute__((may_alias))
#else
#define KLOR_REGION_WORDS
#endif

namespace KLOR {

// ---------------------------------------------------------------------------
// Chunk formats
//
// In-use chunk (size S, a multiple of 8, at least 32):
//
//   offset  width  field       meaning
//   ------  -----  ----------  ---------------------------------------------
//        0      8  prev_size   size of the previous chunk, valid only while
//                              that chunk is free; otherwise the last 8
//                              payload bytes of the previous chunk
//        8      8  size_flags  S | bit 1 (this chunk in use)
//                                | bit 0 (previous chunk in use)
//       16  S - 8  payload     handed to the caller (chunk + 16); its last
//                              8 bytes are the next chunk's prev_size
//
// Free chunk in a small bin (S < 256):
//
//       16      8  next_free   forward link in the bin's circular list
//       24      8  prev_free   backward link
//
// Free chunk in a tree bin (S >= 256), in addition:
//
//       32      8  children[0] trie child for a 0 key bit
//       40      8  children[1] trie child for a 1 key bit
//       48      8  parent      parent node; the address of the root word for
//                              a bin's root; null for a same-size ring
//                              member that is not itself a trie node
//       56      4  bin_index   tree bin of S
//
// Subtleties:
//   - a free chunk's size is repeated in the next chunk's prev_size, and the
//     next chunk's bit 0 is clear; the top chunk is the exception (its size
//     is not repeated in the trailer);
//   - the links are valid only while the chunk is free and binned; the
//     designated victim and the top chunk carry no links;
//   - the chunk below the top chunk is always in use (top bit 0 always set);
//   - no two free chunks are adjacent.
// ---------------------------------------------------------------------------

enum : uint64_t {
    REGION_PREV_IN_USE = 1,   // bit 0: the previous chunk is in use
    REGION_CHUNK_IN_USE = 2,  // bit 1: this chunk is in use
    REGION_FLAG_BITS = 3,
};

struct KLOR_REGION_WORDS region_chunk {
    uint64_t prev_size;
    uint64_t size_flags;
};
static_assert(sizeof(region_chunk) == 16, "region_chunk layout");
static_assert(offsetof(region_chunk, prev_size) == 0, "region_chunk layout");
static_assert(offsetof(region_chunk, size_flags) == 8, "region_chunk layout");

struct KLOR_REGION_WORDS region_free_chunk {
    uint64_t prev_size;
    uint64_t size_flags;
    region_free_chunk* next_free;
    region_free_chunk* prev_free;
};
static_assert(sizeof(region_free_chunk) == 32, "region_free_chunk layout");
static_assert(offsetof(region_free_chunk, prev_size) == 0, "region_free_chunk layout");
static_assert(offsetof(region_free_chunk, size_flags) == 8, "region_free_chunk layout");
static_assert(offsetof(region_free_chunk, next_free) == 16, "region_free_chunk layout");
static_assert(offsetof(region_free_chunk, prev_free) == 24, "region_free_chunk layout");

struct KLOR_REGION_WORDS region_tree_chunk {
    uint64_t prev_size;
    uint64_t size_flags;
    region_tree_chunk* next_free;
    region_tree_chunk* prev_free;
    region_tree_chunk* children[2];
    region_tree_chunk* parent;
    uint32_t bin_index;
    uint32_t unused;
};
static_assert(sizeof(region_tree_chunk) == 64, "region_tree_chunk layout");
static_assert(offsetof(region_tree_chunk, prev_size) == 0, "region_tree_chunk layout");
static_assert(offsetof(region_tree_chunk, size_flags) == 8, "region_tree_chunk layout");
static_assert(offsetof(region_tree_chunk, next_free) == 16, "region_tree_chunk layout");
static_assert(offsetof(region_tree_chunk, prev_free) == 24, "region_tree_chunk layout");
static_assert(offsetof(region_tree_chunk, children) == 32, "region_tree_chunk layout");
static_assert(offsetof(region_tree_chunk, parent) == 48, "region_tree_chunk layout");
static_assert(offsetof(region_tree_chunk, bin_index) == 56, "region_tree_chunk layout");

// ---------------------------------------------------------------------------
// Segment record, embedded in the state record. Regions made here have
// exactly one segment: next == null.
//
//   offset  width  field  meaning
//   ------  -----  -----  -------------------------------------------------
//        0      8  base   the caller's base address B (not rounded)
//        8      8  size   the creation capacity Q
//       16      8  next   next segment; null
//       24      4  flags  8: memory the caller owns
//       28      4  (padding)
// ---------------------------------------------------------------------------
enum : uint32_t { REGION_SEGMENT_CALLER_OWNED = 8 };

struct KLOR_REGION_WORDS region_segment {
    uint64_t base;
    uint64_t size;
    region_segment* next;
    uint32_t flags;
    uint32_t padding;
};
static_assert(sizeof(region_segment) == 32, "region_segment layout");
static_assert(offsetof(region_segment, base) == 0, "region_segment layout");
static_assert(offsetof(region_segment, size) == 8, "region_segment layout");
static_assert(offsetof(region_segment, next) == 16, "region_segment layout");
static_assert(offsetof(region_segment, flags) == 24, "region_segment layout");

// ---------------------------------------------------------------------------
// Region state record, 904 bytes, at the region handle (first chunk + 16).
//
//   offset  width  field            meaning
//   ------  -----  ---------------  ------------------------------------------
//        0      4  small_bin_mask   bit i set <=> small bin i holds a chunk
//        4      4  tree_bin_mask    bit i set <=> tree_bin_roots[i] != null
//        8      8  victim_size      size of `victim`; 0 <=> victim == null
//       16      8  top_size         size of `top`
//       24      8  lowest_address   B; chunk or link addresses below it are
//                                   treated as damaged
//       32      8  victim           designated victim: free, in no bin
//       40      8  top              top chunk; null only if never set up
//       48      8  trim_limit       a release that grows top_size above it
//                                   runs the trim step
//       56      8  magic            copy of region_params.magic; never compared
//       64    528  small_bin_heads  66 words; bin i's pseudo-chunk starts at
//                                   byte 64 + 16*i, so its forward link is at
//                                   80 + 16*i, its backward link 88 + 16*i
//      592    256  tree_bin_roots   root node of tree bin i, null when empty
//      848      8  footprint        Q, never changed
//      856      8  max_footprint    Q, never changed
//      864      4  flags            default_flags | 4; read by nothing here
//      868      4  (padding)
//      872     32  segment          the one segment record
//
// Invariants:
//   popcount(small_bin_mask) == number of non-empty small bins (4..31 only)
//   victim_size == 0 <=> victim == null; victim_size >= 32 otherwise
//   top + top_size == trailer; the trailer's size_flags == 72
//   footprint == max_footprint == segment.size == Q
// The last 8 bytes of the record (segment.flags and padding) are the prev_size
// word of the chunk after the first chunk; that word is never used as a size.
// ---------------------------------------------------------------------------
enum : uint32_t {
    REGION_SMALL_BINS = 32,
    REGION_TREE_BINS = 32,
    REGION_FLAGS_ADDED = 4,  // added to default_flags in region_state.flags
};

struct KLOR_REGION_WORDS region_state {
    uint32_t small_bin_mask;
    uint32_t tree_bin_mask;
    uint64_t victim_size;
    uint64_t top_size;
    uint64_t lowest_address;
    region_chunk* victim;
    region_chunk* top;
    uint64_t trim_limit;
    uint64_t magic;
    region_free_chunk* small_bin_heads[2 * REGION_SMALL_BINS + 2];
    region_tree_chunk* tree_bin_roots[REGION_TREE_BINS];
    uint64_t footprint;
    uint64_t max_footprint;
    uint32_t flags;
    uint32_t padding;
    region_segment segment;
};
static_assert(sizeof(region_state) == 904, "region_state layout");
static_assert(offsetof(region_state, small_bin_mask) == 0, "region_state layout");
static_assert(offsetof(region_state, tree_bin_mask) == 4, "region_state layout");
static_assert(offsetof(region_state, victim_size) == 8, "region_state layout");
static_assert(offsetof(region_state, top_size) == 16, "region_state layout");
static_assert(offsetof(region_state, lowest_address) == 24, "region_state layout");
static_assert(offsetof(region_state, victim) == 32, "region_state layout");
static_assert(offsetof(region_state, top) == 40, "region_state layout");
static_assert(offsetof(region_state, trim_limit) == 48, "region_state layout");
static_assert(offsetof(region_state, magic) == 56, "region_state layout");
static_assert(offsetof(region_state, small_bin_heads) == 64, "region_state layout");
static_assert(offsetof(region_state, tree_bin_roots) == 592, "region_state layout");
static_assert(offsetof(region_state, footprint) == 848, "region_state layout");
static_assert(offsetof(region_state, max_footprint) == 856, "region_state layout");
static_assert(offsetof(region_state, flags) == 864, "region_state layout");
static_assert(offsetof(region_state, segment) == 872, "region_state layout");
static_assert(offsetof(region_state, segment) + offsetof(region_segment, base) == 872,
              "region_state layout");
static_assert(offsetof(region_state, segment) + offsetof(region_segment, size) == 880,
              "region_state layout");
static_assert(offsetof(region_state, segment) + offsetof(region_segment, next) == 888,
              "region_state layout");
static_assert(offsetof(region_state, segment) + offsetof(region_segment, flags) == 896,
              "region_state layout");

// Fixed sizes of a region's own chunks.
enum : uint64_t {
    REGION_FIRST_CHUNK_BYTES = 912,                        // header 16 + state 904 - 8 borrowed
    REGION_FIRST_CHUNK_SIZE_FLAGS = 912 | REGION_FLAG_BITS,  // 915
    REGION_TRAILER_BYTES = 72,
    REGION_OVERHEAD_BYTES = REGION_FIRST_CHUNK_BYTES + REGION_TRAILER_BYTES,  // 984
};
static_assert(REGION_FIRST_CHUNK_BYTES == 16 + sizeof(region_state) - 8, "first chunk");

// Statistics returned by mspace_mallinfo: ten unsigned 64-bit fields.
//   covered_bytes + outside_bytes == footprint
//   used_bytes + free_bytes == footprint
//   free_bytes >= top_bytes + 72
struct region_stats {
    uint64_t covered_bytes;   // chunk walk + top chunk + 72-byte trailer
    uint64_t free_chunks;     // free chunks walked + 1 for the top chunk
    uint64_t reserved1;       // 0
    uint64_t reserved2;       // 0
    uint64_t outside_bytes;   // footprint - covered_bytes
    uint64_t peak_footprint;  // max_footprint
    uint64_t reserved3;       // 0
    uint64_t used_bytes;      // footprint - free_bytes
    uint64_t free_bytes;      // top_size + 72 + free chunks walked
    uint64_t top_bytes;       // top_size
};
static_assert(sizeof(region_stats) == 80, "region_stats layout");
static_assert(offsetof(region_stats, covered_bytes) == 0, "region_stats layout");
static_assert(offsetof(region_stats, free_chunks) == 8, "region_stats layout");
static_assert(offsetof(region_stats, outside_bytes) == 32, "region_stats layout");
static_assert(offsetof(region_stats, peak_footprint) == 40, "region_stats layout");
static_assert(offsetof(region_stats, used_bytes) == 56, "region_stats layout");
static_assert(offsetof(region_stats, free_bytes) == 64, "region_stats layout");
static_assert(offsetof(region_stats, top_bytes) == 72, "region_stats layout");

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
