// Every allocator of the comparison behind one function-pointer interface,
// so that each workload runs the same code against each of them.
//
//   name           calls                                  memory
//   -------------  -------------------------------------  ---------------------
//   system         __libc_malloc / __libc_free            glibc's heap
//   mimalloc       mi_malloc / mi_free                    its own
//   jemalloc       mallocx / dallocx                      its own
//   tcmalloc       tc_malloc / tc_free                    its own
//   region         mspace_malloc / mspace_free            a pre-touched region
//   pool_region    MemPool::alloc / free, region mode     the same region memory
//   pool_callback  MemPool::alloc / free, default         the process heap
//                  callbacks                              (glibc, see below)
//   pool_block     MemPool::alloc / free, block mode      a span of 64-byte
//                  (header records from a region-mode     blocks
//                  pool in Global.memPool)
//
// The peers are linked into the benchmark, but the process heap stays
// glibc's: the executable lists libc before them, so their malloc and
// operator new never interpose. glibc's allocator is called by its own
// names, which interposition cannot redirect; processHeapIsGlibc() checks
// the rest at start-up.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace klorbench {

struct Allocator {
    const char* name;
    // Set-up before a workload (a fresh region or pool); false when the
    // allocator cannot be set up. Untimed.
    bool (*open)();
    void* (*allocate)(size_t size);
    void (*release)(void* pointer, size_t size);
    void* (*resize)(void* pointer, size_t oldSize, size_t newSize);
    // Tear-down after a workload, once every block is released. Untimed.
    void (*close)();
    // Where the caller's bytes are, for allocators whose result is a handle
    // (block mode returns its header record); null when the result is the
    // memory itself.
    void* (*memory)(void* pointer);
};

// The general-purpose allocators, peers first.
const std::vector<Allocator>& generalAllocators();

// Block mode: serves only requests of up to one block (kBlockSize bytes)
// over kBlockCount blocks.
const Allocator& blockModePool();
constexpr size_t kBlockSize = 64;
constexpr int kBlockCount = 4096;

const Allocator* findAllocator(const std::string& name);

// True when malloc as the process resolves it is glibc's.
bool processHeapIsGlibc();

}  // namespace klorbench
