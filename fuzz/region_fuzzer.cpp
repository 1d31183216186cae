// Region allocator operation sequences, with the heap checker after every
// operation and stamped payloads.
//
// Input: 4 bytes of capacity (4 KiB .. 1 MiB), 1 byte of base misalignment
// (0..7 bytes past an 8-byte boundary), then up to 256 operations, each one
// byte of opcode and its arguments:
//
//   malloc, free, realloc (also of null and to 0), calloc (with overflowing
//   pairs), memalign (alignments 0 .. 4096, powers of two and not),
//   independent_calloc and independent_comalloc (with and without a result
//   array), trim, requests that can never be served
//
// Checked after every operation: the checker finds the region sound; every
// block handed out lies inside the region, does not overlap another live
// block, is 8-aligned (memalign: aligned to its effective alignment) and
// offers at least the bytes asked for; calloc'd bytes are zero; a resize
// keeps the old bytes up to the smaller size; a failed request leaves the
// statistics as they were. Every live block carries a pattern derived from
// its id, verified before it is released or resized and at the end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "fuzz_input.h"
#include "klor/klor_global.h"
#include "klor/region_alloc.h"
#include "region_checker.h"

namespace {

using klor_fuzz::FuzzInput;
using klor_fuzz::fail;

constexpr int kMaxOperations = 256;
constexpr uint64_t kNeverServed = ~uint64_t(0) - 127;  // 2^64 - 128

void bindGlobalOnce() {
    static KLOR::Global* global = [] {
        auto* g = static_cast<KLOR::Global*>(std::calloc(1, sizeof(KLOR::Global)));
        KLOR::gGlobal = g;
        return g;
    }();
    (void)global;
}

struct Live {
    uint64_t bytes;
    uint32_t id;
};

uint8_t patternByte(uint32_t id, uint64_t i) { return static_cast<uint8_t>(id * 131u + i * 7u + (i >> 8)); }

class Session {
public:
    Session(void* handle, uint64_t base, uint64_t capacity)
        : handle_(handle), base_(base), end_(base + capacity) {}

    void* handle() const { return handle_; }

    void checkSound(const char* after) {
        const auto problems = region_test::checkRegion(handle_);
        if (!problems.empty()) fail("after %s: %s", after, region_test::joinProblems(problems).c_str());
    }

    // A new block of `bytes`: placement checks, then the stamp.
    void adopt(void* mem, uint64_t bytes, uint64_t alignment, const char* what) {
        const uint64_t at = reinterpret_cast<uintptr_t>(mem);
        if (at < base_ || at + bytes > end_) fail("%s: block 0x%llx (+%llu) outside the region", what, (unsigned long long)at, (unsigned long long)bytes);
        if (at % alignment != 0) fail("%s: block 0x%llx not aligned to %llu", what, (unsigned long long)at, (unsigned long long)alignment);
        if (region_test::usableSize(mem) < bytes) fail("%s: block of %llu usable bytes for %llu asked", what, (unsigned long long)region_test::usableSize(mem), (unsigned long long)bytes);
        auto next = live_.lower_bound(at);
        if (next != live_.end() && next->first < at + (bytes ? bytes : 1)) fail("%s: block 0x%llx overlaps a live block", what, (unsigned long long)at);
        if (next != live_.begin()) {
            auto previous = std::prev(next);
            if (previous->first + previous->second.bytes > at) fail("%s: block 0x%llx overlaps a live block", what, (unsigned long long)at);
        }
        const uint32_t id = nextId_++;
        live_[at] = Live{bytes, id};
        stamp(mem, bytes, id);
    }

    void verify(uint64_t at, const Live& block, const char* when) const {
        const auto* p = reinterpret_cast<const uint8_t*>(at);
        for (uint64_t i = 0; i < block.bytes; ++i) {
            if (p[i] != patternByte(block.id, i)) {
                fail("%s: block %u at 0x%llx lost byte %llu of %llu", when, block.id, (unsigned long long)at,
                     (unsigned long long)i, (unsigned long long)block.bytes);
            }
        }
    }

    void verifyAll(const char* when) const {
        for (const auto& entry : live_) verify(entry.first, entry.second, when);
    }

    // The id-th live block in address order, or none.
    bool pick(uint32_t choice, uint64_t* at, Live* block) const {
        if (live_.empty()) return false;
        auto it = live_.begin();
        std::advance(it, choice % live_.size());
        *at = it->first;
        *block = it->second;
        return true;
    }

