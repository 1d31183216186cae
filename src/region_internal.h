// Operations the region allocator's source files share. Hidden: only the
// mspace_* functions and create_mspace_with_base leave the library.
//
//   region_params.cpp  binding of the parameter block, mspace_mallopt
//   region_create.cpp  creation, top set-up, trimming, footprint queries
//   region_stats.cpp   mspace_mallinfo
//   region_bins.cpp    small bins and tree bins
//   region_malloc.cpp  allocation
//   region_free.cpp    release
//   region_resize.cpp  realloc, memalign, calloc
//   region_batch.cpp   the batch operations
//
// The internal allocate/release pair does the allocator's work without the
// memory-checker hooks; the exported functions add the hooks once, so that
// pieces moved around inside one operation are never handed out.
#pragma once

#include <cstdint>

#include "klor/region_alloc.h"
#include "klor/region_params.h"
#include "region_layout.h"

namespace KLOR {

// ---- parameters (region_params.cpp) ------------------------------------------

// Binds the library-wide pointer to gGlobal->allocatorParams on first use and
// fills the block with defaults only if its page_size is 0. Returns the block.
region_params* bind_region_params();

// The bound block, or null before the first binding.
region_params* bound_region_params();

// ---- creation (region_create.cpp) ---------------------------------------------

// Makes the free space [p, p + size) the top chunk, writes the trailer's
// size word at p + size and resets trim_limit from the parameter block.
void init_top_chunk(region_state* m, region_chunk* p, uint64_t size);

// Switches further trim attempts off (a region never gives memory back).
int trim_region(region_state* m, uint64_t pad);

// ---- bins (region_bins.cpp) -----------------------------------------------------

void insert_small_chunk(region_state* m, region_free_chunk* p, uint64_t size);
void unlink_small_chunk(region_state* m, region_free_chunk* p, uint64_t size);
// Takes the front chunk of the non-empty small bin i.
region_free_chunk* take_small_bin_front(region_state* m, uint32_t i);

void insert_tree_chunk(region_state* m, region_tree_chunk* x, uint64_t size);
void unlink_tree_chunk(region_state* m, region_tree_chunk* x);

// Small-bin insertion below 256 bytes, tree insertion otherwise.
void insert_free_chunk(region_state* m, region_chunk* p, uint64_t size);
void unlink_free_chunk(region_state* m, region_chunk* p, uint64_t size);

// ---- allocation and release (region_malloc.cpp, region_free.cpp) -------------

// mspace_malloc without the memory-checker hooks.
void* allocate_chunk(region_state* m, uint64_t n);

// mspace_free without the hooks, for a non-null pointer. Returns the usable
// bytes of the block it took back, or 0 when the pointer was ignored.
uint64_t release_chunk(region_state* m, void* mem);

// One comparison: does the chunk [p, p + size) end past the region's end, or
// wrap around to below its start? For a valid in-use chunk p + size <= top.
// Callers have already checked p >= lowest_address.
inline bool chunk_reaches_past_end(const region_state* m, const region_chunk* p, uint64_t size) {
    return address_of(p) + size - m->segment.base > m->segment.size;
}

// ---- batches (region_batch.cpp) -------------------------------------------------

enum : uint32_t {
    REGION_BATCH_SAME_SIZE = 1,  // every element has the size of sizes[0]
    REGION_BATCH_ZEROED = 2,     // clear the elements
};

void** allocate_batch(region_state* m, uint64_t n, const uint64_t* sizes, uint32_t options,
                      void** chunks);

}  // namespace KLOR
