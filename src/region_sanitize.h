// What the region allocator tells memory checkers, kept in one place.
//
// AddressSanitizer: the allocator owns every byte of a region, and only what
// has been handed out is addressable:
//
//   addressable   the slack below the first chunk, the first chunk (header
//                 and state record), and for every live block the bytes it
//                 was asked for
//   poisoned      everything else from the top chunk's size word to the
//                 region's end: chunk headers, free chunk payloads, the
//                 slack of each block, the trailer
//
// The allocator's own code reads and writes headers and links inside poisoned
// bytes, so every function that touches region memory carries
// KLOR_REGION_RAW_ACCESS (ASan does not instrument it). libc's memset and
// memcpy are checked whatever the caller, so the allocator exposes a range
// before it fills or copies it.
//
// Valgrind's memcheck: every block handed out is described with
// VALGRIND_MALLOCLIKE_BLOCK (its bytes undefined until written, unless
// zeroed) and every block taken back with VALGRIND_FREELIKE_BLOCK. Memory
// outside live blocks is then marked defined again, because the allocator
// keeps its headers and links there; use after release is left to ASan.
//
// In a normal build every hook is an empty inline function. The memcheck hooks
// are compiled in only when the build asks for them (-DKLOR_VALGRIND=ON): even
// when no checker runs, a client request costs about a quarter of a small
// allocation.
#pragma once

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define KLOR_REGION_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KLOR_REGION_ASAN 1
#endif
#endif

#if defined(KLOR_REGION_ASAN)
#include <sanitizer/asan_interface.h>
#define KLOR_REGION_RAW_ACCESS __attribute__((no_sanitize_address))
#else
#define KLOR_REGION_RAW_ACCESS
#endif

#if defined(KLOR_WITH_VALGRIND) && defined(__has_include)
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KLOR_REGION_MEMCHECK 1
#endif
#endif

namespace KLOR {
namespace region_check {

// Makes [p, p + n) addressable for libc's checked memset/memcpy.
inline void expose(const void* p, uint64_t n) {
#if defined(KLOR_REGION_ASAN)
    __asan_unpoison_memory_region(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// Makes [p, p + n) unaddressable: region memory that no caller holds.
inline void conceal(const void* p, uint64_t n) {
#if defined(KLOR_REGION_ASAN)
    __asan_poison_memory_region(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// A block of `requested` bytes at `mem` now belongs to the caller; memcheck
// takes its contents as undefined unless they were `zeroed`. Hand a block
// out before filling it: memcheck forgets what was written before.
inline void hand_out(void* mem, uint64_t requested, bool zeroed = false) {
    expose(mem, requested);
#if defined(KLOR_REGION_MEMCHECK)
    VALGRIND_MALLOCLIKE_BLOCK(mem, requested, 0, zeroed ? 1 : 0);
#else
    (void)zeroed;
#endif
}

// The caller gave back the block at `mem`, `usable` bytes long at most.
inline void take_back(void* mem, uint64_t usable) {
#if defined(KLOR_REGION_MEMCHECK)
    VALGRIND_FREELIKE_BLOCK(mem, 0);
    VALGRIND_MAKE_MEM_DEFINED(mem, usable);
#endif
    conceal(mem, usable);
}

// The block at `mem` keeps its first min(old_usable, requested) bytes but is
// now `requested` bytes long; `old_usable` bounds what it held before.
inline void resize_in_place(void* mem, uint64_t old_usable, uint64_t requested) {
#if defined(KLOR_REGION_MEMCHECK)
    VALGRIND_FREELIKE_BLOCK(mem, 0);
    VALGRIND_MAKE_MEM_DEFINED(mem, old_usable);
    VALGRIND_MALLOCLIKE_BLOCK(mem, requested, 0, 0);
    VALGRIND_MAKE_MEM_DEFINED(mem, old_usable < requested ? old_usable : requested);
#endif
    conceal(mem, old_usable);
    expose(mem, requested);
}

}  // namespace region_check
}  // namespace KLOR
