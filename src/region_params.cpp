// The region allocator's parameter block, bound to the host's Global record.
#include "klor/klor_global.h"
#include "klor/region_alloc.h"
#include "region_internal.h"

namespace KLOR {

namespace {

// Bound once, to the block of the Global record that gGlobal points to at
// the first binding, and never reset: the host and the library share it.
region_params* gRegionParams = nullptr;

constexpr uint64_t kDefaultMagic = 0x58585858;
constexpr uint64_t kDefaultPageSize = 4096;
constexpr uint64_t kDefaultGranularity = 0x10000;
constexpr uint64_t kDefaultMapThreshold = ~uint64_t(0);
constexpr uint64_t kDefaultTrimThreshold = 0x200000;
constexpr uint32_t kDefaultFlags = 4;

enum : int {
    kParamTrimThreshold = -1,
    kParamGranularity = -2,
    kParamMapThreshold = -3,
};

}  // namespace

region_params* bind_region_params() {
    if (gRegionParams != nullptr) return gRegionParams;
    region_params* p = &gGlobal->allocatorParams;
    gRegionParams = p;
    // page_size != 0 marks a block the host (or an earlier library) filled.
    if (p->page_size != 0) return p;
    // Fixed order; a non-zero magic the host placed before is kept.
    p->map_threshold = kDefaultMapThreshold;
    p->trim_threshold = kDefaultTrimThreshold;
    p->default_flags = kDefaultFlags;
    if (p->magic == 0) p->magic = kDefaultMagic;
    p->page_size = kDefaultPageSize;
    p->granularity = kDefaultGranularity;
    return p;
}

region_params* bound_region_params() { return gRegionParams; }

int mspace_mallopt(int param, int value) {
    region_params* p = bind_region_params();
    // -1 widens to all ones.
    const uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(value));
    switch (param) {
    case kParamTrimThreshold:
        p->trim_threshold = v;
        return 1;
    case kParamGranularity:
        // 4096 and 1048576 are accepted; 2048 (below a page) and 12288 (not
        // a power of two) are not.
        if (v >= p->page_size && (v & (v - 1)) == 0) {
            p->granularity = v;
            return 1;
        }
        return 0;
    case kParamMapThreshold:
        p->map_threshold = v;
        return 1;
    default:
        return 0;
    }
}

}  // namespace KLOR
