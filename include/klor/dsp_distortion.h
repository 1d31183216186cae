// KLOR::DSPDistortion: the effect. A memoryless soft waveshaper over blocks
// of interleaved 32-bit float samples, with one parameter, "Level".
//
// The object *is* the host's 472-byte instance object; the class adds only
// `level` at byte 464. Hosts never call the members directly: they call the
// static callbacks named in the description record, which step back 56
// bytes from the state pointer to the object and forward to the member of
// the same stem.
//
// The shaper, for level L (every operation rounded to single precision, no
// fused multiply-add):
//
//   k    = (L + L) / (1 - L)    when 1 > L
//        = 19994.681640625      otherwise (L >= 1 or NaN; bits 0x469C355D)
//   gain = k + 1
//   y    = (gain * x) / ((|x| * k) + 1)
//
// Level 0 is the identity for finite input; +-1 map to exactly +-1 at every
// level >= 0; the curve is odd (y(-x) == -y(x)), zero keeps its sign, an
// infinite sample gives NaN, NaN stays NaN. A finite negative level gives
// -2 < k < 0 and may drive the denominator to zero (infinite output); the
// level is never clamped or refused.
#pragma once

#include "klor/klor_dsp.h"

namespace KLOR {

class DSPDistortion {
public:
    // Entry-point half: fills KLOR::dspdistortion and returns it.
    KLOR_EXPORT static KLOR_DSP_DESCRIPTION_EX* getDescriptionEx();

    // Host callbacks. Called on whichever thread the host chooses; none of
    // them locks. A null state gives KLOR_ERR_BAD_ARGUMENT (37) for create,
    // read and the parameter calls, and 0 for release and reset.
    KLOR_EXPORT static KLOR_RESULT createCallback(KLOR_DSP_STATE* state);
    KLOR_EXPORT static KLOR_RESULT releaseCallback(KLOR_DSP_STATE* state);
    KLOR_EXPORT static KLOR_RESULT resetCallback(KLOR_DSP_STATE* state);
    // Audio thread. Allocates nothing, locks nothing, calls no system
    // service; in and out may be the same buffer.
    KLOR_EXPORT static KLOR_RESULT readCallback(KLOR_DSP_STATE* state, float* in, float* out,
                                                unsigned int length, int inChannels,
                                                int outChannels);
    KLOR_EXPORT static KLOR_RESULT setParameterCallback(KLOR_DSP_STATE* state, int index,
                                                        float value);
    KLOR_EXPORT static KLOR_RESULT getParameterCallback(KLOR_DSP_STATE* state, int index,
                                                        float* value, char* valueText);

    KLOR_RESULT createInternal();
    KLOR_RESULT releaseInternal();
    KLOR_RESULT resetInternal();
    KLOR_RESULT readInternal(float* in, float* out, unsigned int length, int inChannels,
                             int outChannels);
    KLOR_RESULT setParameterInternal(int index, float value);
    KLOR_RESULT getParameterInternal(int index, float* value, char* valueText);

    KLOR_DSP_INSTANCE object;
};

static_assert(sizeof(DSPDistortion) == 472, "the effect is the instance object");

}  // namespace KLOR
