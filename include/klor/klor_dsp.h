// The plug-in boundary: the records a host receives from the entry point and
// the instance object it allocates for every effect instance.
//
// All offsets are in bytes, little-endian, 8-byte pointers; text is
// single-byte and zero-terminated. These layouts cross the host/library
// boundary like a file format and are held by the static_asserts below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klor/klor_export.h"
#include "klor/klor_global.h"
#include "klor/klor_result.h"

// ---------------------------------------------------------------------------
// Per-instance state record: lives at byte 56 of the instance object and is
// the pointer every callback receives. The library reads only channelMask.
//
//   offset  width  field
//   ------  -----  -----------------------------------------------
//        0     16  host bytes
//       16      2  channelMask: bit n selects input channel n
//       18     94  host bytes
struct KLOR_DSP_STATE {
    uint8_t  hostBytes0[16];
    uint16_t channelMask;
    uint8_t  hostBytes1[94];
};
static_assert(offsetof(KLOR_DSP_STATE, channelMask) == 16, "state layout");
static_assert(sizeof(KLOR_DSP_STATE) == 112, "state fills bytes 56..167 of the instance");

// ---------------------------------------------------------------------------
// Callbacks, in the order of the description record. Each takes the state
// pointer first and returns a KLOR_RESULT.
typedef KLOR_RESULT (*KLOR_DSP_CREATE_CALLBACK)(KLOR_DSP_STATE* state);
typedef KLOR_RESULT (*KLOR_DSP_RELEASE_CALLBACK)(KLOR_DSP_STATE* state);
typedef KLOR_RESULT (*KLOR_DSP_RESET_CALLBACK)(KLOR_DSP_STATE* state);
typedef KLOR_RESULT (*KLOR_DSP_READ_CALLBACK)(KLOR_DSP_STATE* state, float* in, float* out,
                                              unsigned int length, int inChannels, int outChannels);
typedef KLOR_RESULT (*KLOR_DSP_SETPARAM_CALLBACK)(KLOR_DSP_STATE* state, int index, float value);
typedef KLOR_RESULT (*KLOR_DSP_GETPARAM_CALLBACK)(KLOR_DSP_STATE* state, int index, float* value,
                                                  char* valueText);

// Bytes a host provides for the text of getParameter. The library never
// writes more, whatever the level (a level of 1e30 is cut short).
enum { KLOR_DSP_PARAMETER_TEXT_SIZE = 32 };

// ---------------------------------------------------------------------------
// Parameter record, 56 bytes.
//
//   offset  width  field
//   ------  -----  ---------------------------------------
//        0      4  rangeMin      float
//        4      4  rangeMax      float
//        8      4  defaultValue  float (read by create)
//       12     16  displayName   text
//       28     16  unitText      text
//       44      4  (zero)
//       48      8  helpText      pointer to text
struct KLOR_DSP_PARAMETERDESC {
    float       rangeMin;
    float       rangeMax;
    float       defaultValue;
    char        displayName[16];
    char        unitText[16];
    uint32_t    reserved;
    const char* helpText;
};
static_assert(sizeof(KLOR_DSP_PARAMETERDESC) == 56, "parameter record layout");
static_assert(offsetof(KLOR_DSP_PARAMETERDESC, rangeMin) == 0, "parameter record layout");
static_assert(offsetof(KLOR_DSP_PARAMETERDESC, rangeMax) == 4, "parameter record layout");
static_assert(offsetof(KLOR_DSP_PARAMETERDESC, defaultValue) == 8, "parameter record layout");
static_assert(offsetof(KLOR_DSP_PARAMETERDESC, displayName) == 12, "parameter record layout");
static_assert(offsetof(KLOR_DSP_PARAMETERDESC, unitText) == 28, "parameter record layout");
static_assert(offsetof(KLOR_DSP_PARAMETERDESC, helpText) == 48, "parameter record layout");

