// A stand-in "KLOR Distortion" module for testing klor-validate: correct in
// every way except for the one fault it is built with, so that each fault
// must make exactly the check that owns it fail.
//
//   Sound      no fault; every check must pass
//   Tail       shapes samples in fours and copies the ragged end
//   NanSticky  a NaN input poisons the instance: later blocks come out NaN
//   Mask       shapes every channel, whatever the mask
//   TornLevel  reads the level again for every frame
//   Allocates  read allocates and frees a scratch buffer
//   Locks      read takes a mutex
//   NoDefault  create does not push the parameter defaults
//   Leaks      create allocates and release forgets it
//   LongText   get parameter writes 40 bytes of text
//   Fused      the denominator uses a fused multiply-add
//
// Built once per fault: -DKLOR_FIXTURE_FAULT=<name>.
#include <pthread.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "dsp_reference.h"
#include "klor/klor_dsp.h"

namespace {

enum class Fault { Sound, Tail, NanSticky, Mask, TornLevel, Allocates, Locks, NoDefault, Leaks,
                   LongText, Fused };
constexpr Fault kFault = Fault::KLOR_FIXTURE_FAULT;

// The instance object of the description below: the host's 472 bytes, then
// the fixture's own words.
struct FixtureInstance {
    KLOR_DSP_INSTANCE object;
    uint32_t poisoned;  // NanSticky: a NaN was seen
    uint32_t unused;
    void* leaked;       // Leaks: allocated by create, never freed
};
static_assert(offsetof(FixtureInstance, poisoned) == 472, "fixture words follow the object");

KLOR_DSP_PARAMETERDESC gParameter = {0.0f, 1.0f, 0.5f, "Level", "", 0, "Fixture level."};
KLOR_DSP_DESCRIPTION_EX gDescription;
pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;

FixtureInstance* fromState(KLOR_DSP_STATE* state) {
    return reinterpret_cast<FixtureInstance*>(reinterpret_cast<char*>(state) -
                                              offsetof(KLOR_DSP_INSTANCE, state));
}

float loadLevel(const FixtureInstance* self) {
    float level;
    __atomic_load(&self->object.level, &level, __ATOMIC_RELAXED);
    return level;
}

float shape(float x, klortest::ReferenceCurve curve) {
    if (kFault == Fault::Fused) {
        const float magnitude = std::fabs(x);
        return (curve.gain * x) / std::fmaf(magnitude, curve.k, 1.0f);
    }
    return klortest::referenceShape(x, curve);
}

KLOR_RESULT create(KLOR_DSP_STATE* state) {
    FixtureInstance* self = fromState(state);
    if (kFault == Fault::Leaks) self->leaked = std::malloc(472);
    if (kFault == Fault::NoDefault) return KLOR_OK;
    for (int i = 0; i < self->object.description.parameterCount; ++i) {
        const KLOR_RESULT result = self->object.operations->setParameter(
            self, i, self->object.description.parameterList[i].defaultValue);
        if (result != KLOR_OK) return result;
    }
    return KLOR_OK;
}

KLOR_RESULT release(KLOR_DSP_STATE*) { return KLOR_OK; }
KLOR_RESULT reset(KLOR_DSP_STATE*) { return KLOR_OK; }

KLOR_RESULT read(KLOR_DSP_STATE* state, float* in, float* out, unsigned int frames, int channels,
                 int) {
    FixtureInstance* self = fromState(state);
    if (in == nullptr || channels <= 0) return KLOR_OK;
    if (kFault == Fault::Allocates) {
        void* (*volatile allocate)(size_t) = &std::malloc;
        std::free(allocate(frames * sizeof(float) + 1));
    }
    if (kFault == Fault::Locks) {
        pthread_mutex_lock(&gMutex);
        pthread_mutex_unlock(&gMutex);
    }
    const uint16_t mask = kFault == Fault::Mask ? 0xFFFF : self->object.state.channelMask;
    const size_t samples = static_cast<size_t>(frames) * channels;
    const klortest::ReferenceCurve blockCurve = klortest::referenceCurve(loadLevel(self));
    const uint32_t all = channels < 16 ? (1u << channels) - 1u : 0xFFFFu;
    const bool everyChannel = channels <= 16 && (mask & all) == all;

    if (kFault == Fault::Tail && everyChannel) {
        const size_t whole = samples - samples % 4;
        for (size_t i = 0; i < samples; ++i) out[i] = i < whole ? shape(in[i], blockCurve) : in[i];
        return KLOR_OK;
    }
    for (unsigned f = 0; f < frames; ++f) {
        const klortest::ReferenceCurve curve =
            kFault == Fault::TornLevel ? klortest::referenceCurve(loadLevel(self)) : blockCurve;
        for (int c = 0; c < channels; ++c) {
            const size_t i = static_cast<size_t>(f) * channels + c;
            const float x = in[i];
            if (kFault == Fault::NanSticky && std::isnan(x)) self->poisoned = 1;
            if (c < 16 && ((mask >> c) & 1u)) {
                out[i] = self->poisoned ? std::nanf("") : shape(x, curve);
            } else {
                std::memmove(&out[i], &in[i], sizeof(float));
            }
        }
        if (kFault == Fault::TornLevel) {
            // Widens the window in which a concurrent store lands mid-block,
            // and lets a setter sharing this CPU run inside it.
            for (int spin = 0; spin < 64; ++spin) __builtin_ia32_pause();
            std::this_thread::yield();
        }
    }
    return KLOR_OK;
}

KLOR_RESULT setParameter(KLOR_DSP_STATE* state, int, float value) {
    __atomic_store(&fromState(state)->object.level, &value, __ATOMIC_RELAXED);
    return KLOR_OK;
}

KLOR_RESULT getParameter(KLOR_DSP_STATE* state, int, float* value, char* text) {
    const float level = loadLevel(fromState(state));
    if (value) *value = level;
    if (text) {
        if (kFault == Fault::LongText) {
            std::memset(text, 'x', 39);
            text[39] = 0;
        } else {
            std::snprintf(text, KLOR_DSP_PARAMETER_TEXT_SIZE, "%.02f", static_cast<double>(level));
        }
    }
    return KLOR_OK;
}

}  // namespace

extern "C" KLOR_EXPORT KLOR_DSP_DESCRIPTION_EX* KLORGetDSPDescriptionEx() {
    std::memset(&gDescription, 0, sizeof gDescription);
    std::memcpy(gDescription.effectName, "KLOR Distortion", 16);
    gDescription.effectVersion = 0x00010100;
    gDescription.createFn = &create;
    gDescription.releaseFn = &release;
    gDescription.resetFn = &reset;
    gDescription.readFn = &read;
    gDescription.parameterCount = 1;
    gDescription.parameterList = &gParameter;
    gDescription.setParameterFn = &setParameter;
    gDescription.getParameterFn = &getParameter;
    gDescription.instanceSize = static_cast<int32_t>(sizeof(FixtureInstance));
    return &gDescription;
}