    void forget(uint64_t at) { live_.erase(at); }

    size_t liveCount() const { return live_.size(); }

    static void stamp(void* mem, uint64_t bytes, uint32_t id) {
        auto* p = static_cast<uint8_t*>(mem);
        for (uint64_t i = 0; i < bytes; ++i) p[i] = patternByte(id, i);
    }

private:
    void* handle_;
    uint64_t base_;
    uint64_t end_;
    std::map<uint64_t, Live> live_;
    uint32_t nextId_ = 1;
};

bool sameStats(const KLOR::region_stats& a, const KLOR::region_stats& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

uint64_t effectiveAlignment(uint64_t a) {
    if (a <= 8) return 8;
    if (a < 32) return 32;
    uint64_t power = 16;
    while (power < a) power <<= 1;
    return power;
}

void expectUnchanged(Session& s, const KLOR::region_stats& before, const char* what) {
    if (!sameStats(before, KLOR::mspace_mallinfo(s.handle()))) fail("%s failed but changed the region", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bindGlobalOnce();
    FuzzInput input(data, size);
    const uint64_t capacity = 4096 + input.u32() % (1024 * 1024 - 4096);
    const uint64_t misalign = input.u8() % 8;
    void* storage = std::aligned_alloc(64, (capacity + misalign + 63) / 64 * 64);
    auto* base = static_cast<uint8_t*>(storage) + misalign;
    void* handle = KLOR::create_mspace_with_base(base, capacity, 0);
    if (handle == nullptr) fail("no region over %llu bytes at +%llu", (unsigned long long)capacity, (unsigned long long)misalign);
    Session s(handle, reinterpret_cast<uintptr_t>(base), capacity);
    s.checkSound("creation");

    static const uint64_t kAlignments[] = {0, 1, 8, 9, 16, 24, 31, 32, 48, 64, 100, 128, 256, 1000, 4096};
    std::vector<void*> elements;
    for (int step = 0; step < kMaxOperations && !input.empty(); ++step) {
        const uint8_t op = input.u8() % 12;
        klor_fuzz::countOperations(1);
        const KLOR::region_stats before = KLOR::mspace_mallinfo(handle);
        const char* name = "";
        switch (op) {
            case 0:
            case 1: {
                name = "malloc";
                const uint64_t n = input.size();
                void* mem = KLOR::mspace_malloc(handle, n);
                if (mem) s.adopt(mem, n, 8, name); else expectUnchanged(s, before, name);
                break;
            }
            case 2:
            case 3: {
                name = "free";
                uint64_t at;
                Live block;
                if (!s.pick(input.u32(), &at, &block)) break;
                s.verify(at, block, "before free");
                s.forget(at);
                KLOR::mspace_free(handle, reinterpret_cast<void*>(at));
                break;
            }
            case 4: {
                name = "realloc";
                const uint64_t n = input.u8() < 16 ? 0 : input.size();
                uint64_t at;
                Live block;
                if (input.u8() < 32 || !s.pick(input.u32(), &at, &block)) {
                    void* mem = KLOR::mspace_realloc(handle, nullptr, n);
                    if (mem) s.adopt(mem, n, 8, name); else expectUnchanged(s, before, name);
                    break;
                }
                s.verify(at, block, "before realloc");
                void* mem = KLOR::mspace_realloc(handle, reinterpret_cast<void*>(at), n);
                if (mem == nullptr) {
                    expectUnchanged(s, before, name);
                    s.verify(at, block, "after a failed realloc");
                    break;
                }
                const uint64_t kept = block.bytes < n ? block.bytes : n;
                s.forget(at);
                const Live shrunk{kept, block.id};
                s.verify(reinterpret_cast<uintptr_t>(mem), shrunk, "after realloc");
                s.adopt(mem, n, 8, name);
                break;
            }
            case 5: {
                name = "calloc";
                uint64_t count = input.u8() % 64;
                uint64_t each = input.size() % 4096;
                if (input.u8() < 8) { count = uint64_t(1) << 32; each = uint64_t(1) << 32; }
                void* mem = KLOR::mspace_calloc(handle, count, each);
                if (mem == nullptr) { expectUnchanged(s, before, name); break; }
                const auto* p = static_cast<const uint8_t*>(mem);
                for (uint64_t i = 0; i < count * each; ++i) {
                    if (p[i] != 0) fail("calloc(%llu, %llu): byte %llu is not zero", (unsigned long long)count, (unsigned long long)each, (unsigned long long)i);
                }
                s.adopt(mem, count * each, 8, name);
                break;
            }
            case 6: {
                name = "memalign";
                const uint64_t alignment = kAlignments[input.u8() % (sizeof kAlignments / sizeof kAlignments[0])];
                const uint64_t n = input.size() % 8192;
                void* mem = KLOR::mspace_memalign(handle, alignment, n);
                if (mem) s.adopt(mem, n, effectiveAlignment(alignment), name); else expectUnchanged(s, before, name);
                break;
            }
            case 7:
            case 8: {
                const bool zeroed = op == 7;
                name = zeroed ? "independent_calloc" : "independent_comalloc";
                const size_t count = input.u8() % 9;
                std::vector<size_t> sizes(count == 0 ? 1 : count);
                for (size_t& each : sizes) each = input.size() % 2048;
                const bool ownArray = input.u8() & 1;
                elements.assign(count == 0 ? 1 : count, nullptr);
                void** array = ownArray ? elements.data() : nullptr;
                void** result = zeroed ? KLOR::mspace_independent_calloc(handle, count, sizes[0], array)
                                       : KLOR::mspace_independent_comalloc(handle, count, sizes.data(), array);
                if (result == nullptr) { expectUnchanged(s, before, name); break; }
                if (ownArray && result != array) fail("%s did not return the caller's array", name);
                if (count == 0) {
                    if (!ownArray) s.adopt(result, 0, 8, name);
                    break;
                }
                std::vector<void*> got(result, result + count);
                if (!ownArray) s.adopt(result, 8 * count, 8, "result array");
                for (size_t i = 0; i < count; ++i) {
                    const uint64_t bytes = zeroed ? sizes[0] : sizes[i];
                    if (zeroed) {
                        const auto* p = static_cast<const uint8_t*>(got[i]);
                        for (uint64_t b = 0; b < bytes; ++b) {
                            if (p[b] != 0) fail("%s: element %zu byte %llu is not zero", name, i, (unsigned long long)b);
                        }
                    }
                    s.adopt(got[i], bytes, 8, name);
                }
                break;
            }
            case 9: {
                name = "trim";
                const uint64_t pad = input.u8() < 64 ? ~uint64_t(0) - input.u8() : input.u32();
                if (KLOR::mspace_trim(handle, pad) != 0) fail("trim(%llu) did not return 0", (unsigned long long)pad);
                break;
            }
            case 10: {
                name = "an impossible request";
                const uint64_t n = kNeverServed + input.u8() % 128;
                if (KLOR::mspace_malloc(handle, n) != nullptr) fail("malloc(%llu) succeeded", (unsigned long long)n);
                if (KLOR::mspace_memalign(handle, 64, n) != nullptr) fail("memalign(64, %llu) succeeded", (unsigned long long)n);
                expectUnchanged(s, before, name);
                break;
            }
            default: {
                name = "a request larger than the region";
                const uint64_t n = capacity + input.u16();
                if (KLOR::mspace_malloc(handle, n) != nullptr) fail("malloc(%llu) succeeded in a region of %llu", (unsigned long long)n, (unsigned long long)capacity);
                expectUnchanged(s, before, name);
                break;
            }
        }
        s.checkSound(name);
        if (KLOR::mspace_footprint(handle) != capacity || KLOR::mspace_max_footprint(handle) != capacity) {
            fail("after %s: footprint %llu, capacity %llu", name, (unsigned long long)KLOR::mspace_footprint(handle), (unsigned long long)capacity);
        }
    }
    s.verifyAll("at the end");
    // Everything back: the region is one top chunk again.
    uint64_t at;
    Live block;
    while (s.pick(0, &at, &block)) {
        s.forget(at);
        KLOR::mspace_free(handle, reinterpret_cast<void*>(at));
    }
    s.checkSound("releasing everything");
    const KLOR::region_stats stats = KLOR::mspace_mallinfo(handle);
    if (stats.free_chunks != 1) fail("%llu free chunks left after releasing everything", (unsigned long long)stats.free_chunks);
    std::free(storage);
    return 0;
}
