// The host-owned record shared by the whole library.
//
// The library reaches it through KLOR::gGlobal, which every create callback
// sets from byte 48 of the instance object. Support functions read it
// without a null check: a host sets it (by creating an instance, or by
// assigning gGlobal itself) before calling any of them.
//
//   offset  width  field             use by the library
//   ------  -----  ----------------  --------------------------------------
//        8      8  memPool           every allocation goes through this pool
//       20      4  timeBaseSeconds   clock origin, written on first use while 0
//       40      8  errorCallback     allocation-failure report; null = none
//       48      4  memoryTypeMask    ANDed into the type handed to callbacks
//       96     48  allocatorParams   region allocator tuning block
//   all other bytes belong to the host; the library writes only
//   timeBaseSeconds and allocatorParams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klor/klor_export.h"
#include "klor/region_params.h"

namespace KLOR {

class MemPool;

// Called when an allocation fails: (0, 1, "file (line)", requested length).
typedef void (*KLOR_ERROR_CALLBACK)(int result, int severity, const char* text, int64_t length);

struct Global {
    uint8_t             hostReserved0[8];
    MemPool*            memPool;
    uint8_t             hostReserved1[4];
    uint32_t            timeBaseSeconds;
    uint8_t             hostReserved2[16];
    KLOR_ERROR_CALLBACK errorCallback;
    uint32_t            memoryTypeMask;
    uint8_t             hostReserved3[44];
    region_params       allocatorParams;
};

static_assert(offsetof(Global, memPool) == 8, "Global layout");
static_assert(offsetof(Global, timeBaseSeconds) == 20, "Global layout");
static_assert(offsetof(Global, errorCallback) == 40, "Global layout");
static_assert(offsetof(Global, memoryTypeMask) == 48, "Global layout");
static_assert(offsetof(Global, allocatorParams) == 96, "Global layout");
static_assert(sizeof(Global) == 144, "Global layout");

// The one pointer through which the support library finds the host's record.
// Null at load; written by every create callback and never cleared.
KLOR_EXPORT extern Global* gGlobal;

}  // namespace KLOR
