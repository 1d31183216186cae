// A block-mode pool against a model of its bitmap: one bool per block.
//
// Input: 2 bytes of span length (1 .. 6000), 1 byte of block size
// (1 .. 256), then up to 256 operations: alloc, calloc, free, realloc (in
// place, moved, failing), and findFreeBlocks queries with arbitrary ranges.
//
// The model places every run first-fit from block 0 (the hint must never
// change where a run goes), resizes in place when the run at the old start
// is free after the old run is cleared, and leaves a failed resize's run as
// it was. Checked after every operation: every bitmap bit below blockCount
// equals the model; blocksInUse, the main account and the peaks add up; the
// hint is within [0, blockCount] with every block below it in use; each
// header records its run; a failed request made exactly one failure report
// and changed nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "fuzz_input.h"
#include "klor/klor_global.h"
#include "klor/klor_memory.h"

namespace {

using klor_fuzz::FuzzInput;
using klor_fuzz::fail;

constexpr int kMaxOperations = 256;
constexpr char kTag[] = "pool_block_fuzzer";
// The span is never touched by the pool: any address serves.
void* const kSpanBase = reinterpret_cast<void*>(uintptr_t(1) << 40);

int gReports = 0;
void countReport(int, int, const char*, int64_t) { ++gReports; }

// Global.memPool: a callback-mode pool on the heap, for the header records
// and the bitmap.
KLOR::Global& hostGlobal() {
    static KLOR::Global* global = [] {
        auto* g = static_cast<KLOR::Global*>(std::calloc(1, sizeof(KLOR::Global)));
        void* storage = std::calloc(1, sizeof(KLOR::MemPool));
        g->memPool = new (storage) KLOR::MemPool();
        g->memoryTypeMask = ~0u;
        g->errorCallback = &countReport;
        KLOR::gGlobal = g;
        return g;
    }();
    return *global;
}

struct Model {
    std::vector<bool> used;

    int count() const {
        int n = 0;
        for (bool u : used) n += u ? 1 : 0;
        return n;
    }
    bool runFree(int start, int blocks, int end) const {
        if (start < 0 || start + blocks > end || start + blocks > static_cast<int>(used.size())) return false;
        for (int b = start; b < start + blocks; ++b) {
            if (used[b]) return false;
        }
        return true;
    }
    // The rule of findFreeBlocks: first run of `blocks` free blocks at or
    // after start, wholly below end and blockCount; start itself for 0.
    int find(int start, int end, int blocks) const {
        if (blocks == 0) return start;
        for (int s = start; s + blocks <= end && s + blocks <= static_cast<int>(used.size()); ++s) {
            if (runFree(s, blocks, end)) return s;
        }
        return -1;
    }
    void mark(int start, int blocks, bool value) {
        for (int b = start; b < start + blocks; ++b) used[b] = value;
    }
};

struct Held {
    KLOR::AllocHeader* header;
    uint32_t size;
    int start;
    int blocks;
};

int blocksFor(int length, int blockSize) { return (length + blockSize - 1) / blockSize; }

class Check {
public:
    Check(KLOR::MemPool& pool, Model& model, std::vector<Held>& held)
        : pool_(pool), model_(model), held_(held) {}

    void state(const char* after) const {
        const int count = pool_.blockCount;
        for (int b = 0; b < count; ++b) {
            const bool bit = (pool_.bitmap[b / 8] >> (b % 8)) & 1;
            if (bit != model_.used[b]) fail("after %s: block %d is %s in the bitmap, %s in the model", after, b, bit ? "used" : "free", model_.used[b] ? "used" : "free");
        }
        if (pool_.blocksInUse != model_.count()) fail("after %s: blocksInUse %d, the model holds %d", after, pool_.blocksInUse, model_.count());
        if (pool_.firstFreeHint < 0 || pool_.firstFreeHint > count) fail("after %s: hint %d outside [0, %d]", after, pool_.firstFreeHint, count);
        for (int b = 0; b < pool_.firstFreeHint && b < count; ++b) {
            if (!model_.used[b]) fail("after %s: block %d below the hint %d is free", after, b, pool_.firstFreeHint);
        }
        uint32_t bytes = 0;
        for (const Held& h : held_) {
            bytes += h.size;
            if (h.header->size != h.size || h.header->blocks != h.blocks || (h.blocks > 0 && h.header->startBlock != h.start)) {
                fail("after %s: header says %u bytes, %d blocks at %d; expected %u, %d at %d", after, h.header->size, h.header->blocks, h.header->startBlock, h.size, h.blocks, h.start);
            }
        }
        if (pool_.slotBytes[0] != bytes) fail("after %s: %u live bytes counted, %u held", after, pool_.slotBytes[0], bytes);
        if (pool_.peakBytes < pool_.slotBytes[0] || pool_.peakBlocks < pool_.blocksInUse) fail("after %s: a peak below its count", after);
    }

private:
    KLOR::MemPool& pool_;
    Model& model_;
    std::vector<Held>& held_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KLOR::Global& global = hostGlobal();
    FuzzInput input(data, size);
    const int length = 1 + input.u16() % 6000;
    const int blockSize = 1 + input.u8();

