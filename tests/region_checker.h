// The region allocator's heap checker and read-only views of a region, for
// tests. It reads the region through the layouts of klor/region_alloc.h, the
// way a host's own code would, and verifies what those layouts promise:
//
//   - the chunk walk from the first chunk reaches the top chunk exactly;
//     every size is a multiple of 8 and at least 32, bit 0 of each chunk
//     matches bit 1 of its predecessor, a free chunk's size is repeated in its
//     successor's prev_size, and no two free chunks are adjacent;
//   - the top chunk ends at the trailer, whose size word is 72;
//   - the designated victim is a free chunk of the walk with victim_size;
//   - every free chunk other than the victim is in exactly one bin, and every
//     bin member is a walked free chunk of the bin's size (range);
//   - the masks match the bins; each bin's links are consistent both ways;
//   - in each trie, a node's children carry the right key bit for their depth,
//     their parent is the node, the root's parent is its root word, and every
//     same-size ring member has the node's size and a null parent;
//   - mspace_mallinfo's figures agree with the walk and add up to footprint.
//
// Region memory outside live blocks is poisoned under AddressSanitizer, so
// every function here that reads it is built without ASan checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "klor/region_alloc.h"

namespace region_test {

struct ChunkView {
    uint64_t address;
    uint64_t size;
    bool inUse;
    bool prevInUse;
};

// Every problem found, one line each; empty for a sound region.
std::vector<std::string> checkRegion(void* handle);

// The chunks from the first chunk up to (not including) the top chunk.
std::vector<ChunkView> walkChunks(void* handle);

// Members of small bin i, front first.
std::vector<uint64_t> smallBinMembers(void* handle, uint32_t i);

// Trie nodes of tree bin i in pre-order (node, children[0], children[1]).
std::vector<uint64_t> treeNodes(void* handle, uint32_t i);

// Members of the same-size ring of trie node `node`, following next_free from
// the node (the node itself excluded).
std::vector<uint64_t> ringMembers(void* handle, uint64_t node);

// Raw 64-bit word of region memory, read without sanitizer checks.
uint64_t wordAt(uint64_t address);
void setWordAt(uint64_t address, uint64_t value);

// Every byte of [address, address + bytes), read without sanitizer checks:
// "nothing changed" comparisons over a whole region.
std::vector<uint8_t> snapshot(const void* address, uint64_t bytes);

// Usable bytes of an in-use block: its chunk size - 8.
uint64_t usableSize(const void* mem);

std::string joinProblems(const std::vector<std::string>& problems);

}  // namespace region_test

#define EXPECT_REGION_SOUND(handle)                                            \
    do {                                                                       \
        const auto regionProblems_ = ::region_test::checkRegion(handle);       \
        EXPECT_TRUE(regionProblems_.empty())                                   \
            << ::region_test::joinProblems(regionProblems_);                   \
    } while (0)

#define ASSERT_REGION_SOUND(handle)                                            \
    do {                                                                       \
        const auto regionProblems_ = ::region_test::checkRegion(handle);       \
        ASSERT_TRUE(regionProblems_.empty())                                   \
            << ::region_test::joinProblems(regionProblems_);                   \
    } while (0)
