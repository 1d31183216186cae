// KLOR Distortion: entry point, description records, host callbacks and the
// instance members other than read.
#include "klor/dsp_distortion.h"

#include <cstdio>
#include <cstring>

#include "distortion_kernels_dispatch.h"

namespace KLOR {

KLOR_DSP_PARAMETERDESC dspdistortion_param = {
    0.0f,                                                // rangeMin
    1.0f,                                                // rangeMax
    0.5f,                                                // defaultValue
    "Level",                                             // displayName
    "",                                                  // unitText
    0,                                                   // reserved
    "Distortion value.  0.0 to 1.0.  Default = 0.5.",    // helpText
};

KLOR_DSP_DESCRIPTION_EX dspdistortion;

namespace {

constexpr char kEffectName[] = "KLOR Distortion";
constexpr int32_t kEffectVersion = 0x00010100;
constexpr int32_t kHostValueA = 8;
constexpr int32_t kHostValueB = 0;
constexpr size_t kStateOffset = offsetof(KLOR_DSP_INSTANCE, state);  // 56

// The library's one static initialiser: a constructed description record
// carries its list node as an empty ring (next and prev point at next). The
// entry point later clears it with the rest of the record.
struct DescriptionNodeRing {
    DescriptionNodeRing() {
        dspdistortion.nodeNext = &dspdistortion.nodeNext;
        dspdistortion.nodePrev = &dspdistortion.nodeNext;
        dspdistortion.nodeData = nullptr;
    }
};
const DescriptionNodeRing descriptionNodeRing;

DSPDistortion* effectFromState(KLOR_DSP_STATE* state) {
    if (state == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<DSPDistortion*>(reinterpret_cast<char*>(state) - kStateOffset);
}

}  // namespace

KLOR_DSP_DESCRIPTION_EX* DSPDistortion::getDescriptionEx() {
    KLOR_DSP_DESCRIPTION_EX& d = dspdistortion;
    std::memset(&d, 0, sizeof d);
    for (size_t i = 0; i < sizeof kEffectName; ++i) {
        d.effectName[i] = kEffectName[i];
    }
    d.effectVersion = kEffectVersion;
    d.parameterCount = 1;
    d.hostValueA = kHostValueA;
    d.hostValueB = kHostValueB;
    d.instanceSize = static_cast<int32_t>(sizeof(KLOR_DSP_INSTANCE));
    d.createFn = &DSPDistortion::createCallback;
    d.releaseFn = &DSPDistortion::releaseCallback;
    d.resetFn = &DSPDistortion::resetCallback;
    d.readFn = &DSPDistortion::readCallback;
    d.parameterList = &dspdistortion_param;
    d.setParameterFn = &DSPDistortion::setParameterCallback;
    d.getParameterFn = &DSPDistortion::getParameterCallback;
    return &d;
}

// --- Callbacks: state pointer -> instance object (56 bytes back) ----------

KLOR_RESULT DSPDistortion::createCallback(KLOR_DSP_STATE* state) {
    DSPDistortion* effect = effectFromState(state);
    return effect ? effect->createInternal() : KLOR_ERR_BAD_ARGUMENT;
}

KLOR_RESULT DSPDistortion::releaseCallback(KLOR_DSP_STATE* state) {
    DSPDistortion* effect = effectFromState(state);
    return effect ? effect->releaseInternal() : KLOR_OK;
}

KLOR_RESULT DSPDistortion::resetCallback(KLOR_DSP_STATE* state) {
    DSPDistortion* effect = effectFromState(state);
    return effect ? effect->resetInternal() : KLOR_OK;
}

KLOR_RESULT DSPDistortion::readCallback(KLOR_DSP_STATE* state, float* in, float* out,
                                        unsigned int length, int inChannels, int outChannels) {
    DSPDistortion* effect = effectFromState(state);
    return effect ? effect->readInternal(in, out, length, inChannels, outChannels)
                  : KLOR_ERR_BAD_ARGUMENT;
}

KLOR_RESULT DSPDistortion::setParameterCallback(KLOR_DSP_STATE* state, int index, float value) {
    DSPDistortion* effect = effectFromState(state);
    return effect ? effect->setParameterInternal(index, value) : KLOR_ERR_BAD_ARGUMENT;
}

KLOR_RESULT DSPDistortion::getParameterCallback(KLOR_DSP_STATE* state, int index, float* value,
                                                char* valueText) {
    DSPDistortion* effect = effectFromState(state);
    return effect ? effect->getParameterInternal(index, value, valueText)
                  : KLOR_ERR_BAD_ARGUMENT;
}

// --- Members -----------------------------------------------------------------

// Publishes the host's Global first, so whatever the host does inside the
// set-parameter calls below can already use the support library; then pushes
// each parameter's default through slot 10 of the host's operation table.
// The parameter count is read again before every pass.
KLOR_RESULT DSPDistortion::createInternal() {
    gGlobal = object.global;
    for (int index = 0; index < object.description.parameterCount; ++index) {
        const float value = object.description.parameterList[index].defaultValue;
        const KLOR_RESULT result = object.operations->setParameter(this, index, value);
        if (result != KLOR_OK) {
            return result;
        }
    }
    return KLOR_OK;
}

KLOR_RESULT DSPDistortion::releaseInternal() { return KLOR_OK; }

// The shaper keeps no history: nothing to reset.
KLOR_RESULT DSPDistortion::resetInternal() { return KLOR_OK; }

// Any index sets the level; stored unchanged, never clamped. The store is one
// aligned 32-bit write, so a concurrent read sees the old or the new value.
KLOR_RESULT DSPDistortion::setParameterInternal(int /*index*/, float value) {
    __atomic_store(&object.level, &value, __ATOMIC_RELAXED);
    return KLOR_OK;
}

// Any index reads the level. A null value or text pointer is skipped; the
// text never exceeds KLOR_DSP_PARAMETER_TEXT_SIZE bytes.
KLOR_RESULT DSPDistortion::getParameterInternal(int /*index*/, float* value, char* valueText) {
    float level;
    __atomic_load(&object.level, &level, __ATOMIC_RELAXED);
    if (value != nullptr) {
        *value = level;
    }
    if (valueText != nullptr) {
        std::snprintf(valueText, KLOR_DSP_PARAMETER_TEXT_SIZE, "%.02f", static_cast<double>(level));
    }
    return KLOR_OK;
}

}  // namespace KLOR

// The host calls the entry point long before audio runs, so the one-time
// choice of the read path's kernels (a few CPUID reads) is made here rather
// than on the audio thread's first block.
extern "C" KLOR_DSP_DESCRIPTION_EX* KLORGetDSPDescriptionEx() {
    KLOR::distortion::chooseKernels();
    return KLOR::DSPDistortion::getDescriptionEx();
}