    void* storage = std::calloc(1, sizeof(KLOR::MemPool));
    auto* pool = new (storage) KLOR::MemPool();
    if (pool->initCustom(kSpanBase, length, blockSize) != KLOR_OK) fail("initCustom(%d, %d) failed", length, blockSize);
    const int expectedCount = ((length + blockSize - 1) / blockSize) & ~3;
    if (pool->blockCount != expectedCount) fail("initCustom(%d, %d) made %d blocks, expected %d", length, blockSize, pool->blockCount, expectedCount);

    Model model;
    model.used.assign(static_cast<size_t>(pool->blockCount), false);
    std::vector<Held> held;
    Check check(*pool, model, held);
    check.state("initCustom");
    const int maxLength = blockSize * 48;

    for (int step = 0; step < kMaxOperations && !input.empty(); ++step) {
        const uint8_t op = input.u8() % 8;
        klor_fuzz::countOperations(1);
        const char* name = "";
        const int reportsBefore = gReports;
        if (op <= 2) {
            name = op == 2 ? "calloc" : "alloc";
            const int request = static_cast<int>(input.u16()) % (maxLength + 1);
            const int blocks = blocksFor(request, blockSize);
            const int hint = pool->firstFreeHint;
            const int expected = model.find(0, pool->blockCount, blocks);
            void* got = op == 2 ? pool->calloc(request, kTag, step, 0)
                                : pool->alloc(request, kTag, step, 0, false);
            if (expected < 0) {
                if (got != nullptr) fail("alloc(%d) succeeded with no run of %d blocks", request, blocks);
                if (gReports != reportsBefore + 1) fail("alloc(%d) failed without one report", request);
            } else {
                if (got == nullptr) fail("alloc(%d) failed, the model has a run at %d", request, expected);
                auto* header = static_cast<KLOR::AllocHeader*>(got);
                if (blocks == 0 && header->startBlock != hint) fail("alloc(0) recorded start %d, the hint was %d", header->startBlock, hint);
                model.mark(expected, blocks, true);
                // A run of no blocks sits at the hint of its day; a resize
                // tests that place first.
                held.push_back(Held{header, static_cast<uint32_t>(request),
                                    blocks == 0 ? header->startBlock : expected, blocks});
            }
        } else if (op <= 4) {
            name = "free";
            if (held.empty()) continue;
            const size_t i = input.u16() % held.size();
            const Held h = held[i];
            held.erase(held.begin() + static_cast<long>(i));
            pool->free(h.header, kTag, step, 0);
            model.mark(h.start, h.blocks, false);
        } else if (op <= 6) {
            name = "realloc";
            if (held.empty()) continue;
            Held& h = held[input.u16() % held.size()];
            const int request = static_cast<int>(input.u16()) % (maxLength + 1);
            const int blocks = blocksFor(request, blockSize);
            model.mark(h.start, h.blocks, false);
            int expected = -1;
            if (model.runFree(h.start, blocks, pool->blockCount) || blocks == 0) {
                expected = h.start;
            } else {
                expected = model.find(0, pool->blockCount, blocks);
            }
            void* got = pool->realloc(h.header, request, kTag, step, 0);
            if (expected < 0) {
                model.mark(h.start, h.blocks, true);
                if (got != nullptr) fail("realloc to %d succeeded with no run of %d blocks", request, blocks);
                if (gReports != reportsBefore + 1) fail("realloc to %d failed without one report", request);
            } else {
                if (got != h.header) fail("realloc to %d gave %p, not the caller's header %p", request, got, static_cast<void*>(h.header));
                model.mark(expected, blocks, true);
                h = Held{h.header, static_cast<uint32_t>(request), expected, blocks};
            }
        } else {
            name = "findFreeBlocks";
            const int count = pool->blockCount;
            const int start = static_cast<int>(input.u16() % static_cast<unsigned>(count + 3));
            const int end = start + static_cast<int>(input.u16() % static_cast<unsigned>(count + 40)) - 2;
            const int blocks = input.u8() % 40;
            const int got = pool->findFreeBlocks(start, end, blocks);
            const int expected = model.find(start, end, blocks);
            if (got != expected) fail("findFreeBlocks(%d, %d, %d) gives %d, the model %d (%d blocks)", start, end, blocks, got, expected, count);
        }
        check.state(name);
    }

    for (const Held& h : held) pool->free(h.header, kTag, 0, 0);
    held.clear();
    model.mark(0, static_cast<int>(model.used.size()), false);
    check.state("releasing everything");
    if (pool->firstFreeHint != 0 && pool->blockCount > 0) fail("hint %d after releasing everything", pool->firstFreeHint);
    pool->~MemPool();
    std::free(storage);
    if (global.memPool->slotBytes[0] != 0) fail("Global.memPool still holds %u bytes", global.memPool->slotBytes[0]);
    return 0;
}
