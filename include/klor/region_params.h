// The region allocator's tuning block, living inside the host's Global
// record (Global.allocatorParams). Host and library read and write the same
// bytes, so the layout is fixed.
//
//   offset  width  field            default
//   ------  -----  ---------------  ------------------
//        0      8  magic            0x58585858
//        8      8  page_size        4096   (non-zero = block is filled)
//       16      8  granularity      0x10000
//       24      8  map_threshold    all ones
//       32      8  trim_threshold   0x200000
//       40      4  default_flags    4      (32-bit accesses only)
//       44      4  (never touched)
#pragma once

#include <cstddef>
#include <cstdint>

namespace KLOR {

struct region_params {
    uint64_t magic;
    uint64_t page_size;
    uint64_t granularity;
    uint64_t map_threshold;
    uint64_t trim_threshold;
    uint32_t default_flags;
    uint32_t untouched;
};

static_assert(sizeof(region_params) == 48, "region_params is 48 bytes");
static_assert(offsetof(region_params, magic) == 0, "layout");
static_assert(offsetof(region_params, page_size) == 8, "layout");
static_assert(offsetof(region_params, granularity) == 16, "layout");
static_assert(offsetof(region_params, map_threshold) == 24, "layout");
static_assert(offsetof(region_params, trim_threshold) == 32, "layout");
static_assert(offsetof(region_params, default_flags) == 40, "layout");

}  // namespace KLOR
