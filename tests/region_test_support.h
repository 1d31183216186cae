// Shared set-up for the region allocator's unit tests (linked against
// klor_static).
//
// The allocator binds its parameter block once per process, to the Global
// record gGlobal points to at the first call, and never lets go. Each test
// binary therefore has one zeroed Global for its whole life (testGlobal());
// tests that change parameters put them back with ParamsGuard.
//
// Region memory comes from the heap, never the stack: under AddressSanitizer
// the allocator leaves everything it has not handed out poisoned, and heap
// memory is unpoisoned again when it is freed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "klor/klor_global.h"
#include "klor/region_alloc.h"
#include "region_checker.h"
#include "region_sanitize.h"

namespace region_test {

// The process's Global, zeroed, published in gGlobal and bound on first use
// (an unknown mallopt parameter binds and changes nothing), so that the
// parameter block holds its defaults before any test edits it.
inline KLOR::Global& testGlobal() {
    static KLOR::Global* global = [] {
        auto* g = new KLOR::Global;
        std::memset(g, 0, sizeof *g);
        KLOR::gGlobal = g;
        KLOR::mspace_mallopt(0, 0);
        return g;
    }();
    return *global;
}

inline KLOR::region_params& params() { return testGlobal().allocatorParams; }

// Restores the parameter block at the end of a test that changes it.
class ParamsGuard {
public:
    ParamsGuard() : saved_(params()) {}
    ~ParamsGuard() { params() = saved_; }

private:
    KLOR::region_params saved_;
};

// Caller memory for one region: `capacity` bytes starting `misalign` bytes
// past a 64-byte boundary. The bytes are filled with 0xA5 first so that
// tests can see which ones the allocator wrote.
class RegionMemory {
public:
    static constexpr uint8_t kFill = 0xA5;

    explicit RegionMemory(uint64_t capacity, uint64_t misalign = 0)
        : capacity_(capacity),
          storage_(static_cast<uint8_t*>(std::aligned_alloc(64, roundUp(capacity + misalign)))) {
        base_ = storage_.get() + misalign;
        std::memset(base_, kFill, capacity);
    }

    uint8_t* base() const { return base_; }

    // Fills the memory with kFill again, for a region laid over it anew; an
    // earlier region's poisoning (under ASan) is lifted first.
    void refill() const {
        KLOR::region_check::expose(base_, capacity_);
        std::memset(base_, kFill, capacity_);
    }
    uint64_t capacity() const { return capacity_; }
    uint64_t address() const { return reinterpret_cast<uintptr_t>(base_); }

    // Creates the region over the whole memory.
    void* create(int locked = 0) const {
        testGlobal();
        return KLOR::create_mspace_with_base(base_, capacity_, locked);
    }

private:
    static uint64_t roundUp(uint64_t n) { return (n + 63) & ~uint64_t(63); }
    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    uint64_t capacity_;
    std::unique_ptr<uint8_t, FreeDeleter> storage_;
    uint8_t* base_;
};

inline KLOR::region_state* state(void* handle) { return static_cast<KLOR::region_state*>(handle); }

inline uint64_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Fixture: one fresh 8-aligned region per test, checked at the end.
class RegionTest : public ::testing::Test {
protected:
    explicit RegionTest(uint64_t capacity = 64 * 1024) : memory_(capacity) {}

    void SetUp() override {
        handle_ = memory_.create();
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) EXPECT_REGION_SOUND(handle_);
    }

    KLOR::region_state* m() const { return state(handle_); }
    void* malloc(uint64_t n) const { return KLOR::mspace_malloc(handle_, n); }
    void free(void* p) const { KLOR::mspace_free(handle_, p); }
    // Chunk address of a caller's pointer.
    static uint64_t chunkOf(const void* mem) { return addr(mem) - 16; }

    RegionMemory memory_;
    void* handle_ = nullptr;
};

}  // namespace region_test
