// The block bitmap of a block-mode pool: which blocks of the span are taken.
//
// Bit order: block b is bit (b % 8) of bitmap[b / 8]; a set bit means in use.
// A word is the four bytes starting at a byte offset divisible by 4; it
// covers blocks 32k .. 32k + 31.
//
//   byte     0          1          2          3          4
//   blocks   7......0   15.....8   23....16   31....24   39....32
//            `------------- word 0 -------------'       `-- word 1 ..
//
// Invariant kept by set(): every block below firstFreeHint is in use, so a
// first-fit search from the hint finds the run a search from block 0 finds.
// When no free block is left at or after the hint, the hint is blockCount:
// a search from there examines nothing, and the next clearing (which starts
// below blockCount) lowers it to the cleared run.
//
// Bits of the last byte standing for blocks at or above blockCount carry no
// meaning (initCustom clears only the blocks that exist), so neither the
// walk nor the whole-word test ever reads them.
#include <cstring>

#include "klor/klor_memory.h"

namespace KLOR {

namespace {

// Walks blocks one at a time with a byte pointer and a one-bit mask in step
// with the block number: no division per block.
struct BitCursor {
    uint8_t* byte;
    uint8_t  mask;

    BitCursor(uint8_t* bitmap, int block)
        : byte(bitmap + block / 8), mask(static_cast<uint8_t>(1u << (block % 8))) {}

    bool inUse() const { return (*byte & mask) != 0; }
    void write(bool value) {
        if (value) {
            *byte = static_cast<uint8_t>(*byte | mask);
        } else {
            *byte = static_cast<uint8_t>(*byte & ~mask);
        }
    }
    void advance() {
        mask = static_cast<uint8_t>(mask << 1);
        if (mask == 0) {
            mask = 1;
            ++byte;
        }
    }
};

void writeBits(BitCursor& cursor, bool value, int count) {
    for (int i = 0; i < count; ++i) {
        cursor.write(value);
        cursor.advance();
    }
}

constexpr int kWordBlocks = 32;
constexpr uint32_t kWordAllInUse = 0xFFFFFFFFu;

bool wordAllInUse(const uint8_t* wordStart) {
    uint32_t word;
    std::memcpy(&word, wordStart, sizeof(word));
    return word == kWordAllInUse;
}

}  // namespace

// Three parts, so that long runs cost one byte fill:
//   leading   bit by bit up to the next multiple of 32 (even where the start
//             is byte-aligned), at most count blocks;
//   middle    (count - lead) / 8 whole bytes of 0xFF or 0x00;
//   trailing  the (count - lead) % 8 blocks left, bit by bit.
// Example: 100 blocks from block 8 -> 24 bits (8..31), 9 bytes (32..103),
// 4 bits (104..107). 5 blocks from block 3 -> 5 bits. 64 from 64 -> 8 bytes.
void MemPool::set(int start, int value, int count) {
    const bool mark = value != 0;
    BitCursor cursor(bitmap, start);

    int lead = 0;
    if (start % kWordBlocks != 0) {
        lead = kWordBlocks - start % kWordBlocks;
        if (count < lead) lead = count;
    }
    writeBits(cursor, mark, lead);

    const int rest = count - lead;
    const int wholeBytes = rest / 8;
    if (wholeBytes > 0) {
        std::memset(cursor.byte, mark ? 0xFF : 0x00, static_cast<size_t>(wholeBytes));
        cursor.byte += wholeBytes;
    }
    writeBits(cursor, mark, rest % 8);

    if (mark) {
        if (start == firstFreeHint) firstFreeHint = start + count;
        if (firstFreeHint < blockCount && BitCursor(bitmap, firstFreeHint).inUse()) {
            const int next = findFreeBlocks(firstFreeHint, blockCount, 1);
            firstFreeHint = next < 0 ? blockCount : next;
        }
    } else if (start < firstFreeHint) {
        firstFreeHint = start;
    }
}

// First fit: the lowest run of `count` free blocks at or after `start` that
// lies wholly below both `end` and blockCount. A used block at a word
// boundary whose whole word is in use skips the word; that word cannot hold
// any part of a run, so the skip never changes the result. The word test is
// made only where all 32 of its blocks exist; near the end the walk goes
// block by block.
int MemPool::findFreeBlocks(int start, int end, int count) {
    int position = start;
    int run = 0;
    if (run < count && position < end && position < blockCount) {
        BitCursor cursor(bitmap, position);
        while (run < count && position < end && position < blockCount) {
            if (cursor.inUse()) {
                run = 0;
                if (position % kWordBlocks == 0 && position + kWordBlocks <= blockCount &&
                    wordAllInUse(cursor.byte)) {
                    position += kWordBlocks;
                    cursor.byte += kWordBlocks / 8;
                    continue;
                }
            } else {
                ++run;
            }
            ++position;
            cursor.advance();
        }
    }
    return run == count ? position - count : -1;
}

}  // namespace KLOR