// ---------------------------------------------------------------------------
// Description record, 232 bytes.
//
//   offset  width  field
//   ------  -----  ----------------------------------------------
//        0     32  effectName       "KLOR Distortion"
//       32      4  effectVersion    0x00010100
//       36      4  (zero)
//       40      8  createFn
//       48      8  releaseFn
//       56      8  resetFn
//       64      8  readFn
//       72      8  (zero)
//       80      4  parameterCount   1
//       84      4  (zero)
//       88      8  parameterList    -> KLOR::dspdistortion_param
//       96      8  setParameterFn
//      104      8  getParameterFn
//      112     24  (zero)
//      136      8  nodeNext   | list node: a ring at load (next and prev
//      144      8  nodePrev   | hold the address of nodeNext), zeros
//      152      8  nodeData   | once the entry point has run
//      160      4  (zero)
//      164      4  hostValueA       8
//      168      4  instanceSize     472
//      172      4  hostValueB       0
//      176     56  (zero)
struct KLOR_DSP_DESCRIPTION_EX {
    char                        effectName[32];
    int32_t                     effectVersion;
    uint32_t                    reserved36;
    KLOR_DSP_CREATE_CALLBACK    createFn;
    KLOR_DSP_RELEASE_CALLBACK   releaseFn;
    KLOR_DSP_RESET_CALLBACK     resetFn;
    KLOR_DSP_READ_CALLBACK      readFn;
    void*                       reserved72;
    int32_t                     parameterCount;
    uint32_t                    reserved84;
    KLOR_DSP_PARAMETERDESC*     parameterList;
    KLOR_DSP_SETPARAM_CALLBACK  setParameterFn;
    KLOR_DSP_GETPARAM_CALLBACK  getParameterFn;
    uint8_t                     reserved112[24];
    void*                       nodeNext;
    void*                       nodePrev;
    void*                       nodeData;
    uint32_t                    reserved160;
    int32_t                     hostValueA;
    int32_t                     instanceSize;
    int32_t                     hostValueB;
    uint8_t                     reserved176[56];
};
static_assert(sizeof(KLOR_DSP_DESCRIPTION_EX) == 232, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, effectName) == 0, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, effectVersion) == 32, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, createFn) == 40, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, releaseFn) == 48, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, resetFn) == 56, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, readFn) == 64, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, parameterCount) == 80, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, parameterList) == 88, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, setParameterFn) == 96, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, getParameterFn) == 104, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, nodeNext) == 136, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, nodePrev) == 144, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, nodeData) == 152, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, hostValueA) == 164, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, instanceSize) == 168, "description layout");
static_assert(offsetof(KLOR_DSP_DESCRIPTION_EX, hostValueB) == 172, "description layout");

// ---------------------------------------------------------------------------
// The host's operation table, reached through byte 0 of the instance object.
// The library calls only slot 10 (byte 80), set parameter, on the instance
// itself; the host must hand the value on to the description's
// setParameterFn for the same object (that is how level gets its first
// value). A C++ host may use a real vtable with the same slot.
struct KLOR_DSP_HOST_OPERATIONS {
    void* hostSlots[10];
    KLOR_RESULT (*setParameter)(void* instance, int index, float value);
};
static_assert(offsetof(KLOR_DSP_HOST_OPERATIONS, setParameter) == 80, "slot 10 is byte 80");

// ---------------------------------------------------------------------------
// Instance object, 472 bytes, allocated (zeroed, 16-byte aligned) by the host.
//
//   offset  width  content
//   ------  -----  ------------------------------------------------------
//        0      8  operations   -> host's operation table
//        8     40  host bytes
//       48      8  global       -> the host's Global record
//       56    112  state        KLOR_DSP_STATE (channel mask at byte 72)
//      168    232  description  host's copy of the description record
//                               (parameterCount at 248, parameterList at 256)
//      400     64  host bytes
//      464      4  level        the library's own float: parameter 0
//      468      4  untouched by the library
struct KLOR_DSP_INSTANCE {
    const KLOR_DSP_HOST_OPERATIONS* operations;
    uint8_t                         hostBytes8[40];
    KLOR::Global*                   global;
    KLOR_DSP_STATE                  state;
    KLOR_DSP_DESCRIPTION_EX         description;
    uint8_t                         hostBytes400[64];
    float                           level;
    uint32_t                        untouched468;
};
static_assert(sizeof(KLOR_DSP_INSTANCE) == 472, "instance object layout");
static_assert(offsetof(KLOR_DSP_INSTANCE, operations) == 0, "instance object layout");
static_assert(offsetof(KLOR_DSP_INSTANCE, global) == 48, "instance object layout");
static_assert(offsetof(KLOR_DSP_INSTANCE, state) == 56, "instance object layout");
static_assert(offsetof(KLOR_DSP_INSTANCE, state) + offsetof(KLOR_DSP_STATE, channelMask) == 72,
              "channel mask at object byte 72");
static_assert(offsetof(KLOR_DSP_INSTANCE, description) == 168, "instance object layout");
static_assert(offsetof(KLOR_DSP_INSTANCE, description) +
                      offsetof(KLOR_DSP_DESCRIPTION_EX, parameterCount) == 248,
              "parameter count at object byte 248");
static_assert(offsetof(KLOR_DSP_INSTANCE, description) +
                      offsetof(KLOR_DSP_DESCRIPTION_EX, parameterList) == 256,
              "parameter list at object byte 256");
static_assert(offsetof(KLOR_DSP_INSTANCE, level) == 464, "instance object layout");

// ---------------------------------------------------------------------------
// The entry point: fills the static description record and returns it. Every
// call returns the same address and leaves the same 232 bytes.
extern "C" KLOR_EXPORT KLOR_DSP_DESCRIPTION_EX* KLORGetDSPDescriptionEx();

namespace KLOR {
KLOR_EXPORT extern KLOR_DSP_DESCRIPTION_EX dspdistortion;
KLOR_EXPORT extern KLOR_DSP_PARAMETERDESC dspdistortion_param;
}  // namespace KLOR
